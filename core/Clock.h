#pragma once
// The clock every timing rule reads.
//
// `now` is the wall-clock date. `sleep` suspends the calling task for a
// duration and throws CancelledError when the task is cancelled (before or
// during the sleep). Implementations are safe for concurrent use.
// Production uses SystemClock; tests use the manual clock of tests/support,
// whose sleeps end only when the test advances time.
#include "core/Date.h"
#include "core/async/Async.h"

namespace kv {

class Clock {
 public:
  virtual ~Clock() = default;
  virtual Date now() const = 0;
  virtual Async<void> sleep(Seconds duration) = 0;
};

// Wall-clock `now`; sleeps on the boot-time monotonic clock (which keeps
// counting while the machine is suspended), measured from the call.
class SystemClock final : public Clock {
 public:
  Date now() const override;
  Async<void> sleep(Seconds duration) override;
};

}  // namespace kv
