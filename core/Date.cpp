#include "core/Date.h"

#include <cmath>

namespace kv {

double toUnixSeconds(Date d) {
  return std::chrono::duration<double>(d.time_since_epoch()).count();
}

Date fromUnixSeconds(double seconds) {
  return Date(std::chrono::nanoseconds(static_cast<long long>(std::llround(seconds * 1e9))));
}

double toReferenceSeconds(Date d) {
  return std::chrono::duration<double>(d.time_since_epoch() -
                                       std::chrono::seconds(static_cast<long long>(kReferenceDateOffset)))
      .count();
}

Date fromReferenceSeconds(double seconds) {
  // Add the offset in integer nanoseconds so that small reference values keep
  // their full precision.
  return Date(std::chrono::nanoseconds(static_cast<long long>(std::llround(seconds * 1e9))) +
              std::chrono::seconds(static_cast<long long>(kReferenceDateOffset)));
}

Date addSeconds(Date d, Seconds s) {
  return d + std::chrono::nanoseconds(static_cast<long long>(std::llround(s.count() * 1e9)));
}

Seconds secondsBetween(Date a, Date b) { return std::chrono::duration<double>(b - a); }

}  // namespace kv
