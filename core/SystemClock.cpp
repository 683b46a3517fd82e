#include <time.h>

#include <system_error>

#include "core/Clock.h"

namespace kv {
namespace {

// CLOCK_BOOTTIME as a std::chrono clock so that an asio timer can wait on it.
struct BootClock {
  using rep = long long;
  using period = std::nano;
  using duration = std::chrono::nanoseconds;
  using time_point = std::chrono::time_point<BootClock>;
  static constexpr bool is_steady = true;
  static time_point now() noexcept {
    timespec ts{};
    clock_gettime(CLOCK_BOOTTIME, &ts);
    return time_point(duration(static_cast<long long>(ts.tv_sec) * 1000000000LL + ts.tv_nsec));
  }
};

using BootTimer = asio::basic_waitable_timer<BootClock>;

}  // namespace

Date SystemClock::now() const {
  return std::chrono::time_point_cast<std::chrono::nanoseconds>(std::chrono::system_clock::now());
}

Async<void> SystemClock::sleep(Seconds duration) {
  co_await checkCancellation();
  BootTimer timer(co_await asio::this_coro::executor);
  timer.expires_after(std::chrono::duration_cast<BootClock::duration>(duration));
  try {
    co_await timer.async_wait(asio::use_awaitable);
  } catch (const std::system_error& e) {
    if (e.code() == asio::error::operation_aborted) throw CancelledError();
    throw;
  }
}

}  // namespace kv
