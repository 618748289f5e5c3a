// kxRedIro: relays camera commands between the mailboxes of the Linux side
// and the camera's real-time side, or answers them itself as a simulated
// camera (-s).
#include "kxRedIro.h"

#include "camCommand.h"
#include "kxLog.h"
#include "kxMbox.h"
#include "kxTlv.h"
#include "kxipc.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstdlib>
#include <getopt.h>
#include <source_location>
#include <sys/select.h>
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

// A mailbox and the endpoint its commands go to.
struct MailboxRoute {
    kxMbox_t *rxq;
    kxIpcHdl *hdl;
    const char *sendCheck;
};

// An endpoint whose messages go to "/to_kxnet"; an invalid one goes back
// to the endpoint when sendBackCheck is set and is dropped otherwise.
struct EndpointRoute {
    kxIpcHdl *hdl;
    int fd;
    const char *receiveCheck;
    const char *errorText;
    const char *sendBackCheck;
};

struct Routes {
    std::array<MailboxRoute, 3> mailboxes;
    std::array<EndpointRoute, 3> endpoints;
};

[[noreturn]] void usage(const char *prog)
{
    printf(kUsage, prog != nullptr ? prog : "kxRedIro");
    exit(0);
}

// The forwarding loop is the tail of main, and its failed checks are
// reported as main's, with their own line.
void check(bool ok, const char *cond, std::source_location at = std::source_location::current())
{
    if (!ok)
        kxAssertFail(at.file_name(), "main", static_cast<int>(at.line()), cond);
}

// The one message buffer, and how many of its leading bytes an earlier
// message may have left non-zero.
struct MessageBuffer {
    std::array<uint8_t, KXMSG_MAX> bytes{};
    int used = 0;
};

// The check judges a message by the total in its own header, so bytes past
// the message just received must be what they are at start-up, zero:
// otherwise the tail of a longer, earlier message would complete a short
// one. Only what the previous one left is cleared.
uint8_t *keepOnly(MessageBuffer &buf, int ilen)
{
    int len = std::clamp(ilen, 0, KXMSG_MAX);
    if (buf.used > len)
        std::fill(buf.bytes.begin() + len, buf.bytes.begin() + buf.used, 0);
    buf.used = len;
    return buf.bytes.data();
}

// A command from a mailbox: the simulated camera takes "DB" (and all of
// them in simulator mode); the rest goes to the camera side unchanged. A
// mailbox is written by our own processes, so a malformed message there is
// a bug worth stopping for.
void serveMailbox(const MailboxRoute &route, MessageBuffer &buf)
{
    int ilen = snkxMbox_receive(buf.bytes.data(), KXMSG_MAX, route.rxq);
    uint8_t *ibuf = keepOnly(buf, ilen);
    kxTrace(KX_TRACE_TO_RT, ibuf, ilen);
    check(0 == tlv_validate(ibuf), "0 == tlv_validate(ibuf)");
    if (sim_and_send(ibuf, ilen)) {
        // The response grew in place, by appending only: nothing lies past
        // its own total or the command.
        buf.used = std::clamp<int>(std::max<int>(ilen, tlv_length(ibuf)), 0, KXMSG_MAX);
        return;
    }
    check(kxIpcSend(route.hdl, ibuf, ilen) >= 0, route.sendCheck);
}

// A message from the camera side goes to the network daemon; one that is
// malformed is logged and returned, so that the camera side learns of it.
void serveEndpoint(const EndpointRoute &route, MessageBuffer &buf)
{
    int ilen = kxIpcReceive(route.hdl, buf.bytes.data());
    check(ilen != 0, route.receiveCheck);
    uint8_t *ibuf = keepOnly(buf, ilen);
    kxTrace(KX_TRACE_FROM_RT, ibuf, ilen);
    if (tlv_validate(ibuf) == 0) {
        mailToKxnet(ibuf, ilen, __FILE__, "main");
        return;
    }
    kxTraceError(route.errorText, ibuf, ilen);
    if (route.sendBackCheck != nullptr)
        check(kxIpcSend(route.hdl, ibuf, ilen) >= 0, route.sendBackCheck);
}

void addToSet(int fd, fd_set &set, int &count)
{
    if (fd < 0 || fd >= FD_SETSIZE)
        return;
    FD_SET(fd, &set);
    count = std::max(count, fd + 1);
}

bool isReady(int fd, const fd_set &set)
{
    return fd >= 0 && fd < FD_SETSIZE && FD_ISSET(fd, &set);
}

