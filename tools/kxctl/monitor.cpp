// monitor: every message that passes through the daemon, as it passes, read
// from the daemon's traffic trace (a log file, standard input, or the
// sandbox's syslog), so that no message is taken from any mailbox: a POSIX
// mailbox hands each message to one reader only, and that reader is the
// network daemon or the daemon itself. The daemon's assertion reports are
// shown among the messages, whatever the filter: they end it, and explain
// why the messages stop.
#include "assertion.h"
#include "daemon/signals.h"
#include "dumplog.h"
#include "failure.h"
#include "pcapng.h"
#include "verbs.h"

#include "kxTlv.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <fcntl.h>
#include <poll.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

namespace kxctl {

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kPauseMs = 200; // a dump still open after this long is handed out

// Where the trace is read from, and how far.
struct Source {
    std::string name;
    int fd = -1;
    bool follow = false; // a file that grows: wait at its end
    int watch = -1;      // inotify descriptor, or -1 (then wait by polling)
    std::string carry;   // a line begun, not yet ended

    Source() = default;
    Source(const Source &) = delete;
    Source &operator=(const Source &) = delete;
    ~Source()
    {
        if (fd > 0)
            close(fd);
        if (watch >= 0)
            close(watch);
    }
};

std::string sourceName(const MonitorOptions &o)
{
    if (!o.source.empty())
        return o.source;
    const char *syslogFile = getenv(kSyslogEnv);
    if (syslogFile == nullptr || *syslogFile == '\0')
        throw Failure(kExitUsage, "no log to follow: name a FILE, or - for standard input "
                                  "(inside kxctl sandbox the daemon's syslog is the default)");
    return syslogFile;
}

// A file is followed from its end (as tail -f -n 0 does); one that does not
// exist yet is waited for, since the daemon creates its log with its first
// line.
void openSource(Source &s, const MonitorOptions &o)
{
    s.name = sourceName(o);
    if (s.name == "-") {
        s.fd = STDIN_FILENO;
        return;
    }
    while ((s.fd = open(s.name.c_str(), O_RDONLY | O_CLOEXEC)) < 0) {
        if (errno != ENOENT || stopRequested())
            throw Failure(kExitFailure, s.name + ": " + strerror(errno));
        usleep(50000);
    }
    s.follow = true;
    lseek(s.fd, 0, SEEK_END);
    s.watch = inotify_init1(IN_CLOEXEC | IN_NONBLOCK);
    if (s.watch >= 0 && inotify_add_watch(s.watch, s.name.c_str(), IN_MODIFY) < 0) {
        close(s.watch);
        s.watch = -1;
    }
}

// Starts again from the top of a file that was truncated.
void rewindIfTruncated(Source &s)
{
    struct stat st {};
    off_t at = lseek(s.fd, 0, SEEK_CUR);
    if (fstat(s.fd, &st) == 0 && st.st_size < at)
        lseek(s.fd, 0, SEEK_SET);
}

// Waits up to ms for more input; false when a stop was asked for.
bool waitForInput(Source &s, int ms)
{
    pollfd fd{s.watch, POLLIN, 0};
    if (fd.fd < 0) {
        usleep(static_cast<useconds_t>(std::min(ms, 20) * 1000));
        return !stopRequested();
    }
    if (poll(&fd, 1, ms) > 0) {
        char events[4096];
        while (read(s.watch, events, sizeof events) > 0) {
        }
    }
    return !stopRequested();
}

struct Watch {
    const OutputOptions &out;
    const MonitorOptions &options;
    LogReader log;
    std::vector<Traced> done;
    PcapWriter pcap;
    long shown = 0;
    Clock::time_point lastMessage = Clock::now();
    Clock::time_point lastInput = Clock::now();

    Watch(const OutputOptions &o, const MonitorOptions &m) : out(o), options(m) {}

