// Cadence slots in a time zone (daylight-saving days included) and the retry
// back-off.
#include <gtest/gtest.h>

#include <unicode/timezone.h>

#include <cstdlib>
#include <ctime>

#include "scheduler/ScheduleTiming.h"

namespace kv {
namespace {

using namespace std::chrono;

Date utc(int y, unsigned mo, unsigned d, int h, int mi = 0, double s = 0) {
  const sys_days civil{year{y} / month{mo} / std::chrono::day{d}};
  return Date(duration_cast<nanoseconds>(civil.time_since_epoch() + hours(h) + minutes(mi)) +
              nanoseconds(static_cast<long long>(s * 1e9)));
}

SchedulerOptions inZone(std::string zone, int dailyHour = 2) {
  SchedulerOptions o;
  o.timeZone = std::move(zone);
  o.dailyHour = dailyHour;
  return o;
}

struct SlotCase {
  const char* name;
  Cadence cadence;
  const char* zone;
  int dailyHour;
  Date after;
  std::optional<Date> expected;
};

TEST(NextScheduledDate, SlotsTable) {
  const SlotCase cases[] = {
      {"hourly: next top of the hour", Cadence::hourly, "UTC", 2, utc(2024, 5, 6, 10, 20), utc(2024, 5, 6, 11)},
      {"hourly: strictly after a top of the hour", Cadence::hourly, "UTC", 2, utc(2024, 5, 6, 11),
       utc(2024, 5, 6, 12)},
      {"hourly: a nanosecond past the hour", Cadence::hourly, "UTC", 2,
       utc(2024, 5, 6, 11) + nanoseconds(1), utc(2024, 5, 6, 12)},
      {"hourly: half an hour zone counts local hours", Cadence::hourly, "Asia/Kolkata", 2,
       utc(2024, 5, 6, 4, 50), utc(2024, 5, 6, 5, 30)},
      {"hourly: across midnight and a month end", Cadence::hourly, "UTC", 2, utc(2024, 5, 31, 23, 59, 59.5),
       utc(2024, 6, 1, 0)},
      {"daily: later the same day", Cadence::daily, "UTC", 2, utc(2024, 5, 6, 1, 59, 59.9995), utc(2024, 5, 6, 2)},
      {"daily: at the slot, the next day's", Cadence::daily, "UTC", 2, utc(2024, 5, 6, 2), utc(2024, 5, 7, 2)},
      {"daily: past the slot, tomorrow", Cadence::daily, "UTC", 2, utc(2024, 5, 6, 9), utc(2024, 5, 7, 2)},
      {"daily: at local hour in the zone", Cadence::daily, "Europe/Berlin", 2, utc(2024, 5, 6, 9),
       utc(2024, 5, 7, 0)},  // 02:00 CEST
      {"daily: hour 23", Cadence::daily, "UTC", 23, utc(2024, 12, 31, 23, 30), utc(2025, 1, 1, 23)},
      {"daily: hour 0", Cadence::daily, "UTC", 0, utc(2024, 2, 28, 12), utc(2024, 2, 29, 0)},
      {"manual: never", Cadence::manual, "UTC", 2, utc(2024, 5, 6, 9), std::nullopt},

      // Berlin, spring forward on 2024-03-31: 02:00 CET becomes 03:00 CEST (01:00 UTC).
      {"spring hourly: 01:00 CET", Cadence::hourly, "Europe/Berlin", 2, utc(2024, 3, 30, 23, 30),
       utc(2024, 3, 31, 0)},
      {"spring hourly: 02:00 is skipped, 03:00 CEST", Cadence::hourly, "Europe/Berlin", 2, utc(2024, 3, 31, 0),
       utc(2024, 3, 31, 1)},
      {"spring hourly: then 04:00 CEST", Cadence::hourly, "Europe/Berlin", 2, utc(2024, 3, 31, 1),
       utc(2024, 3, 31, 2)},
      {"spring daily: 02:00 does not exist, next existing time 03:00", Cadence::daily, "Europe/Berlin", 2,
       utc(2024, 3, 30, 1), utc(2024, 3, 31, 1)},
      {"spring daily: the day after, 02:00 CEST", Cadence::daily, "Europe/Berlin", 2, utc(2024, 3, 31, 1),
       utc(2024, 4, 1, 0)},

      // Berlin, fall back on 2024-10-27: 03:00 CEST becomes 02:00 CET (01:00 UTC);
      // 02:00-02:59 happens twice.
      {"fall hourly: first 02:00 (CEST)", Cadence::hourly, "Europe/Berlin", 2, utc(2024, 10, 26, 23, 10),
       utc(2024, 10, 27, 0)},
      {"fall hourly: the repeated 02:00 does not count again", Cadence::hourly, "Europe/Berlin", 2,
       utc(2024, 10, 27, 0), utc(2024, 10, 27, 2)},
      {"fall hourly: inside the second 02:xx", Cadence::hourly, "Europe/Berlin", 2, utc(2024, 10, 27, 1, 30),
       utc(2024, 10, 27, 2)},
      {"fall daily: first occurrence of 02:00", Cadence::daily, "Europe/Berlin", 2, utc(2024, 10, 26, 0),
       utc(2024, 10, 27, 0)},
      {"fall daily: not again an hour later", Cadence::daily, "Europe/Berlin", 2, utc(2024, 10, 27, 0),
       utc(2024, 10, 28, 1)},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(nextScheduledDate(c.cadence, inZone(c.zone, c.dailyHour), c.after), c.expected) << c.name;
  }
}

TEST(NextScheduledDate, SkippedHalfHourSlotTakesTheNextExistingTime) {
  // Hour 2 on the spring-forward day of a zone whose gap is 02:00-03:00 maps to
  // 03:00 local, never to an hour before the gap or one hour late.
  const auto slot = nextScheduledDate(Cadence::daily, inZone("America/New_York"), utc(2024, 3, 9, 12));
  EXPECT_EQ(slot, utc(2024, 3, 10, 7));  // 03:00 EDT
}

TEST(NextScheduledDate, WithoutAZoneUsesTheSystemZoneFromTZ) {
  const char* saved = std::getenv("TZ");
  const std::string savedValue = saved ? saved : "";
  setenv("TZ", "Europe/Berlin", 1);
  tzset();
  icu::TimeZone::adoptDefault(icu::TimeZone::detectHostTimeZone());
  const auto slot = nextScheduledDate(Cadence::daily, SchedulerOptions{}, utc(2024, 5, 6, 9));
  if (saved) {
    setenv("TZ", savedValue.c_str(), 1);
  } else {
    unsetenv("TZ");
  }
  tzset();
  icu::TimeZone::adoptDefault(icu::TimeZone::detectHostTimeZone());
  EXPECT_EQ(slot, utc(2024, 5, 7, 0));  // 02:00 CEST
}

TEST(RetryDelay, DoublesFromTheFloorUpToTheCap) {
  const SchedulerOptions production;
  const std::pair<int, double> rows[] = {{1, 30}, {2, 60}, {3, 120}, {4, 240}, {5, 300}, {6, 300},
                                         {0, 30}, {-3, 30}, {1000000, 300}};
  for (const auto& [n, seconds] : rows) EXPECT_DOUBLE_EQ(retryDelay(n, production).count(), seconds) << n;
}

TEST(RetryDelay, ExponentStopsAtTwenty) {
  SchedulerOptions o;
  o.retryFloor = Seconds(1.5);
  o.retryCap = Seconds(1e12);
  EXPECT_DOUBLE_EQ(retryDelay(21, o).count(), 1.5 * 1048576.0);
  EXPECT_DOUBLE_EQ(retryDelay(500, o).count(), 1.5 * 1048576.0);
  EXPECT_DOUBLE_EQ(retryDelay(20, o).count(), 1.5 * 524288.0);
}

}  // namespace
}  // namespace kv