// One message at most from each ready descriptor per cycle, in a fixed
// order, so that a flood on one of them cannot starve the others.
[[noreturn]] void forward(const Routes &routes, MessageBuffer &buf)
{
    for (;;) {
        fd_set readSet;
        FD_ZERO(&readSet);
        int count = 0;
        for (const auto &route : routes.mailboxes)
            addToSet(route.rxq->mqd, readSet, count);
        for (const auto &route : routes.endpoints)
            addToSet(route.fd, readSet, count);
        if (select(count, &readSet, nullptr, nullptr, nullptr) == -1)
            continue;
        for (const auto &route : routes.mailboxes)
            if (isReady(route.rxq->mqd, readSet))
                serveMailbox(route, buf);
        for (const auto &route : routes.endpoints)
            if (isReady(route.fd, readSet))
                serveEndpoint(route, buf);
    }
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

    // Spelled out one by one, in this order: these lines are part of the
    // daemon's defined start-up output and must not be folded into a loop.
    // An endpoint that cannot be opened is left out; the camera side may
    // come later in development set-ups, and the mailboxes still work.
    if (kxIpcInit(kxIpcEndpointNames[KXIPC_EP_NET], &kxNetIpcHdl) < 0)
        KX_LOG(KX_LOG_ERR, "Error initializing Lindenvale IPC\n\n");
    int netFd = kxIpcGetFd(&kxNetIpcHdl);
    if (netFd < 0)
        KX_LOG(KX_LOG_ERR, "Error fetching file descriptor\n\n");
    if (kxIpcInit(kxIpcEndpointNames[KXIPC_EP_CSI], &kxCsiIpcHdl) < 0)
        KX_LOG(KX_LOG_ERR, "Error initializing Lindenvale IPC\n\n");
    int csiFd = kxIpcGetFd(&kxCsiIpcHdl);
    if (csiFd < 0)
        KX_LOG(KX_LOG_ERR, "Error fetching file descriptor\n\n");
    if (kxIpcInit(kxIpcEndpointNames[KXIPC_EP_WC], &kxWcIpcHdl) < 0)
        KX_LOG(KX_LOG_ERR, "Error initializing Lindenvale IPC\n\n");
    int wcFd = kxIpcGetFd(&kxWcIpcHdl);
    if (wcFd < 0)
        KX_LOG(KX_LOG_ERR, "Error fetching file descriptor\n\n");

    // The conditions are the defined assertion texts, so they stay spelled
    // out; kxMailboxes (kxRedIro.h) is held to them below.
    ASSERT(kxMbox_rxopen(KXMBOXtoCAMERA, KXMSG_MAX_COUNT_MD, &rxq_to_rtos_cac) == 0);
    ASSERT(kxMbox_rxopen(KXMBOXtoRTOS, KXMSG_MAX_COUNT_LG, &rxq_to_rtos_wif) == 0);
    ASSERT(kxMbox_rxopen(KXMBOXtoUNUSED, KXMSG_MAX_COUNT_SM, &rxq_to_rtos_csi) == 0);
    ASSERT(kxMbox_create(KXMBOXtoKXNET, KXMSG_MAX_COUNT_LG) == 0);
    ASSERT(kxMbox_create(KXMBOXtoATH, KXMSG_MAX_COUNT_MD) == 0);
    ASSERT(kxMbox_create(KXMBOXtoUDP, KXMSG_MAX_COUNT_MD) == 0);
    ASSERT(kxMbox_create(KXMBOXtoPLAT, KXMSG_MAX_COUNT_MD) == 0);
    ASSERT(kxMbox_create(KXMBOXtoBLE, KXMSG_MAX_COUNT_LG) == 0);

    static_assert(kxMailboxes[0].count == KXMSG_MAX_COUNT_MD && kxMailboxes[1].count == KXMSG_MAX_COUNT_LG &&
                  kxMailboxes[2].count == KXMSG_MAX_COUNT_SM && kxMailboxes[3].count == KXMSG_MAX_COUNT_LG &&
                  kxMailboxes[4].count == KXMSG_MAX_COUNT_MD && kxMailboxes[5].count == KXMSG_MAX_COUNT_MD &&
                  kxMailboxes[6].count == KXMSG_MAX_COUNT_MD && kxMailboxes[7].count == KXMSG_MAX_COUNT_LG);

    const Routes routes = {
        .mailboxes = {{
            {&rxq_to_rtos_cac, &kxNetIpcHdl, "kxIpcSend(&kxNetIpcHdl, ibuf, ilen) >= 0"},
            {&rxq_to_rtos_wif, &kxWcIpcHdl, "kxIpcSend(&kxWcIpcHdl, ibuf, ilen) >= 0"},
            {&rxq_to_rtos_csi, &kxCsiIpcHdl, "kxIpcSend(&kxCsiIpcHdl, ibuf, ilen) >= 0"},
        }},
        .endpoints = {{
            {&kxNetIpcHdl, netFd, "ilen = kxIpcReceive(&kxNetIpcHdl, ibuf)",
             "CAM ipc validate failed", "kxIpcSend(&kxNetIpcHdl, ibuf, ilen) >= 0"},
            {&kxWcIpcHdl, wcFd, "ilen = kxIpcReceive(&kxWcIpcHdl, ibuf)",
             "WC ipc validate failed", "kxIpcSend(&kxWcIpcHdl, ibuf, ilen) >= 0"},
            {&kxCsiIpcHdl, csiFd, "ilen = kxIpcReceive(&kxCsiIpcHdl, ibuf)",
             "CSI ipc validate failed", nullptr},
        }},
    };
    MessageBuffer ibuf;
    forward(routes, ibuf);
}
