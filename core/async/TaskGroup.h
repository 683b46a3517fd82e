#pragma once
// TaskGroup: child tasks that a parent starts and then waits for together.
//
// - The first child that fails with an error other than a cancellation
//   cancels all the others; `wait()` rethrows that error once every child has
//   ended.
// - When the waiting parent is cancelled, every child is cancelled; `wait()`
//   still waits for all of them to end and then throws CancelledError.
// - Children may be added while others run (and from inside a child).
#include <mutex>
#include <optional>
#include <vector>

#include "core/async/Task.h"

namespace kv {

class TaskGroup {
 public:
  explicit TaskGroup(Executor ex) : s_(std::make_shared<State>()) { s_->ex = std::move(ex); }

  // `body` is a callable returning Async<void>.
  template <class F>
  void spawn(F body) {
    auto st = s_;
    {
      std::lock_guard lk(st->mu);
      ++st->running;
    }
    auto task = Task<void>::spawn(st->ex, [st, body = std::move(body)]() mutable -> Async<void> {
      std::exception_ptr error;
      try {
        co_await body();
      } catch (...) {
        error = std::current_exception();
      }
      childEnded(st, error);
    });
    bool cancelNow = false;
    {
      std::lock_guard lk(st->mu);
      st->children.push_back(task);
      cancelNow = st->cancelled;
    }
    if (cancelNow) task.cancel();
  }

  // Cancels every child (running ones and ones added later).
  void cancelAll() const { cancelAll(s_); }

  // Waits for all children; see the class comment for errors.
  Async<void> wait() const {
    auto st = s_;
    bool parentCancelled = false;
    co_await detail::suspendCancellable(
        [st](detail::Resume resume) {
          std::unique_lock lk(st->mu);
          if (st->running == 0) {
            lk.unlock();
            resume();
          } else {
            st->waiter = std::move(resume);
          }
        },
        [st, &parentCancelled] {
          parentCancelled = true;
          cancelAll(st);
        });
    std::exception_ptr error;
    {
      std::lock_guard lk(st->mu);
      error = st->firstError;
      st->children.clear();
    }
    if (error) std::rethrow_exception(error);
    if (parentCancelled) throw CancelledError();
  }

 private:
  struct State {
    Executor ex;
    std::mutex mu;
    int running = 0;
    bool cancelled = false;
    std::exception_ptr firstError;
    std::vector<Task<void>> children;
    std::optional<detail::Resume> waiter;
  };

  static void cancelAll(const std::shared_ptr<State>& st) {
    std::vector<Task<void>> children;
    {
      std::lock_guard lk(st->mu);
      st->cancelled = true;
      children = st->children;
    }
    for (auto& c : children) c.cancel();
  }

  static void childEnded(const std::shared_ptr<State>& st, std::exception_ptr error) {
    bool cancelOthers = false;
    std::optional<detail::Resume> waiter;
    {
      std::lock_guard lk(st->mu);
      if (error && !isCancellation(error) && !st->firstError) {
        st->firstError = error;
        cancelOthers = true;
      }
      if (--st->running == 0) waiter.swap(st->waiter);
    }
    if (cancelOthers) cancelAll(st);
    if (waiter) (*waiter)();
  }

  std::shared_ptr<State> s_;
};

}  // namespace kv
