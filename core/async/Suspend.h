#pragma once
// The one low-level primitive the rest of the toolkit is made of: suspend the
// calling coroutine and hand out a `Resume` function that continues it, on its
// own executor, from any thread. Not meant for use outside core/async.
#include <atomic>
#include <functional>
#include <memory>
#include <optional>

#include "core/async/Async.h"

namespace kv::detail {

// Continues a suspended coroutine. Copyable, callable from any thread; only the
// first call has an effect.
using Resume = std::function<void()>;

template <class Handler>
Resume makeResume(Handler handler, asio::cancellation_slot slot) {
  struct Box {
    std::atomic<bool> fired{false};
    std::optional<Handler> handler;
  };
  auto box = std::make_shared<Box>();
  auto ex = asio::get_associated_executor(handler);
  box->handler.emplace(std::move(handler));
  return [box, ex, slot]() mutable {
    if (box->fired.exchange(true)) return;
    asio::post(ex, [box, slot]() mutable {
      // The slot belongs to the suspended task and is only touched on its
      // executor, like the signal that drives it.
      if (slot.is_connected()) slot.clear();
      auto h = std::move(*box->handler);
      box->handler.reset();
      std::move(h)();
    });
  };
}

// Suspends; `arm(resume)` runs at once and must arrange for `resume` to be
// called eventually. Cancellation of the calling task does not interrupt it.
template <class Arm>
Async<void> suspend(Arm arm) {
  co_await asio::async_initiate<const asio::use_awaitable_t<>, void()>(
      [&arm](auto handler) { arm(makeResume(std::move(handler), asio::cancellation_slot())); },
      asio::use_awaitable);
}

// Like `suspend`, but when the calling task is cancelled while suspended (or
// already was), `onCancel()` runs on the task's executor. It usually arranges
// for `resume` to be called soon; the suspension still ends only through it.
template <class Arm, class OnCancel>
Async<void> suspendCancellable(Arm arm, OnCancel onCancel) {
  const bool alreadyCancelled = co_await isCancelled();
  co_await asio::async_initiate<const asio::use_awaitable_t<>, void()>(
      [&arm, &onCancel, alreadyCancelled](auto handler) {
        auto slot = asio::get_associated_cancellation_slot(handler);
        if (slot.is_connected() && !alreadyCancelled) {
          slot.assign([onCancel](asio::cancellation_type) mutable { onCancel(); });
        }
        arm(makeResume(std::move(handler), slot));
        if (alreadyCancelled) onCancel();
      },
      asio::use_awaitable);
}

}  // namespace kv::detail
