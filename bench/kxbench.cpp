// kxbench: drives a running kxRedIro and prints what it achieves, next to
// a minimal relay that makes the same system calls per message and nothing
// else. Run it in a sandbox (tools/kxsandbox build/bin/kxbench): it creates
// the daemon's mailboxes and starts and ends daemons of its own.
//
//   simulator: command into "/to_camera", response out of "/to_kxnet"
//   relay:     "/to_camera" -> "wifibt" -> camera echo -> "/to_kxnet"
//
// With KX_ALLOC_LIB naming libkxalloccount.so, the daemon's heap
// allocations during the measured messages are counted as well.
#include "kxipc.h"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <getopt.h>
#include <mqueue.h>
#include <sched.h>
#include <sys/select.h>
#include <algorithm>
#include <tuple>
#include <string>
#include <vector>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

using Clock = std::chrono::steady_clock;

struct Options {
    long rounds = 100000;    // measured messages per path
    long load = 1000000;     // simulator round trips of the sustained run
    int repeat = 5;          // alternating runs of daemon and minimal relay
    std::string daemon = "build/bin/kxRedIro";
    std::string allocLib;    // libkxalloccount.so, or empty
};

[[noreturn]] void fail(const char *what)
{
    fprintf(stderr, "kxbench: %s: %s\n", what, strerror(errno));
    exit(1);
}

// A command "cm" as the network daemon sends it (45 bytes).
const unsigned char kCommand[] = {
    0x00, 0x2D, 0x00, 0x0A, 0x00, 0x00, 0x02, 0x41, 'c',  'm',  0x00, 0x00, 0x00, 0x42,
    0x00, 0x00, 0x0A, 0x44, '/',  't',  'o',  '_',  'c',  'a',  'm',  'e',  'r',  'a',
    0x00, 0x00, 0x09, 0x43, '/',  't',  'o',  '_',  'k',  'x',  'n',  'e',  't',  0x00,
    0x00, 0x00, 0xEE,
};

mqd_t openQueue(const char *name, int flags, long count = 10)
{
    mq_attr attr{};
    attr.mq_maxmsg = count;
    attr.mq_msgsize = 1500;
    mqd_t q = mq_open(name, flags | O_CREAT, 0664, &attr);
    if (q == static_cast<mqd_t>(-1))
        fail(name);
    return q;
}

void removeMailboxes()
{
    for (const char *name : {"/to_camera", "/to_wif", "/to_csi", "/to_kxnet", "/to_ath",
                             "/to_udp", "/to_pla", "/to_ble"})
        mq_unlink(name);
}

// One message into "/to_camera" and the next one out of "/to_kxnet".
void roundTrip(mqd_t toCamera, mqd_t toKxnet)
{
    char buf[1500];
    if (mq_send(toCamera, reinterpret_cast<const char *>(kCommand), sizeof kCommand, 0) != 0)
        fail("send");
    if (mq_receive(toKxnet, buf, sizeof buf, nullptr) < 0)
        fail("receive");
}

double rate(long rounds, mqd_t toCamera, mqd_t toKxnet)
{
    auto start = Clock::now();
    for (long i = 0; i < rounds; ++i)
        roundTrip(toCamera, toKxnet);
    std::chrono::duration<double> took = Clock::now() - start;
    return static_cast<double>(rounds) / took.count();
}

// ---- the daemon under measurement ----

struct Daemon {
    pid_t pid = 0;
    unsigned long *allocs = nullptr;
};

pid_t childOtherThan(pid_t skip)
{
    DIR *proc = opendir("/proc");
    pid_t found = 0;
    while (dirent *e = proc ? readdir(proc) : nullptr) {
        pid_t pid = atoi(e->d_name);
        char path[64];
        snprintf(path, sizeof path, "/proc/%d/stat", pid);
        FILE *f = pid > 0 && pid != skip ? fopen(path, "r") : nullptr;
        if (f == nullptr)
            continue;
        char line[512] = {};
        int ppid = 0;
        char state = 0;
        if (fgets(line, sizeof line, f) != nullptr && strrchr(line, ')') != nullptr)
            sscanf(strrchr(line, ')') + 1, " %c %d", &state, &ppid);
        fclose(f);
        if (ppid == getpid() && state != 'Z' && strstr(line, "(kxRedIro)") != nullptr) {
            found = pid;
            break;
        }
    }
    if (proc)
        closedir(proc);
    return found;
}

