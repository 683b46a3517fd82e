#include "scheduler/Debouncer.h"

#include <atomic>
#include <optional>

#include "core/async/Task.h"

namespace kv {

SignalStream Debouncer::debounce(const Executor& executor, SignalStream input) const {
  SignalStream output(StreamBuffering::newestOnly);
  auto forwarding = Task<void>::spawn(
      executor, [executor, input, output, interval = interval_, clock = clock_]() -> Async<void> {
        struct Timer {
          Task<void> task;
          // Set before the timer is cancelled, so that a timer whose sleep has
          // just ended but which has not yet seen the cancellation stays quiet.
          std::shared_ptr<std::atomic<bool>> superseded;
          void cancel() const {
            superseded->store(true);
            task.cancel();
          }
        };
        std::optional<Timer> timer;
        for (;;) {
          std::optional<Signal> event;
          try {
            event = co_await input.next();
          } catch (...) {
            // Cancelled while waiting (the consumer went away), or the input
            // ended with an error: both end the input here.
            event.reset();
          }
          if (!event) break;
          if (timer) timer->cancel();
          auto superseded = std::make_shared<std::atomic<bool>>(false);
          auto task = Task<void>::spawn(executor, [output, interval, clock, superseded]() -> Async<void> {
            try {
              co_await clock->sleep(interval);
            } catch (...) {
              co_return;
            }
            if (superseded->load()) co_return;
            const bool cancelled = co_await isCancelled();
            if (!cancelled) output.yield(Signal{});
          });
          timer = Timer{task, superseded};
        }
        if (timer) {
          const bool cancelled = co_await isCancelled();
          if (cancelled) timer->cancel();
          try {
            co_await timer->task.value();
          } catch (...) {
          }
        }
        output.finish();
      });
  output.onTermination([forwarding] { forwarding.cancel(); });
  return output;
}

}  // namespace kv
