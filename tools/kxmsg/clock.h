// Time as messages carry it: seconds since the epoch to the microsecond in
// JSON lines and captures, the daemon's own stamp in its log.
#pragma once

#include <chrono>
#include <ctime>
#include <string>

namespace kxmsg {

using WallClock = std::chrono::system_clock;

// Seconds since the epoch, to the microsecond, as JSON lines carry time.
double epochSeconds(WallClock::time_point when);

// Whether a time read from outside, in seconds since the epoch, is one that
// the clock holds: it counts nanoseconds in 64 bits, about 292 years either
// way of 1970. False for NaN too.
bool onClock(double seconds);

// A time read from outside in microseconds since the epoch; the caller has
// checked it with onClock.
WallClock::time_point fromMicroseconds(long long us);

// The local time of day of the second a time falls in. A time before the
// epoch falls in the second before its truncation: -1.5 s is in 23:59:58.
struct tm localSecond(WallClock::time_point when);

// The daemon's log stamp of a time, in local time ("Dec05 21:29:37").
std::string logStamp(WallClock::time_point when);

} // namespace kxmsg
