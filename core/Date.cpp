#include "core/Date.h"

#include <cmath>
#include <limits>

namespace kv {
namespace {

// Whole seconds and the fraction are converted separately so that dates near
// today keep sub-microsecond precision (a double holding 1.7e18 nanoseconds
// would not). Values beyond what a Date can hold (about ±292 years around
// 1970) are clamped instead of overflowing.
std::chrono::nanoseconds nanosecondsFromSeconds(double seconds) {
  constexpr double kLimit = 9.2e9;
  if (std::isnan(seconds)) return std::chrono::nanoseconds(0);
  if (seconds > kLimit) seconds = kLimit;
  if (seconds < -kLimit) seconds = -kLimit;
  const double whole = std::floor(seconds);
  const double fraction = seconds - whole;
  return std::chrono::seconds(static_cast<long long>(whole)) +
         std::chrono::nanoseconds(std::llround(fraction * 1e9));
}

constexpr std::chrono::seconds kReferenceOffset{static_cast<long long>(kReferenceDateOffset)};

double secondsFromNanoseconds(std::chrono::nanoseconds ns) {
  const auto whole = std::chrono::duration_cast<std::chrono::seconds>(ns);
  return static_cast<double>(whole.count()) + static_cast<double>((ns - whole).count()) / 1e9;
}

}  // namespace

double toUnixSeconds(Date d) { return secondsFromNanoseconds(d.time_since_epoch()); }

Date fromUnixSeconds(double seconds) { return Date(nanosecondsFromSeconds(seconds)); }

double toReferenceSeconds(Date d) { return secondsFromNanoseconds(d.time_since_epoch() - kReferenceOffset); }

Date fromReferenceSeconds(double seconds) {
  const double clamped = std::isnan(seconds) ? 0.0 : std::fmax(std::fmin(seconds, 8.0e9), -8.0e9);
  return Date(nanosecondsFromSeconds(clamped) + kReferenceOffset);
}

Date addSeconds(Date d, Seconds s) { return d + nanosecondsFromSeconds(s.count()); }

Seconds secondsBetween(Date a, Date b) { return Seconds(secondsFromNanoseconds(b - a)); }

}  // namespace kv
