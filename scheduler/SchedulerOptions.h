#pragma once
// The coordinator's timing settings. The defaults are the production values
// (the composition may still set them explicitly).
#include <string>

#include "core/Date.h"

namespace kv {

struct SchedulerOptions {
  // Quiet time after the last Photos library change before a `change` run.
  Seconds debounce{300.0};
  // Hour of day (0-23, local time) of the `daily` slot.
  int dailyHour = 2;
  // First automatic retry delay, and the longest one.
  Seconds retryFloor{30.0};
  Seconds retryCap{300.0};
  // The time zone in which cadence slots are counted, as an IANA id
  // ("Europe/Berlin"). Empty: the system's current zone (TZ, else
  // /etc/localtime), looked up at every computation.
  std::string timeZone;
};

}  // namespace kv
