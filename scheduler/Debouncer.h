#pragma once
// Trailing-edge debouncing of value-less events: a burst of events yields one
// event, `interval` after the last event of the burst.
//
// `debounce` starts a forwarding task on `executor` that reads `input` and
// returns the output stream, which keeps only the newest undelivered event.
// When the input ends, a pending trailing event still goes out, then the
// output ends. When the consumer ends the output, forwarding stops (the
// pending event is dropped and the input is ended too).
#include <memory>

#include "core/Clock.h"
#include "core/async/Async.h"
#include "scheduler/Signal.h"

namespace kv {

class Debouncer {
 public:
  Debouncer(Seconds interval, std::shared_ptr<Clock> clock) : interval_(interval), clock_(std::move(clock)) {}

  Seconds interval() const { return interval_; }

  SignalStream debounce(const Executor& executor, SignalStream input) const;

 private:
  Seconds interval_;
  std::shared_ptr<Clock> clock_;
};

}  // namespace kv
