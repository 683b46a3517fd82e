#include "scheduler/ScheduleTiming.h"

#include <unicode/gregocal.h>
#include <unicode/timezone.h>
#include <unicode/unistr.h>

#include <algorithm>
#include <cmath>
#include <memory>

namespace kv {
namespace {

std::unique_ptr<icu::TimeZone> zoneFor(const SchedulerOptions& options) {
  if (options.timeZone.empty()) return std::unique_ptr<icu::TimeZone>(icu::TimeZone::createDefault());
  return std::unique_ptr<icu::TimeZone>(
      icu::TimeZone::createTimeZone(icu::UnicodeString::fromUTF8(options.timeZone)));
}

UDate toUDate(Date d) {
  // ICU counts whole milliseconds; round down so that the local fields are
  // those of the moment itself, never of a later one.
  return static_cast<UDate>(std::chrono::floor<std::chrono::milliseconds>(d).time_since_epoch().count());
}

Date fromUDate(UDate ms) {
  return Date(std::chrono::nanoseconds(static_cast<long long>(std::llround(ms * 1e6))));
}

// Searches forward, wall-clock step by wall-clock step, for the first moment
// strictly after `after`. `step` is the unit (hour or day) and `hour` the
// fixed hour of day, or -1 to keep the hour of `after` and step through hours.
std::optional<Date> searchForward(const SchedulerOptions& options, Date after, int hour) {
  UErrorCode status = U_ZERO_ERROR;
  icu::GregorianCalendar calendar(zoneFor(options).release(), status);
  if (U_FAILURE(status)) return std::nullopt;
  calendar.setLenient(true);
  // Skipped wall times resolve to the first valid time after the gap;
  // repeated ones to their first occurrence.
  calendar.setSkippedWallTimeOption(UCAL_WALLTIME_NEXT_VALID);
  calendar.setRepeatedWallTimeOption(UCAL_WALLTIME_FIRST);
  calendar.setTime(toUDate(after), status);
  const int year = calendar.get(UCAL_EXTENDED_YEAR, status);
  const int month = calendar.get(UCAL_MONTH, status);
  const int day = calendar.get(UCAL_DATE, status);
  const int startHour = calendar.get(UCAL_HOUR_OF_DAY, status);
  if (U_FAILURE(status)) return std::nullopt;

  // A few steps always suffice: one daylight-saving shift moves a wall time
  // by at most a couple of hours, and even a skipped calendar day only moves
  // the search on by one.
  const int maxSteps = hour < 0 ? 72 : 8;
  for (int k = 0; k < maxSteps; ++k) {
    calendar.clear();
    calendar.set(UCAL_EXTENDED_YEAR, year);
    calendar.set(UCAL_MONTH, month);
    if (hour < 0) {
      calendar.set(UCAL_DATE, day);
      calendar.set(UCAL_HOUR_OF_DAY, startHour + k);
    } else {
      calendar.set(UCAL_DATE, day + k);
      calendar.set(UCAL_HOUR_OF_DAY, hour);
    }
    calendar.set(UCAL_MINUTE, 0);
    calendar.set(UCAL_SECOND, 0);
    calendar.set(UCAL_MILLISECOND, 0);
    const UDate candidate = calendar.getTime(status);
    if (U_FAILURE(status)) return std::nullopt;
    const Date slot = fromUDate(candidate);
    if (slot > after) return slot;
  }
  return std::nullopt;
}

}  // namespace

std::optional<Date> nextScheduledDate(Cadence cadence, const SchedulerOptions& options, Date after) {
  switch (cadence) {
    case Cadence::hourly:
      return searchForward(options, after, -1);
    case Cadence::daily:
      return searchForward(options, after, std::clamp(options.dailyHour, 0, 23));
    case Cadence::manual:
      return std::nullopt;
  }
  return std::nullopt;
}

Seconds retryDelay(int consecutiveFailures, const SchedulerOptions& options) {
  const int k = std::clamp(consecutiveFailures - 1, 0, 20);
  const double delay = options.retryFloor.count() * std::ldexp(1.0, k);
  return Seconds(std::min(delay, options.retryCap.count()));
}

}  // namespace kv
