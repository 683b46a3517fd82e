#include "tests/support/TestLoop.h"

#include <thread>

namespace kv::test {

std::size_t TestLoop::poll() {
  std::size_t total = 0;
  for (;;) {
    ctx_.restart();
    const std::size_t n = ctx_.poll();
    total += n;
    if (n == 0) return total;
  }
}

void TestLoop::runUntil(const std::function<bool()>& done, std::chrono::milliseconds limit) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  for (;;) {
    poll();
    if (done()) return;
    if (std::chrono::steady_clock::now() >= deadline) {
      throw std::runtime_error("TestLoop: the awaited work did not finish in time");
    }
    ctx_.restart();
    if (ctx_.run_one_for(std::chrono::milliseconds(2)) == 0) {
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
  }
}

}  // namespace kv::test
