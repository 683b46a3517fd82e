#pragma once
// AsyncStream<T>: a stream of values from any number of producers to one
// consumer.
//
// Buffering: `unbounded` keeps every value; `newestOnly` keeps only the latest
// value not yet taken (older ones are dropped), for observers that only care
// about the current state.
//
// Either side can end it: the producer with `finish()` (optionally with an
// error that the consumer receives after the buffered values), the consumer
// with `cancel()`. After either, `yield` returns false and the termination
// handlers run once (on the thread that ended it), so a producer can release
// what it holds for the stream. All operations are thread-safe; the handle is
// shared, copies refer to the same stream.
#include <deque>
#include <functional>
#include <mutex>
#include <optional>
#include <vector>

#include "core/async/Async.h"
#include "core/async/Suspend.h"

namespace kv {

enum class StreamBuffering { unbounded, newestOnly };

template <class T>
class AsyncStream {
 public:
  explicit AsyncStream(StreamBuffering buffering = StreamBuffering::unbounded)
      : s_(std::make_shared<State>()) {
    s_->buffering = buffering;
  }

  // Producer: adds a value. False when the stream has ended (nothing added).
  bool yield(T value) const {
    std::optional<detail::Resume> waiter;
    {
      std::lock_guard lk(s_->mu);
      if (s_->terminated) return false;
      if (s_->buffering == StreamBuffering::newestOnly) s_->items.clear();
      s_->items.push_back(std::move(value));
      waiter.swap(s_->waiter);
    }
    if (waiter) (*waiter)();
    return true;
  }

  // Producer: ends the stream. The consumer still receives what is buffered,
  // then the error (if any), then the end.
  void finish(std::exception_ptr error = nullptr) const { terminate(error, false); }

  // Consumer: ends the stream and drops what is buffered.
  void cancel() const { terminate(nullptr, true); }

  bool isTerminated() const {
    std::lock_guard lk(s_->mu);
    return s_->terminated;
  }

  // Runs `handler` once when the stream ends (at once if it already has).
  void onTermination(std::function<void()> handler) const {
    {
      std::lock_guard lk(s_->mu);
      if (!s_->terminated) {
        s_->onTermination.push_back(std::move(handler));
        return;
      }
    }
    handler();
  }

  // Consumer: the next value, or nullopt at the end. Rethrows the error the
  // producer finished with. If the consuming task is cancelled while waiting,
  // the stream is cancelled and CancelledError is thrown.
  Async<std::optional<T>> next() const {
    auto st = s_;
    for (;;) {
      {
        std::lock_guard lk(st->mu);
        if (!st->items.empty()) {
          T v = std::move(st->items.front());
          st->items.pop_front();
          co_return std::optional<T>(std::move(v));
        }
        if (st->cancelledByTask) throw CancelledError();
        if (st->terminated) {
          if (st->consumerCancelled) co_return std::nullopt;
          if (auto e = std::exchange(st->error, nullptr)) std::rethrow_exception(e);
          co_return std::nullopt;
        }
      }
      co_await detail::suspendCancellable(
          [st](detail::Resume resume) {
            std::unique_lock lk(st->mu);
            if (!st->items.empty() || st->terminated) {
              lk.unlock();
              resume();
            } else {
              st->waiter = std::move(resume);
            }
          },
          [self = *this] {
            {
              std::lock_guard lk(self.s_->mu);
              self.s_->cancelledByTask = true;
            }
            self.cancel();
          });
    }
  }

 private:
  struct State {
    std::mutex mu;
    StreamBuffering buffering = StreamBuffering::unbounded;
    std::deque<T> items;
    bool terminated = false;
    bool consumerCancelled = false;
    bool cancelledByTask = false;
    std::exception_ptr error;
    std::optional<detail::Resume> waiter;
    std::vector<std::function<void()>> onTermination;
  };

  void terminate(std::exception_ptr error, bool byConsumer) const {
    std::optional<detail::Resume> waiter;
    std::vector<std::function<void()>> handlers;
    {
      std::lock_guard lk(s_->mu);
      if (s_->terminated) return;
      s_->terminated = true;
      s_->error = error;
      if (byConsumer) {
        s_->consumerCancelled = true;
        s_->items.clear();
      }
      waiter.swap(s_->waiter);
      handlers.swap(s_->onTermination);
    }
    if (waiter) (*waiter)();
    for (auto& h : handlers) h();
  }

  std::shared_ptr<State> s_;
};

}  // namespace kv
