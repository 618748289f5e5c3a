// The UTIL_LOG logger: one syslog line per call, whatever the level.
#include "kxHexStr.h"

#include <array>
#include <cstdarg>
#include <cstdio>
#include <syslog.h>

// Kept for programs that link the library and look at it; nothing here
// reads it, and kxUtil_log writes whatever the level. It stays that way:
// callers rely on the logger never filtering.
int32_t g_logLevel = UTIL_LOG_ERROR;

namespace {

constexpr int kNameCount = 7;
constexpr char kLevelNames[kNameCount][15] = {
    "UTIL_LOG_OFF  ", "UTIL_LOG_FATAL", "UTIL_LOG_ERROR", "UTIL_LOG_WARN ",
    "UTIL_LOG_DEBUG", "UTIL_LOG_INFO ", "UTIL_LOG_TRACE",
};
static_assert(sizeof kLevelNames[0] == 15, "names are 14 characters");

constexpr size_t kBufSize = 441;
constexpr int kMessageEnd = 349; // prefix and message, without terminator
constexpr int kCutRoom = 91;

} // namespace

extern "C" void kxUtil_log(int level, int line, const char *where, const char *fmt, ...)
{
    std::array<char, kBufSize> buf{};
    // Levels outside the table are a caller's mistake; name them rather
    // than read outside the table.
    const char *name = (level >= 0 && level < kNameCount) ? kLevelNames[level]
                                                           : "UTIL_LOG_?????";
    int p = snprintf(buf.data(), buf.size(), "%s:", name);

    va_list ap;
    va_start(ap, fmt);
    int n = vsnprintf(buf.data() + p, static_cast<size_t>(kMessageEnd + 1 - p), fmt, ap);
    va_end(ap);

    int room;
    if (n >= 0 && p + n <= kMessageEnd) {
        p += n;
        room = static_cast<int>(kBufSize - 1) - p;
    } else {
        p = kMessageEnd;
        room = kCutRoom;
    }
    int m = snprintf(buf.data() + p, static_cast<size_t>(room), " @%s:%d", where, line);
    if (m < 0 || m >= room)
        snprintf(buf.data() + p, static_cast<size_t>(room), " ");
    syslog(LOG_ERR, "%s", buf.data());
}

extern "C" void kxUtil_setLogLevel(unsigned int level)
{
    if (level <= UTIL_LOG_TRACE)
        g_logLevel = static_cast<int32_t>(level);
}
