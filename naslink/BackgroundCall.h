#pragma once
// Runs a blocking call (a directory listing, an unmount, a folder creation
// on a share that may hang) on a thread of its own, so that a hung file
// system never blocks the caller's executor, and awaits its result.
//
// The call may outlive the awaiting task (when a deadline gives up on it), so
// it must own what it touches. An exception thrown by the call is rethrown to
// the awaiter. The awaiter's cancellation does not interrupt the wait.
#include <atomic>
#include <memory>
#include <thread>
#include <type_traits>

#include "core/async/OneShot.h"

namespace kv {

namespace detail {
inline std::atomic<int> backgroundCallsRunning{0};
}

// How many background calls have not yet ended (their captures released).
// Code that tears down the executor they resume on (a test's event loop)
// waits for zero first.
inline int backgroundCallsRunning() { return detail::backgroundCallsRunning.load(); }

template <class F>
auto onBackgroundThread(F call) -> Async<std::invoke_result_t<F&>> {
  using R = std::invoke_result_t<F&>;
  using Stored = std::conditional_t<std::is_void_v<R>, bool, R>;
  auto shot = std::make_shared<OneShot<Stored>>();
  ++detail::backgroundCallsRunning;
  std::thread([shot, call = std::move(call)]() mutable {
    {
      // Moved into this scope so that they are released before the count drops.
      auto s = std::move(shot);
      auto c = std::move(call);
      try {
        if constexpr (std::is_void_v<R>) {
          c();
          s->resume(true);
        } else {
          s->resume(c());
        }
      } catch (...) {
        s->fail(std::current_exception());
      }
    }
    --detail::backgroundCallsRunning;
  }).detach();
  if constexpr (std::is_void_v<R>) {
    co_await shot->wait();
  } else {
    co_return co_await shot->wait();
  }
}

}  // namespace kv
