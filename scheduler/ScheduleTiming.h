#pragma once
// The pure timing rules: cadence slots and retry back-off.
#include <optional>

#include "core/Date.h"
#include "scheduler/Cadence.h"
#include "scheduler/SchedulerOptions.h"

namespace kv {

// The schedule loop never sleeps longer than this at a time, so a slot that
// passed while the machine slept is noticed soon after waking.
inline constexpr Seconds kScheduleTickLimit{300.0};
// A slot closer than this to the present counts as come.
inline constexpr Seconds kSlotTolerance{0.001};

// The first cadence slot strictly after `after`, counted in the options' time
// zone: `hourly` the next top of an hour (minute 0, second 0), `daily` the next
// `dailyHour`:00:00; none for `manual`. A wall-clock time that a daylight-saving
// gap skips is replaced by the first existing time after the gap; one that
// occurs twice counts only at its first occurrence.
std::optional<Date> nextScheduledDate(Cadence cadence, const SchedulerOptions& options, Date after);

// The delay before the automatic retry that follows the n-th consecutive
// failure (n >= 1; smaller n count as 1): retryFloor * 2^(n-1), the exponent
// clamped to 20, and never more than retryCap.
Seconds retryDelay(int consecutiveFailures, const SchedulerOptions& options);

}  // namespace kv
