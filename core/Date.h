#pragma once
// Dates and durations as the whole system uses them.
//
// A `Date` is a point on the wall clock (UTC, nanosecond resolution). The
// catalog stores dates as seconds since 1970-01-01 UTC; JSON documents that we
// encode ourselves (run summaries, tokens, cached configuration) store them as
// seconds since 2001-01-01 UTC. Both are floating-point with a fraction.
#include <chrono>

namespace kv {

using Date = std::chrono::sys_time<std::chrono::nanoseconds>;
// Durations are seconds with a fraction.
using Seconds = std::chrono::duration<double>;

// Seconds between 1970-01-01 and 2001-01-01, both UTC.
inline constexpr double kReferenceDateOffset = 978307200.0;

double toUnixSeconds(Date d);
Date fromUnixSeconds(double seconds);
double toReferenceSeconds(Date d);
Date fromReferenceSeconds(double seconds);

// The date `d` moved by a duration (rounded to the nearest nanosecond).
Date addSeconds(Date d, Seconds s);
// b - a as fractional seconds.
Seconds secondsBetween(Date a, Date b);

}  // namespace kv