unsigned long *mapCounter(const std::string &path)
{
    int fd = open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0 || ftruncate(fd, 4096) != 0)
        fail("counter file");
    void *p = mmap(nullptr, 4096, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    close(fd);
    return p == MAP_FAILED ? nullptr : static_cast<unsigned long *>(p);
}

Daemon startDaemon(const Options &opt, bool simulator, const std::string &workDir)
{
    Daemon d;
    std::string counter = workDir + "/allocs";
    if (!opt.allocLib.empty())
        d.allocs = mapCounter(counter);
    pid_t first = fork();
    if (first == 0) {
        if (!opt.allocLib.empty()) {
            setenv("LD_PRELOAD", opt.allocLib.c_str(), 1);
            setenv("KX_ALLOC_COUNT_FILE", counter.c_str(), 1);
        }
        execl(opt.daemon.c_str(), "kxRedIro", simulator ? "-s" : nullptr, nullptr);
        _exit(127);
    }
    waitpid(first, nullptr, 0);
    for (int i = 0; i < 500 && d.pid == 0; ++i) {
        usleep(2000);
        d.pid = childOtherThan(first);
    }
    if (d.pid == 0) {
        errno = ESRCH;
        fail("starting kxRedIro");
    }
    for (int i = 0; i < 500; ++i) { // until its last mailbox exists
        mqd_t q = mq_open("/to_ble", O_RDONLY);
        if (q != static_cast<mqd_t>(-1)) {
            mq_close(q);
            break;
        }
        usleep(2000);
    }
    return d;
}

void stop(pid_t pid)
{
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
}

long openDescriptors(pid_t pid)
{
    std::string path = "/proc/" + std::to_string(pid) + "/fd";
    DIR *dir = opendir(path.c_str());
    long n = 0;
    while (dir && readdir(dir))
        ++n;
    if (dir)
        closedir(dir);
    return n - 2;
}

long residentKiB(pid_t pid)
{
    std::string path = "/proc/" + std::to_string(pid) + "/status";
    FILE *f = fopen(path.c_str(), "r");
    char line[256];
    long kib = -1;
    while (f && fgets(line, sizeof line, f))
        if (sscanf(line, "VmRSS: %ld kB", &kib) == 1)
            break;
    if (f)
        fclose(f);
    return kib;
}

// ---- the minimal relays ----

// The daemon waits for any of its six descriptors in select() before each
// message; a minimal relay that waits on its one source in a blocking
// receive instead is measured as well with a select() on that source, to
// show what the wait alone costs.
bool g_minimalSelects = false;

void waitReadable(int fd)
{
    if (!g_minimalSelects)
        return;
    fd_set set;
    FD_ZERO(&set);
    FD_SET(fd, &set);
    select(fd + 1, &set, nullptr, nullptr, nullptr);
}

// The daemon's system calls per message and nothing else: receive, open
// "/to_kxnet", read its attributes, send, close.
void forwardToKxnet(const char *msg, ssize_t len)
{
    mqd_t out = mq_open("/to_kxnet", O_WRONLY);
    mq_attr attr{};
    mq_getattr(out, &attr);
    mq_send(out, msg, static_cast<size_t>(len), 0);
    mq_close(out);
}

[[noreturn]] void minimalSimulator()
{
    mqd_t in = openQueue("/to_camera", O_RDONLY);
    char buf[1500];
    for (;;) {
        waitReadable(in);
        ssize_t n = mq_receive(in, buf, sizeof buf, nullptr);
        if (n > 0)
            forwardToKxnet(buf, n);
    }
}

