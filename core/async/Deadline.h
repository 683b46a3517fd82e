#pragma once
// withDeadline: race an operation against a time limit.
//
// Returns the operation's value, or `fallback` when `limit` passes first; in
// that case the operation's task is cancelled (and left to end on its own).
// The first result wins; a later one is ignored. An error thrown by the
// operation before the deadline is rethrown.
//
// The operation runs in its own task and may outlive the call when the
// deadline wins, so it must own everything it touches: capture by value or by
// shared_ptr, never references to the caller's locals.
// The caller's own cancellation does not interrupt the wait: it is bounded by
// `limit` anyway.
#include <memory>

#include "core/Clock.h"
#include "core/async/OneShot.h"
#include "core/async/Task.h"

namespace kv {

template <class T, class Op>
Async<T> withDeadline(std::shared_ptr<Clock> clock, Seconds limit, T fallback, Op operation) {
  auto ex = co_await asio::this_coro::executor;
  auto shot = std::make_shared<OneShot<T>>();
  auto opTask = Task<void>::spawn(ex, [shot, operation = std::move(operation)]() mutable -> Async<void> {
    try {
      shot->resume(co_await operation());
    } catch (...) {
      shot->fail(std::current_exception());
    }
  });
  auto timer = Task<void>::spawn(ex, [shot, clock, limit, fallback, opTask]() mutable -> Async<void> {
    try {
      co_await clock->sleep(limit);
    } catch (...) {
      co_return;  // the operation won and cancelled us
    }
    if (shot->resume(std::move(fallback))) opTask.cancel();
  });
  std::optional<T> result;
  std::exception_ptr error;
  try {
    result.emplace(co_await shot->wait());
  } catch (...) {
    error = std::current_exception();
  }
  // When the operation won, the timer's resume would be ignored; end it now
  // rather than keep a timer alive for nothing.
  timer.cancel();
  if (error) std::rethrow_exception(error);
  co_return std::move(*result);
}

// For operations without a value: true when the operation finished in time.
template <class Op>
Async<bool> withDeadline(std::shared_ptr<Clock> clock, Seconds limit, Op operation) {
  co_return co_await withDeadline<bool>(std::move(clock), limit, false,
                                        [operation = std::move(operation)]() mutable -> Async<bool> {
                                          co_await operation();
                                          co_return true;
                                        });
}

}  // namespace kv
