#pragma once
// A runner for the sync coordinator that the test drives: each call waits
// until the test ends it with a summary, a failure with a situation, or a
// failure without one.
//
// When the run's task is cancelled, the call ends with CancelledError, at
// once or, with `setSlowWindDown(true)`, only when the test calls
// `finishWindDown()` (a runner that takes its time to stop). The runner
// closure shares the script's state, so it may outlive the ScriptedRunner.
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <vector>

#include "core/RunOutcome.h"
#include "core/Situation.h"
#include "scheduler/SyncCoordinator.h"

namespace kv::test {

// An error that puts the user in a situation.
class SituationError : public std::runtime_error, public SituationConvertible {
 public:
  explicit SituationError(Situation situation)
      : std::runtime_error("run failed: " + std::string(storedString(situation))), situation_(situation) {}
  Situation situation() const override { return situation_; }
  std::string detail() const override { return what(); }

 private:
  Situation situation_;
};

class ScriptedRunner {
 public:
  ScriptedRunner();

  SyncCoordinator::Runner runner() const;

  // End the call in progress (false when there is none).
  bool succeed(RunOutcome outcome = RunOutcome::complete);
  bool fail(Situation situation);
  bool failWithoutSituation();

  void setSlowWindDown(bool slow);
  // Lets every cancelled call that is winding down return.
  void finishWindDown();

  // Calls that started and have not returned yet.
  int active() const;
  int maxActive() const;
  // The trigger of the call in progress, if any (also one winding down).
  std::optional<RunTrigger> current() const;
  // True when the call in progress has seen its cancellation.
  bool currentCancelled() const;
  // The triggers of every call so far, in order.
  std::vector<RunTrigger> triggers() const;
  int cancellations() const;

 private:
  struct State;
  std::shared_ptr<State> s_;
};

}  // namespace kv::test