    bool wanted(const Traced &t) const
    {
        if (options.codes.empty())
            return true;
        Message m = tracedMessage(t);
        std::string code = valueText(m.find(TLV_TYPE_CMD));
        return std::find(options.codes.begin(), options.codes.end(), code) != options.codes.end();
    }

    // false when the count is reached.
    bool show()
    {
        for (const Traced &t : done) {
            if (!wanted(t))
                continue;
            printTraced(out, t);
            if (pcap.file != nullptr)
                pcapWriteTraced(pcap, t);
            lastMessage = Clock::now();
            if (options.count > 0 && ++shown >= options.count)
                return false;
        }
        done.clear();
        return true;
    }

    // A report ends the daemon, so a dump still open before it is whole;
    // the report then comes after the messages logged before it.
    bool lines(Source &s, const char *data, size_t size)
    {
        s.carry.append(data, size);
        size_t from = 0;
        for (size_t end; (end = s.carry.find('\n', from)) != std::string::npos; from = end + 1) {
            std::string_view line = std::string_view(s.carry).substr(from, end - from);
            if (log.feed(line, done))
                continue;
            if (auto report = parseAssertion(line)) {
                log.flush(done);
                if (!show())
                    return false;
                printAssertion(out, *report);
            }
        }
        s.carry.erase(0, from);
        return show();
    }
};

bool quietTooLong(const Watch &w)
{
    return w.options.quiet > 0 &&
           Clock::now() - w.lastMessage > std::chrono::duration<double>(w.options.quiet);
}

enum class Ended { count, input, quiet, stopped };

// Standard input is polled before it is read, so that a pause is noticed.
bool readable(const Source &s, int ms)
{
    pollfd fd{s.fd, POLLIN, 0};
    return s.follow || poll(&fd, 1, ms) > 0;
}

// No input for now: hand out a dump that stays open, stop when quiet too
// long, wait for a file to grow.
std::optional<Ended> idle(Watch &w, Source &s)
{
    if (w.log.pending && Clock::now() - w.lastInput > std::chrono::milliseconds(kPauseMs)) {
        w.log.flush(w.done);
        if (!w.show())
            return Ended::count;
    }
    if (quietTooLong(w))
        return Ended::quiet;
    if (!s.follow)
        return stopRequested() ? std::optional(Ended::stopped) : std::nullopt;
    rewindIfTruncated(s);
    return waitForInput(s, w.log.pending ? kPauseMs : 100) ? std::nullopt
                                                           : std::optional(Ended::stopped);
}

Ended watchSource(Watch &w, Source &s)
{
    char buf[65536];
    for (;;) {
        ssize_t n = readable(s, w.log.pending ? kPauseMs : 100) ? read(s.fd, buf, sizeof buf) : -1;
        if (n > 0) {
            w.lastInput = Clock::now();
            if (!w.lines(s, buf, static_cast<size_t>(n)))
                return Ended::count;
            continue;
        }
        if (n == 0 && !s.follow)
            return Ended::input;
        if (n < 0 && errno != EINTR && errno != EAGAIN && errno != 0)
            throw Failure(kExitFailure, s.name + ": " + strerror(errno));
        errno = 0;
        if (auto ended = idle(w, s))
            return *ended;
    }
}

} // namespace

int runMonitor(const OutputOptions &out, const MonitorOptions &o)
{
    catchStopSignals();
    Source source;
    openSource(source, o);
    Watch w(out, o);
    if (!o.pcap.empty())
        pcapOpen(w.pcap, o.pcap);
    fprintf(stderr, "kxctl monitor: following %s (the daemon's trace: kxctl trace on)\n",
            source.name == "-" ? "standard input" : source.name.c_str());
    Ended ended = watchSource(w, source);
    if (ended == Ended::input) {
        w.log.flush(w.done);
        w.show();
    }
    if (ended == Ended::quiet) {
        fprintf(stderr, "kxctl monitor: no message for %g s\n", o.quiet);
        return kExitTimeout;
    }
    return kExitOk;
}

} // namespace kxctl
