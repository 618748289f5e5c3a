#include "clock.h"

#include "kxLog.h"

#include <cmath>

namespace kxmsg {

double epochSeconds(WallClock::time_point when)
{
    auto us = std::chrono::duration_cast<std::chrono::microseconds>(when.time_since_epoch());
    return static_cast<double>(us.count()) / 1e6;
}

bool onClock(double seconds)
{
    return std::abs(seconds) < 9e9;
}

WallClock::time_point fromMicroseconds(long long us)
{
    return WallClock::time_point(
        std::chrono::duration_cast<WallClock::duration>(std::chrono::microseconds(us)));
}

struct tm localSecond(WallClock::time_point when)
{
    auto seconds = std::chrono::floor<std::chrono::seconds>(when.time_since_epoch());
    time_t secs = static_cast<time_t>(seconds.count());
    struct tm local {};
    localtime_r(&secs, &local);
    return local;
}

std::string logStamp(WallClock::time_point when)
{
    struct tm local = localSecond(when);
    char text[32];
    strftime(text, sizeof text, KX_LOG_STAMP_FORMAT, &local);
    return text;
}

} // namespace kxmsg