[[noreturn]] void minimalRelay()
{
    mqd_t in = openQueue("/to_camera", O_RDONLY);
    kxIpcHdl net{};
    if (kxIpcInit("wifibt", &net) != 0)
        _exit(1);
    char buf[1500];
    for (;;) {
        waitReadable(in);
        ssize_t n = mq_receive(in, buf, sizeof buf, nullptr);
        if (n > 0)
            kxIpcSend(&net, buf, static_cast<int>(n));
        waitReadable(kxIpcGetFd(&net));
        n = kxIpcReceive(&net, buf);
        if (n > 0)
            forwardToKxnet(buf, n);
    }
}

// The camera's side: every message straight back.
[[noreturn]] void cameraEcho()
{
    kxIpcHdl cam{};
    if (kxIpcRtInit("wifibt", &cam) != 0)
        _exit(1);
    char buf[KXIPC_MSG_MAX];
    for (;;) {
        int n = kxIpcReceive(&cam, buf);
        if (n > 0)
            kxIpcSend(&cam, buf, n);
    }
}

pid_t spawn(void (*body)())
{
    pid_t pid = fork();
    if (pid == 0)
        body();
    return pid;
}

// ---- the runs ----

struct Queues {
    mqd_t toCamera;
    mqd_t toKxnet;
};

Queues openQueues()
{
    return {openQueue("/to_camera", O_WRONLY), openQueue("/to_kxnet", O_RDONLY, 40)};
}

void closeQueues(Queues q)
{
    mq_close(q.toCamera);
    mq_close(q.toKxnet);
}

double runDaemon(const Options &opt, bool simulator, const std::string &dir, long &allocs)
{
    removeMailboxes();
    pid_t camera = simulator ? 0 : spawn(cameraEcho);
    usleep(20000);
    Daemon d = startDaemon(opt, simulator, dir);
    Queues q = openQueues();
    for (int i = 0; i < 1000; ++i) // warm-up; the first answer brings the canvas
        roundTrip(q.toCamera, q.toKxnet);
    unsigned long before = d.allocs ? *d.allocs : 0;
    double r = rate(opt.rounds, q.toCamera, q.toKxnet);
    allocs = d.allocs ? static_cast<long>(*d.allocs - before) : -1;
    closeQueues(q);
    stop(d.pid);
    if (camera)
        stop(camera);
    return r;
}

double runMinimal(const Options &opt, void (*relay)(), bool withCamera)
{
    removeMailboxes();
    Queues q = openQueues();
    pid_t camera = withCamera ? spawn(cameraEcho) : 0;
    usleep(20000);
    pid_t relayPid = spawn(relay);
    usleep(20000);
    for (int i = 0; i < 1000; ++i)
        roundTrip(q.toCamera, q.toKxnet);
    double r = rate(opt.rounds, q.toCamera, q.toKxnet);
    closeQueues(q);
    stop(relayPid);
    if (camera)
        stop(camera);
    return r;
}

void sustained(const Options &opt, const std::string &dir)
{
    removeMailboxes();
    Daemon d = startDaemon(opt, true, dir);
    Queues q = openQueues();
    unsigned long base = d.allocs ? *d.allocs : 0;
    printf("\nsustained simulator load: %ld round trips\n", opt.load);
    if (d.allocs)
        printf("(the daemon made %lu heap allocations during its start-up)\n", base);
    printf("%12s %12s %12s %14s\n", "round trips", "open fds", "RSS KiB", "heap allocs");
    long step = opt.load / 10 > 0 ? opt.load / 10 : 1;
    for (long done = 0; done <= opt.load; done += step) {
        long allocs = d.allocs ? static_cast<long>(*d.allocs - base) : -1;
        printf("%12ld %12ld %12ld %14ld\n", done, openDescriptors(d.pid), residentKiB(d.pid), allocs);
        fflush(stdout);
        if (done < opt.load)
            rate(step, q.toCamera, q.toKxnet);
    }
    closeQueues(q);
    stop(d.pid);
}

