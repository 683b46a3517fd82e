#include "tests/support/ManualClock.h"

#include <vector>

namespace kv::test {

Date ManualClock::now() const {
  std::lock_guard lk(mu_);
  return now_;
}

void ManualClock::set(Date d) {
  std::lock_guard lk(mu_);
  now_ = d;
}

Async<void> ManualClock::sleep(Seconds duration) {
  co_await checkCancellation();
  auto cancelled = std::make_shared<bool>(false);
  std::pair<Date, std::uint64_t> key;
  bool immediate = false;
  {
    std::lock_guard lk(mu_);
    key = {addSeconds(now_, duration), nextSeq_++};
    immediate = key.first <= now_;
  }
  if (immediate) {
    co_await asio::post(co_await asio::this_coro::executor, asio::use_awaitable);
    co_return;
  }
  co_await detail::suspendCancellable(
      [this, key, cancelled](detail::Resume resume) {
        std::lock_guard lk(mu_);
        sleepers_.emplace(key, Sleeper{std::move(resume), cancelled});
      },
      [this, key, cancelled] {
        detail::Resume resume;
        {
          std::lock_guard lk(mu_);
          auto it = sleepers_.find(key);
          if (it == sleepers_.end()) return;  // already woken by the clock
          *cancelled = true;
          resume = std::move(it->second.resume);
          sleepers_.erase(it);
        }
        resume();
      });
  if (*cancelled) throw CancelledError();
}

void ManualClock::advance(Seconds by, const std::function<void()>& drain) {
  Date target;
  {
    std::lock_guard lk(mu_);
    target = addSeconds(now_, by);
  }
  if (drain) drain();
  for (;;) {
    std::vector<detail::Resume> due;
    {
      std::lock_guard lk(mu_);
      if (sleepers_.empty() || sleepers_.begin()->first.first > target) break;
      const Date deadline = sleepers_.begin()->first.first;
      if (deadline > now_) now_ = deadline;
      while (!sleepers_.empty() && sleepers_.begin()->first.first == deadline) {
        due.push_back(std::move(sleepers_.begin()->second.resume));
        sleepers_.erase(sleepers_.begin());
      }
    }
    for (auto& r : due) r();
    if (drain) drain();
  }
  {
    std::lock_guard lk(mu_);
    if (target > now_) now_ = target;
  }
  if (drain) drain();
}

std::size_t ManualClock::sleeperCount() const {
  std::lock_guard lk(mu_);
  return sleepers_.size();
}

std::optional<Date> ManualClock::nextDeadline() const {
  std::lock_guard lk(mu_);
  if (sleepers_.empty()) return std::nullopt;
  return sleepers_.begin()->first.first;
}

}  // namespace kv::test
