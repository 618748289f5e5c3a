#include "clock.h"

#include "kxLog.h"

#include <cmath>
#include <ctime>

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

std::string logStamp(WallClock::time_point when)
{
    time_t secs = WallClock::to_time_t(when);
    struct tm local {};
    localtime_r(&secs, &local);
    char text[32];
    strftime(text, sizeof text, KX_LOG_STAMP_FORMAT, &local);
    return text;
}

} // namespace kxmsg
