#pragma once
// Runs a blocking call (a directory listing, an unmount, a folder creation
// on a share that may hang) on a thread of its own, so that a hung file
// system never blocks the caller's executor, and awaits its result.
//
// The call may outlive the awaiting task (when a deadline gives up on it), so
// it must own what it touches. An exception thrown by the call is rethrown to
// the awaiter. The awaiter's cancellation does not interrupt the wait.
#include <memory>
#include <thread>
#include <type_traits>

#include "core/async/OneShot.h"

namespace kv {

template <class F>
auto onBackgroundThread(F call) -> Async<std::invoke_result_t<F&>> {
  using R = std::invoke_result_t<F&>;
  using Stored = std::conditional_t<std::is_void_v<R>, bool, R>;
  auto shot = std::make_shared<OneShot<Stored>>();
  std::thread([shot, call = std::move(call)]() mutable {
    try {
      if constexpr (std::is_void_v<R>) {
        call();
        shot->resume(true);
      } else {
        shot->resume(call());
      }
    } catch (...) {
      shot->fail(std::current_exception());
    }
  }).detach();
  if constexpr (std::is_void_v<R>) {
    co_await shot->wait();
  } else {
    co_return co_await shot->wait();
  }
}

}  // namespace kv
