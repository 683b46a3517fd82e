#pragma once
// ResultInbox<T>: results that child tasks hand back to one consumer (the
// engine's strand), in the order they arrive.
//
// Unlike a stream, the results survive the consumer's cancellation: `put`
// always keeps the value, and after a cancelled `wait` the consumer can
// still `take` whatever arrived (or arrives later), once it knows the
// producers have ended. Thread-safe.
#include <deque>
#include <mutex>
#include <optional>

#include "core/async/Async.h"
#include "core/async/Stream.h"

namespace kv {

template <class T>
class ResultInbox {
 public:
  // Producer: keeps `value` and wakes the consumer.
  void put(T value) {
    {
      std::lock_guard lock(mutex_);
      items_.push_back(std::move(value));
    }
    wake_.yield(true);
  }

  // Consumer: the oldest result not taken yet.
  std::optional<T> take() {
    std::lock_guard lock(mutex_);
    if (items_.empty()) return std::nullopt;
    T value = std::move(items_.front());
    items_.pop_front();
    return value;
  }

  // Consumer: returns when a result may be there (it may also return when
  // none is: take again). Throws CancelledError when the consuming task is
  // cancelled, then and at every later call; results are still kept.
  Async<void> wait() {
    {
      std::lock_guard lock(mutex_);
      if (!items_.empty()) co_return;
    }
    (void)co_await wake_.next();
  }

 private:
  std::mutex mutex_;
  std::deque<T> items_;  // guarded by mutex_
  AsyncStream<bool> wake_{StreamBuffering::newestOnly};
};

}  // namespace kv
