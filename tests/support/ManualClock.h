#pragma once
// A clock that the test moves by hand.
//
// `sleep` suspends until the test advances time past the sleeper's deadline;
// nothing happens on its own, so every timing rule can be checked exactly and
// instantly. A zero or negative sleep resumes at once. A cancelled sleeper
// throws CancelledError (before or during the sleep).
#include <functional>
#include <map>
#include <mutex>
#include <optional>

#include "core/Clock.h"
#include "core/async/Suspend.h"

namespace kv::test {

class ManualClock final : public Clock {
 public:
  explicit ManualClock(Date start = fromUnixSeconds(1'700'000'000.0)) : now_(start) {}

  Date now() const override;
  Async<void> sleep(Seconds duration) override;

  // Moves time forward by `by`, waking sleepers in deadline order. `drain` runs
  // after each group of wake-ups (and once at the end) so that woken tasks can
  // run, and sleep again, before later deadlines are reached. It is usually
  // the test loop's `poll`.
  void advance(Seconds by, const std::function<void()>& drain);
  // Sets the time, for the start of a test. Wakes nobody.
  void set(Date d);

  std::size_t sleeperCount() const;
  std::optional<Date> nextDeadline() const;

 private:
  struct Sleeper {
    detail::Resume resume;
    std::shared_ptr<bool> cancelled;
  };

  mutable std::mutex mu_;
  Date now_;
  std::uint64_t nextSeq_ = 0;
  // (deadline, sequence) → sleeper; sequence keeps equal deadlines in order.
  std::map<std::pair<Date, std::uint64_t>, Sleeper> sleepers_;
};

}  // namespace kv::test
