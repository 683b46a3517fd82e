#include "scheduler/LaunchCatchUp.h"

#include <time.h>

#include "scheduler/SchedulerTexts.h"

namespace kv {

std::optional<Date> lastSyncRunEnd(std::span<const RunSummary> runs) {
  std::optional<Date> latest;
  for (const auto& run : runs) {
    if (run.trigger == RunTrigger::verify) continue;
    if (!latest || run.endedAt > *latest) latest = run.endedAt;
  }
  return latest;
}

std::string iso8601(Date date) {
  const auto secs = std::chrono::floor<std::chrono::seconds>(date).time_since_epoch().count();
  const time_t t = static_cast<time_t>(secs);
  tm parts{};
  gmtime_r(&t, &parts);
  char buffer[32];
  strftime(buffer, sizeof buffer, "%Y-%m-%dT%H:%M:%SZ", &parts);
  return buffer;
}

Async<std::optional<Date>> launchCatchUp(SyncCoordinator& coordinator, const Clock& clock,
                                         std::optional<Date> lastSyncEnd,
                                         const std::function<void(std::string_view)>& log) {
  if (!lastSyncEnd) co_return std::nullopt;
  // Absent for the manual cadence.
  const std::optional<Date> due = co_await coordinator.nextScheduledDate(*lastSyncEnd);
  if (!due || *due > clock.now()) co_return std::nullopt;
  if (log) {
    std::string line(SchedulerTexts::catchUpPrefix);
    line += iso8601(*due);
    line += SchedulerTexts::catchUpSuffix;
    log(line);
  }
  co_await coordinator.request(RunTrigger::schedule);
  co_return due;
}

}  // namespace kv
