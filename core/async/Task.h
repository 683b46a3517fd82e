#pragma once
// Task<T>: a coroutine spawned in the background with its own cancellation.
//
// - `spawn` never runs the body inline: it starts on the task's strand after
//   the caller's current step, so the caller can store the handle first
//   (single-flight fields rely on this).
// - The body runs on a strand of the given executor (a fresh strand wrapping
//   it, so a plain thread pool is fine and a strand stays serial).
// - `cancel()` is thread-safe and idempotent; the body notices it as described
//   in Async.h.
// - `value()` may be awaited by any number of tasks; each gets a copy of the
//   result or the error. Awaiting does not cancel the task when the awaiter is
//   cancelled (use `valuePropagatingCancel()` for that).
#include <mutex>
#include <optional>
#include <type_traits>
#include <utility>
#include <variant>
#include <vector>

#include "core/async/Async.h"
#include "core/async/Suspend.h"

namespace kv {

namespace detail {

template <class T>
struct TaskState {
  using Stored = std::conditional_t<std::is_void_v<T>, std::monostate, T>;

  explicit TaskState(const Executor& ex) : strand(asio::make_strand(ex)) {}

  Strand strand;
  asio::cancellation_signal signal;  // touched only on `strand`
  std::atomic<bool> cancelRequested{false};

  std::mutex mu;
  bool done = false;
  std::optional<Stored> value;
  std::exception_ptr error;
  std::vector<Resume> waiters;

  void finish(std::optional<Stored> v, std::exception_ptr e) {
    std::vector<Resume> ws;
    {
      std::lock_guard lk(mu);
      value = std::move(v);
      error = e;
      done = true;
      ws.swap(waiters);
    }
    for (auto& w : ws) w();
  }

  // Valid once done.
  T get() {
    std::lock_guard lk(mu);
    if (error) std::rethrow_exception(error);
    if constexpr (!std::is_void_v<T>) return *value;
  }
};

}  // namespace detail

template <class T = void>
class Task {
 public:
  Task() = default;

  // `body` is a callable returning Async<T>; it is kept alive until the task ends.
  template <class F>
  static Task spawn(const Executor& ex, F body) {
    auto st = std::make_shared<detail::TaskState<T>>(ex);
    asio::post(st->strand, [st, body = std::move(body)]() mutable {
      asio::co_spawn(
          st->strand,
          [st, body = std::move(body)]() mutable -> Async<void> {
            co_await asio::this_coro::throw_if_cancelled(false);
            try {
              if constexpr (std::is_void_v<T>) {
                co_await body();
                st->finish(std::monostate{}, nullptr);
              } else {
                st->finish(co_await body(), nullptr);
              }
            } catch (...) {
              st->finish(std::nullopt, std::current_exception());
            }
          },
          asio::bind_cancellation_slot(st->signal.slot(), asio::detached));
    });
    return Task(std::move(st));
  }

  // Asks the task to stop. Thread-safe; no effect on a finished task.
  void cancel() const {
    if (!s_) return;
    if (s_->cancelRequested.exchange(true)) return;
    asio::post(s_->strand, [st = s_] { st->signal.emit(asio::cancellation_type::terminal); });
  }

  bool isCancelled() const { return s_ && s_->cancelRequested.load(); }

  bool isFinished() const {
    if (!s_) return false;
    std::lock_guard lk(s_->mu);
    return s_->done;
  }

  // The result of a finished task (rethrows its error). Only valid once
  // `isFinished()`; for tests and for code that already knows.
  T get() const { return s_->get(); }

  // Waits for the task and returns its result or rethrows its error.
  Async<T> value() const {
    auto st = s_;
    co_await detail::suspend([st](detail::Resume resume) {
      std::unique_lock lk(st->mu);
      if (st->done) {
        lk.unlock();
        resume();
      } else {
        st->waiters.push_back(std::move(resume));
      }
    });
    co_return st->get();
  }

  // Like `value()`, but a cancellation of the awaiting task is passed on to
  // this task (which then ends as it sees fit; its result is still awaited).
  Async<T> valuePropagatingCancel() const {
    auto st = s_;
    Task self = *this;
    co_await detail::suspendCancellable(
        [st](detail::Resume resume) {
          std::unique_lock lk(st->mu);
          if (st->done) {
            lk.unlock();
            resume();
          } else {
            st->waiters.push_back(std::move(resume));
          }
        },
        [self] { self.cancel(); });
    co_return st->get();
  }

  explicit operator bool() const { return s_ != nullptr; }
  bool operator==(const Task& o) const { return s_ == o.s_; }

 private:
  explicit Task(std::shared_ptr<detail::TaskState<T>> s) : s_(std::move(s)) {}
  std::shared_ptr<detail::TaskState<T>> s_;
};

// Runs `body` on `strand` as its own task and waits for it there; the caller's
// cancellation is passed on. This is how a call from outside hops onto an
// object's strand and back.
template <class F>
auto onStrand(const Executor& strand, F body) -> decltype(body()) {
  using R = typename decltype(body())::value_type;
  co_return co_await Task<R>::spawn(strand, std::move(body)).valuePropagatingCancel();
}

// Runs `body` in a fresh task that the caller's cancellation does not reach,
// and waits for it. For cleanup that must finish after a cancellation.
template <class F>
auto uncancellable(const Executor& ex, F body) -> decltype(body()) {
  using R = typename decltype(body())::value_type;
  co_return co_await Task<R>::spawn(ex, std::move(body)).value();
}

}  // namespace kv