Options parse(int argc, char **argv)
{
    Options opt;
    if (const char *lib = getenv("KX_ALLOC_LIB"))
        opt.allocLib = lib;
    int c;
    while ((c = getopt(argc, argv, "n:l:r:d:h")) != -1) {
        switch (c) {
        case 'n': opt.rounds = atol(optarg); break;
        case 'r': opt.repeat = atoi(optarg) > 0 ? atoi(optarg) : 1; break;
        case 'l': opt.load = atol(optarg); break;
        case 'd': opt.daemon = optarg; break;
        default:
            printf("usage: kxbench [-n MESSAGES] [-r RUNS] [-l LOAD_ROUND_TRIPS] [-d DAEMON]\n");
            exit(c == 'h' ? 0 : 2);
        }
    }
    return opt;
}

} // namespace

// Everything on one processor: each message then costs its processes'
// work and their switches, and not the luck of cross-processor wake-ups,
// which on a small machine varies more than the difference measured.
void pinToOneProcessor()
{
    cpu_set_t set;
    CPU_ZERO(&set);
    CPU_SET(0, &set);
    sched_setaffinity(0, sizeof set, &set);
}

// The median of several alternating runs of both relays.
struct Pair {
    double daemon;
    double minimal;
    double minimalSelect;
};

Pair median(std::vector<Pair> runs)
{
    auto pick = [&](auto field) {
        std::vector<double> v;
        for (const auto &r : runs)
            v.push_back(r.*field);
        std::sort(v.begin(), v.end());
        return v[v.size() / 2];
    };
    return {pick(&Pair::daemon), pick(&Pair::minimal), pick(&Pair::minimalSelect)};
}

int main(int argc, char **argv)
{
    Options opt = parse(argc, argv);
    prctl(PR_SET_CHILD_SUBREAPER, 1);
    pinToOneProcessor();
    char dir[] = "/tmp/kxbench.XXXXXX";
    if (mkdtemp(dir) == nullptr)
        fail("mkdtemp");
    setenv("KXIPC_DIR", dir, 1);

    long allocsSim = 0, allocsRelay = 0, allocs = 0;
    std::vector<Pair> simRuns, relayRuns;
    for (int run = 0; run < opt.repeat; ++run) {
        Pair s{runDaemon(opt, true, dir, allocs), 0, 0};
        allocsSim = allocs < 0 || allocsSim < 0 ? -1 : allocsSim + allocs;
        Pair r{runDaemon(opt, false, dir, allocs), 0, 0};
        allocsRelay = allocs < 0 || allocsRelay < 0 ? -1 : allocsRelay + allocs;
        g_minimalSelects = false;
        s.minimal = runMinimal(opt, minimalSimulator, false);
        r.minimal = runMinimal(opt, minimalRelay, true);
        g_minimalSelects = true;
        s.minimalSelect = runMinimal(opt, minimalSimulator, false);
        r.minimalSelect = runMinimal(opt, minimalRelay, true);
        simRuns.push_back(s);
        relayRuns.push_back(r);
    }
    Pair sim = median(simRuns);
    Pair relay = median(relayRuns);

    printf("%-10s %12s %12s %7s %16s %7s %12s\n", "path", "kxRedIro/s", "minimal/s", "ratio",
           "minimal+select/s", "ratio", "heap allocs");
    for (auto [name, p, a] : {std::tuple{"simulator", sim, allocsSim}, {"relay", relay, allocsRelay}})
        printf("%-10s %12.0f %12.0f %7.3f %16.0f %7.3f %12ld\n", name, p.daemon, p.minimal,
               p.daemon / p.minimal, p.minimalSelect, p.daemon / p.minimalSelect, a);
    printf("(median of %d runs of %ld messages a path, one in flight, on one processor;\n"
           " heap allocs summed over all measured messages, -1: not counted, set KX_ALLOC_LIB)\n",
           opt.repeat, opt.rounds);
    if (opt.load > 0)
        sustained(opt, dir);
    removeMailboxes();
    std::string counter = std::string(dir) + "/allocs";
    unlink(counter.c_str());
    rmdir(dir);
    return 0;
}
