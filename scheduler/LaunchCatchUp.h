#pragma once
// Launch catch-up: at launch, a scheduled sync that came due while the
// application was not running is run once.
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "core/Clock.h"
#include "core/RunSummary.h"
#include "scheduler/SyncCoordinator.h"

namespace kv {

// The end of the latest sync run among `runs`; verification runs do not
// count. None when there is no sync run.
std::optional<Date> lastSyncRunEnd(std::span<const RunSummary> runs);

// "2024-03-10T09:00:00Z" (UTC, whole seconds).
std::string iso8601(Date date);

// Unless the cadence is `manual`: when the first slot after `lastSyncEnd` is
// at or before the clock's now, writes the line
// "catch-up: a scheduled sync was missed (due <slot>); running now" to `log`
// and requests a `schedule` run. Returns the missed slot when it requested
// one. Nothing happens without a last sync run.
Async<std::optional<Date>> launchCatchUp(SyncCoordinator& coordinator, const Clock& clock,
                                         std::optional<Date> lastSyncEnd,
                                         const std::function<void(std::string_view)>& log);

}  // namespace kv
