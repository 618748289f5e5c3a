// Log targets, assertions and the traffic trace.
//
// A line is formatted once into a stack buffer and then handed to each
// target: standard output and the log file get it behind a timestamp, syslog
// without one. Nothing here allocates, so logging is safe on the daemon's
// forwarding path; the log file is opened and closed for every line so that
// it can be removed or rotated under a running daemon.
#include "kxLog.h"

#include <array>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <string_view>
#include <sys/uio.h>
#include <syslog.h>
#include <unistd.h>

uint32_t g_debug_level = KX_DEBUG_LEVEL_INIT;
uint32_t g_debug = KX_DEBUG_INIT;

const char kxTraceTag[KX_TRACE_COUNT][KX_TRACE_TAG_SIZE] = {
    "            ", ">Hb         ", " Hb>        ", " Hb<        ",
    "<Hb         ", ">Hc         ", " Hc>        ", " Hc<        ",
    "<Hc         ", ">UD         ", " UD>        ", " UD<        ",
    "<UD         ", "    >GN     ", "     GN>    ", "     GN<    ",
    "    <GN     ", "        >RT ", "         RT>", "         RT<",
    "        <RT ", "        >WI ", "        <WI ", "        >BT ",
    "        <BT ", "DB>         ", "DB<         ", "",
};

const uint32_t kxTraceMask[KX_TRACE_COUNT] = {
    0x00000000, 0x00000001, 0x00000002, 0x00000004, 0x00000008, 0x00000010,
    0x00000020, 0x00000040, 0x00000080, 0x00000100, 0x00000200, 0x00000400,
    0x00000800, 0x00010000, 0x00020000, 0x00040000, 0x00080000, 0x00100000,
    0x00200000, 0x00400000, 0x00800000, 0x01000000, 0x02000000, 0x04000000,
    0x08000000, 0x10000000, 0x20000000, 0x00000000,
};

namespace {

constexpr size_t kLineMax = 1024;
constexpr size_t kStampSize = 20;
constexpr int kReportThreshold = KX_LOG_ERR;

using Stamp = std::array<char, kStampSize>;

bool levelAbove(int threshold)
{
    return KX_LOG_LEVEL() > threshold;
}

Stamp makeStamp()
{
    Stamp ts{};
    time_t now = time(nullptr);
    struct tm local {};
    if (localtime_r(&now, &local) == nullptr ||
        strftime(ts.data(), ts.size(), KX_LOG_STAMP_FORMAT, &local) == 0)
        ts[0] = '\0';
    return ts;
}

// One writev per line keeps a line whole in an append-mode file even when
// several processes log into it.
void writeStamped(int fd, const Stamp &ts, std::string_view body)
{
    std::array<iovec, 3> iov{{
        {const_cast<char *>(ts.data()), strlen(ts.data())},
        {const_cast<char *>(" "), 1},
        {const_cast<char *>(body.data()), body.size()},
    }};
    ssize_t r;
    do {
        r = writev(fd, iov.data(), static_cast<int>(iov.size()));
    } while (r < 0 && errno == EINTR);
}

// Standard output and the log file, under their bits; failures are ignored.
void emitStamped(std::string_view body)
{
    uint32_t level = g_debug_level;
    if ((level & (KX_DBG_STDOUT | KX_DBG_LOGFILE)) == 0)
        return;
    Stamp ts = makeStamp();
    if (level & KX_DBG_STDOUT) {
        fflush(stdout); // keep order with the program's own stdio output
        writeStamped(STDOUT_FILENO, ts, body);
    }
    if (level & KX_DBG_LOGFILE) {
        int fd = open(KX_LOG_FILE, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0666);
        if (fd >= 0) {
            writeStamped(fd, ts, body);
            close(fd);
        }
    }
}

void emitLine(std::string_view body)
{
    emitStamped(body);
    syslog(LOG_DEBUG, "%s", body.data());
}

// Bounded formatting into a caller's buffer, which stays terminated.
struct TextBuf {
    char *text;
    size_t size;
    size_t len = 0;
    bool cut = false;

    void vappend(const char *fmt, va_list ap)
    {
        if (size == 0 || len + 1 >= size) {
            cut = true;
            return;
        }
        int n = vsnprintf(text + len, size - len, fmt, ap);
        if (n < 0)
            return;
        if (static_cast<size_t>(n) >= size - len) {
            len = size - 1;
            cut = true;
        } else {
            len += static_cast<size_t>(n);
        }
    }

