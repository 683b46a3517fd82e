#pragma once
// TestLoop: a single-threaded event loop for tests.
//
// Everything the test spawns on `executor()` runs only while the test polls,
// so a test decides exactly when tasks make progress. Work that other threads
// post back (a real socket, a subprocess, a thread pool) is picked up by
// `run`/`runUntil`, which wait in small steps up to a time limit.
#include <chrono>
#include <functional>
#include <stdexcept>

#include "core/async/Task.h"

namespace kv::test {

class TestLoop {
 public:
  Executor executor() { return ctx_.get_executor(); }
  asio::io_context& context() { return ctx_; }

  // Runs every handler that is ready now, and those they make ready, until
  // none is left. Returns the number run.
  std::size_t poll();

  // Polls until `done()` is true; throws std::runtime_error after `limit`.
  void runUntil(const std::function<bool()>& done,
                std::chrono::milliseconds limit = std::chrono::seconds(20));

  // Spawns `body` as a task on this loop and runs the loop until it ends;
  // returns its value or rethrows its error.
  template <class F>
  auto run(F body, std::chrono::milliseconds limit = std::chrono::seconds(20)) {
    using R = typename decltype(body())::value_type;
    auto task = Task<R>::spawn(executor(), std::move(body));
    runUntil([&] { return task.isFinished(); }, limit);
    return task.get();
  }

  // A drain function for ManualClock::advance.
  std::function<void()> drainer() {
    return [this] { poll(); };
  }

 private:
  asio::io_context ctx_;
};

}  // namespace kv::test
