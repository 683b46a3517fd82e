#pragma once
// OneShot<T>: a slot that is resolved at most once, by whichever of several
// racing parties comes first, and awaited by one waiter.
//
// `resume` (or `fail`) may be called from any thread; the first call wins and
// returns true, later calls have no effect and return false. The value may
// arrive before or after the waiter starts waiting.
#include <mutex>
#include <optional>

#include "core/async/Async.h"
#include "core/async/Suspend.h"

namespace kv {

template <class T>
class OneShot {
 public:
  bool resume(T value) { return settle(std::move(value), nullptr); }
  bool fail(std::exception_ptr error) { return settle(std::nullopt, error); }

  bool isResolved() const {
    std::lock_guard lk(mu_);
    return resolved_;
  }

  // Waits for the first value (rethrows the first error). Await once.
  Async<T> wait() {
    co_await detail::suspend([this](detail::Resume resume) {
      std::unique_lock lk(mu_);
      if (resolved_) {
        lk.unlock();
        resume();
      } else {
        waiter_ = std::move(resume);
      }
    });
    std::lock_guard lk(mu_);
    if (error_) std::rethrow_exception(error_);
    co_return std::move(*value_);
  }

 private:
  bool settle(std::optional<T> value, std::exception_ptr error) {
    std::optional<detail::Resume> waiter;
    {
      std::lock_guard lk(mu_);
      if (resolved_) return false;
      resolved_ = true;
      value_ = std::move(value);
      error_ = error;
      waiter.swap(waiter_);
    }
    if (waiter) (*waiter)();
    return true;
  }

  mutable std::mutex mu_;
  bool resolved_ = false;
  std::optional<T> value_;
  std::exception_ptr error_;
  std::optional<detail::Resume> waiter_;
};

}  // namespace kv
