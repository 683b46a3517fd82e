#include "tests/support/scheduler/ScriptedRunner.h"

#include <variant>

#include "core/async/OneShot.h"
#include "core/async/Stream.h"

namespace kv::test {
namespace {

struct PlainFailure {};
using Ending = std::variant<RunOutcome, Situation, PlainFailure>;

struct Call {
  RunTrigger trigger;
  AsyncStream<Ending> control;
  std::shared_ptr<OneShot<bool>> windDown = std::make_shared<OneShot<bool>>();
  bool cancelled = false;
  bool finished = false;
};

}  // namespace

struct ScriptedRunner::State {
  mutable std::mutex mu;
  std::vector<std::shared_ptr<Call>> calls;
  int active = 0;
  int maxActive = 0;
  int cancellations = 0;
  bool slowWindDown = false;

  std::shared_ptr<Call> currentCall() const {
    for (auto it = calls.rbegin(); it != calls.rend(); ++it) {
      if (!(*it)->finished) return *it;
    }
    return nullptr;
  }
};

ScriptedRunner::ScriptedRunner() : s_(std::make_shared<State>()) {}

SyncCoordinator::Runner ScriptedRunner::runner() const {
  auto st = s_;
  return [st](RunTrigger trigger) -> Async<RunSummary> {
    auto call = std::make_shared<Call>();
    call->trigger = trigger;
    {
      std::lock_guard lk(st->mu);
      st->calls.push_back(call);
      st->maxActive = std::max(st->maxActive, ++st->active);
    }
    std::optional<Ending> ending;
    bool cancelled = false;
    try {
      ending = co_await call->control.next();
    } catch (...) {
      cancelled = true;
    }
    if (cancelled) {
      bool slow = false;
      {
        std::lock_guard lk(st->mu);
        call->cancelled = true;
        ++st->cancellations;
        slow = st->slowWindDown;
      }
      if (slow) co_await call->windDown->wait();
    }
    {
      std::lock_guard lk(st->mu);
      call->finished = true;
      --st->active;
    }
    if (cancelled || !ending) throw CancelledError();
    if (auto* outcome = std::get_if<RunOutcome>(&*ending)) {
      RunSummary summary;
      summary.trigger = trigger;
      summary.outcome = *outcome;
      co_return summary;
    }
    if (auto* situation = std::get_if<Situation>(&*ending)) throw SituationError(*situation);
    throw std::runtime_error("run failed without a situation");
  };
}

namespace {
// The call in progress, unless it has already seen its cancellation.
std::shared_ptr<Call> endable(const std::shared_ptr<Call>& call) {
  return call && !call->cancelled ? call : nullptr;
}
bool endCurrent(const std::shared_ptr<Call>& call, Ending ending) { return call && call->control.yield(ending); }
}  // namespace

bool ScriptedRunner::succeed(RunOutcome outcome) {
  std::shared_ptr<Call> call;
  {
    std::lock_guard lk(s_->mu);
    call = endable(s_->currentCall());
  }
  return endCurrent(call, outcome);
}

bool ScriptedRunner::fail(Situation situation) {
  std::shared_ptr<Call> call;
  {
    std::lock_guard lk(s_->mu);
    call = endable(s_->currentCall());
  }
  return endCurrent(call, situation);
}

bool ScriptedRunner::failWithoutSituation() {
  std::shared_ptr<Call> call;
  {
    std::lock_guard lk(s_->mu);
    call = endable(s_->currentCall());
  }
  return endCurrent(call, PlainFailure{});
}

void ScriptedRunner::setSlowWindDown(bool slow) {
  std::lock_guard lk(s_->mu);
  s_->slowWindDown = slow;
}

void ScriptedRunner::finishWindDown() {
  std::vector<std::shared_ptr<Call>> calls;
  {
    std::lock_guard lk(s_->mu);
    calls = s_->calls;
  }
  for (auto& c : calls) c->windDown->resume(true);
}

int ScriptedRunner::active() const {
  std::lock_guard lk(s_->mu);
  return s_->active;
}

int ScriptedRunner::maxActive() const {
  std::lock_guard lk(s_->mu);
  return s_->maxActive;
}

std::optional<RunTrigger> ScriptedRunner::current() const {
  std::lock_guard lk(s_->mu);
  auto call = s_->currentCall();
  if (!call) return std::nullopt;
  return call->trigger;
}

bool ScriptedRunner::currentCancelled() const {
  std::lock_guard lk(s_->mu);
  auto call = s_->currentCall();
  return call && call->cancelled;
}

std::vector<RunTrigger> ScriptedRunner::triggers() const {
  std::lock_guard lk(s_->mu);
  std::vector<RunTrigger> out;
  for (const auto& c : s_->calls) out.push_back(c->trigger);
  return out;
}

int ScriptedRunner::cancellations() const {
  std::lock_guard lk(s_->mu);
  return s_->cancellations;
}

}  // namespace kv::test