    void append(const char *fmt, ...) __attribute__((format(printf, 2, 3)))
    {
        va_list ap;
        va_start(ap, fmt);
        vappend(fmt, ap);
        va_end(ap);
    }
};

// One log line; a line that had to be cut still ends with its line end.
struct LineBuf {
    std::array<char, kLineMax> storage{};
    TextBuf buf{storage.data(), storage.size()};

    void vappend(const char *fmt, va_list ap) { buf.vappend(fmt, ap); }
    void append(const char *fmt, ...) __attribute__((format(printf, 2, 3)))
    {
        va_list ap;
        va_start(ap, fmt);
        buf.vappend(fmt, ap);
        va_end(ap);
    }
    std::string_view view()
    {
        if (buf.cut)
            storage[buf.len - 1] = '\n';
        return {storage.data(), buf.len};
    }
};

} // namespace

extern "C" void kxLogWrite(const char *func, int line, const char *fmt, ...)
{
    LineBuf buf;
    buf.append("[%16s:%4d] ", func, line);
    va_list ap;
    va_start(ap, fmt);
    buf.vappend(fmt, ap);
    va_end(ap);
    emitLine(buf.view());
}

extern "C" void kxLogWriteBare(const char *fmt, ...)
{
    LineBuf buf;
    va_list ap;
    va_start(ap, fmt);
    buf.vappend(fmt, ap);
    va_end(ap);
    emitLine(buf.view());
}

extern "C" void kxAssertFail(const char *file, const char *func, int line,
                             const char *cond)
{
    if (levelAbove(kReportThreshold)) {
        LineBuf buf;
        buf.append("\033[31mASSERT:%s/%s:%d:%s\n\033[0m", file, func, line, cond);
        emitLine(buf.view());
    }
    exit(-1);
}

extern "C" void kxTrace(int index, const void *msg, int len)
{
    if (index < 0 || index >= KX_TRACE_COUNT)
        return;
    if ((g_debug_level & KX_DBG_TRACE) == 0)
        return;
    if ((kxTraceMask[index] & g_debug) == 0)
        return;
    kxHexDump(kxTraceTag[index], 0, msg, len);
}

extern "C" void kxTraceError(const char *text, const void *msg, int len)
{
    if (levelAbove(kReportThreshold)) {
        LineBuf buf;
        buf.append("%s:\n", text);
        emitLine(buf.view());
    }
    kxHexDump("ERROR", 0, msg, len);
}

extern "C" int kxHexDumpLine(char *line, size_t size, const char *label,
                             uint32_t *addr, int *pos, const void *data, int len)
{
    if (line == nullptr || size == 0)
        return 0;
    const auto *bytes = static_cast<const unsigned char *>(data);
    std::array<char, 17> column{};
    TextBuf out{line, size};

    out.append("%-11s%08x  ", label, static_cast<unsigned>(*addr & ~0xFu));
    for (int slot = 0; slot < 16; ++slot) {
        if (*pos >= 0 && *pos < len) {
            unsigned char b = bytes[*pos];
            out.append("%02x", b);
            column[slot] = kxIsPrintable(b) ? static_cast<char>(b) : '.';
        } else {
            out.append("  ");
            column[slot] = ' ';
        }
        ++*pos;
        ++*addr;
        if (slot % 4 == 3 && slot != 15)
            out.append(" ");
    }
    out.append("  %s", column.data());
    return static_cast<int>(out.len);
}

extern "C" void kxHexDump(const char *label, uint32_t start, const void *data, int len)
{
    // Head and tail: the first four lines and those after which at most 31
    // bytes remain, unless full dumps are asked for.
    constexpr int kHeadEnd = 79;
    constexpr int kTailRest = 31;
    int pos = -static_cast<int>(start & 0xFu);
    uint32_t addr = start;

    if (levelAbove(kReportThreshold))
        emitLine("\n");
    while (pos < len) {
        std::array<char, KX_HEXDUMP_LINE_SIZE> line{};
        kxHexDumpLine(line.data(), line.size(), label, &addr, &pos, data, len);
        bool shown = (g_debug_level & KX_DBG_FULL_DUMP) || pos <= kHeadEnd ||
                     len - pos <= kTailRest;
        if (!shown || !levelAbove(kReportThreshold))
            continue;
        LineBuf buf;
        buf.append("%s\n", line.data());
        emitLine(buf.view());
    }
}
