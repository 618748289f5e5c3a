// kxRedIro: relays camera commands between the mailboxes of the Linux side
// and the camera's real-time side, or answers them itself as a simulated
// camera (-s).
#include "kxRedIro.h"

#include "camCommand.h"
#include "kxLog.h"
#include "kxMbox.h"
#include "kxipc.h"

#include <cstdio>
#include <cstdlib>
#include <getopt.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr char kUsage[] =
    "Usage %s [OPTION]\n"
    "\n"
    "Optional Debug flags:\n"
    "  -s, --simulator          Enable the Camera Simulator\n"
    "  -h, --help               This output\n";

// The letters besides s and h are accepted for compatibility with older
// start scripts and do nothing.
constexpr char kShortOptions[] = "nadstmewiaoh:";

const struct option kLongOptions[] = {
    {"simulator", no_argument, nullptr, 's'},
    {"help", no_argument, nullptr, 'h'},
    {nullptr, 0, nullptr, 0},
};

[[noreturn]] void usage(const char *prog)
{
    printf(kUsage, prog != nullptr ? prog : "kxRedIro");
    exit(0);
}

} // namespace

void get_options(int argc, char **argv)
{
    int opt;
    while ((opt = getopt_long(argc, argv, kShortOptions, kLongOptions, nullptr)) != -1) {
        switch (opt) {
        case 'h':
        case '?':
            usage(argv[0]);
        case 's':
            KX_LOG(KX_LOG_WARN, "%s: g_debug_level = 0x%08x -> 0x%08x", __func__,
                   g_debug_level, g_debug_level | KX_DBG_SIMULATOR);
            g_debug_level |= KX_DBG_SIMULATOR;
            break;
        default:
            break;
        }
    }
}

// Started by init (as a service) the daemon stays in the foreground;
// otherwise it leaves its parent and its session behind.
int daemon_init()
{
    if (getppid() == 1)
        return 0;
    fflush(nullptr);
    pid_t pid = fork();
    if (pid < 0)
        return -1;
    if (pid > 0)
        exit(0);
    setsid();
    int rc = chdir("/");
    umask(0);
    return rc;
}

int main(int argc, char **argv)
{
    kxIpcHdl kxNetIpcHdl{};
    kxIpcHdl kxCsiIpcHdl{};
    kxIpcHdl kxWcIpcHdl{};
    kxMbox_t rxq_to_rtos_cac{};
    kxMbox_t rxq_to_rtos_wif{};
    kxMbox_t rxq_to_rtos_csi{};

    get_options(argc, argv);
    if (int rc = daemon_init(); rc != 0) {
        KX_LOG(KX_LOG_WARN, "%s %d: daemon_init failed %d\n\n", __func__, __LINE__, rc);
        exit(rc);
    }
    if (g_debug_level & KX_DBG_STARTUP)
        KX_LOG_BARE(KX_LOG_ERR, "Starting kxRedIro %s %s\n", "daemon",
                    (g_debug_level & KX_DBG_SIMULATOR) ? "camera simulator" : "");
    DrawTarget(0);

    // An endpoint that cannot be opened is left out; the camera side may
    // come later in development set-ups, and the mailboxes still work.
    if (kxIpcInit("wifibt", &kxNetIpcHdl) < 0)
        KX_LOG(KX_LOG_ERR, "Error initializing Lindenvale IPC\n\n");
    int netFd = kxIpcGetFd(&kxNetIpcHdl);
    if (netFd < 0)
        KX_LOG(KX_LOG_ERR, "Error fetching file descriptor\n\n");
    if (kxIpcInit("helper_task", &kxCsiIpcHdl) < 0)
        KX_LOG(KX_LOG_ERR, "Error initializing Lindenvale IPC\n\n");
    int csiFd = kxIpcGetFd(&kxCsiIpcHdl);
    if (csiFd < 0)
        KX_LOG(KX_LOG_ERR, "Error fetching file descriptor\n\n");
    if (kxIpcInit("wifi_ctrl", &kxWcIpcHdl) < 0)
        KX_LOG(KX_LOG_ERR, "Error initializing Lindenvale IPC\n\n");
    int wcFd = kxIpcGetFd(&kxWcIpcHdl);
    if (wcFd < 0)
        KX_LOG(KX_LOG_ERR, "Error fetching file descriptor\n\n");

    ASSERT(kxMbox_rxopen(KXMBOXtoCAMERA, KXMSG_MAX_COUNT_MD, &rxq_to_rtos_cac) == 0);
    ASSERT(kxMbox_rxopen(KXMBOXtoRTOS, KXMSG_MAX_COUNT_LG, &rxq_to_rtos_wif) == 0);
    ASSERT(kxMbox_rxopen(KXMBOXtoUNUSED, KXMSG_MAX_COUNT_SM, &rxq_to_rtos_csi) == 0);
    ASSERT(kxMbox_create(KXMBOXtoKXNET, KXMSG_MAX_COUNT_LG) == 0);
    ASSERT(kxMbox_create(KXMBOXtoATH, KXMSG_MAX_COUNT_MD) == 0);
    ASSERT(kxMbox_create(KXMBOXtoUDP, KXMSG_MAX_COUNT_MD) == 0);
    ASSERT(kxMbox_create(KXMBOXtoPLAT, KXMSG_MAX_COUNT_MD) == 0);
    ASSERT(kxMbox_create(KXMBOXtoBLE, KXMSG_MAX_COUNT_LG) == 0);

    (void)netFd;
    (void)csiFd;
    (void)wcFd;
    for (;;)
        pause();
}
