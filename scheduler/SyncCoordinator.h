#pragma once
// SyncCoordinator: decides when sync runs start, pause, retry and resume, and
// publishes what it is doing.
//
// It owns the one run that may be in flight and turns run triggers into runs:
// it pauses while the user has paused, while Low Power Mode is on and while
// the machine sleeps; it holds a sleep assertion while a run (or an external
// verification run) is active; it retries on its own after failures whose
// situation retries automatically (configuration, NAS reachability, iCloud)
// and waits for the user after the others; it runs scheduled syncs on the
// cadence and `change` runs after a quiet period following Photos library
// changes.
//
// Threading: every field lives on the coordinator's own strand. The public
// operations are coroutines that hop onto the strand and back; they never
// fail. Background work (the run, timers, subscriptions) runs in tasks that
// hold the coordinator weakly and call back into it on the strand, so
// dropping the last reference destroys it: the run task is cancelled, a held
// sleep assertion is released, every task is cancelled and every observer
// stream is finished.
//
// The runner performs one complete run for a trigger and returns its summary
// or throws. Its error is classified only through SituationConvertible (see
// situationOf): a situation chooses between retry and waiting for the user;
// an error without one counts as no failure at all. When the coordinator
// cancels the run's task (pause, sleep, stop), the runner is expected to
// return promptly; that outcome is then ignored.
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <variant>
#include <vector>

#include "core/Clock.h"
#include "core/RunSummary.h"
#include "core/RunTrigger.h"
#include "core/Situation.h"
#include "core/async/Stream.h"
#include "core/async/Task.h"
#include "scheduler/Cadence.h"
#include "scheduler/CoordinatorState.h"
#include "scheduler/PowerMonitor.h"
#include "scheduler/SchedulerOptions.h"
#include "scheduler/Signal.h"
#include "scheduler/SleepAssertion.h"
#include "scheduler/SleepEvent.h"

namespace kv {

class SyncCoordinator : public std::enable_shared_from_this<SyncCoordinator> {
  struct Passkey {};

 public:
  using Runner = std::function<Async<RunSummary>(RunTrigger)>;

  // The internal flags and fields, for diagnostics and tests.
  struct Snapshot {
    CoordinatorState current;
    Cadence cadence = kDefaultCadence;
    bool started = false;
    bool userPaused = false;
    bool lowPower = false;
    bool systemAsleep = false;
    bool runInFlight = false;  // a run task exists (also one winding down)
    std::optional<RunTrigger> runningTrigger;
    bool holdsRunToken = false;
    std::optional<RunTrigger> followUp;
    std::optional<RunTrigger> interrupted;
    std::optional<RunTrigger> waitingTrigger;
    std::optional<Situation> awaitingUser;
    bool externalRunActive = false;
    int consecutiveFailures = 0;
    std::optional<Date> scheduleAnchor;
    bool retryPending = false;
    bool scheduleLoopActive = false;
    bool guardrailActive = false;
    std::size_t observerCount = 0;
  };

  // `executor` runs the coordinator's strand and its tasks (a thread pool in
  // production, the test loop in tests). `libraryChanges` and `sleepEvents`
  // may be absent; they are taken over by the first `start`.
  static std::shared_ptr<SyncCoordinator> make(Executor executor, Cadence cadence, SchedulerOptions options,
                                               std::shared_ptr<Clock> clock, std::shared_ptr<PowerMonitor> power,
                                               std::shared_ptr<SleepAssertion> sleepAssertion,
                                               std::optional<SignalStream> libraryChanges,
                                               std::optional<SleepEventStream> sleepEvents, Runner runner);

  SyncCoordinator(Passkey, Executor executor, Cadence cadence, SchedulerOptions options,
                  std::shared_ptr<Clock> clock, std::shared_ptr<PowerMonitor> power,
                  std::shared_ptr<SleepAssertion> sleepAssertion, std::optional<SignalStream> libraryChanges,
                  std::optional<SleepEventStream> sleepEvents, Runner runner);
  ~SyncCoordinator();
  SyncCoordinator(const SyncCoordinator&) = delete;
  SyncCoordinator& operator=(const SyncCoordinator&) = delete;

  // Begins scheduling and event handling. Idempotent.
  Async<void> start();
  // Ends scheduling: cancels the run and every timer, forgets pending runs
  // and situations, publishes idle with no next run. Pause flags and the power
  // and sleep subscriptions stay. Nothing happens unless started. (A later
  // `start` resumes scheduling but does not take the library-change stream
  // again.)
  Async<void> stop();
  // Starts a run now, records it as the follow-up of the current activity
  // (a later request replaces an earlier one), or ignores it: while waiting
  // for the user only `manual` gets through; while an automatic retry is
  // pending, only `manual` starts a run at once.
  Async<void> request(RunTrigger trigger);
  // The user's pause and resume.
  Async<void> pause();
  Async<void> resume();
  // Stored even when not started; when started, counts the next slot from now.
  Async<void> setCadence(Cadence cadence);

  Async<CoordinatorState> state();
  // A new stream for one observer: the current state at once, then every
  // change (newest only; equal states are never published twice). Ending the
  // stream unregisters it.
  Async<AsyncStream<CoordinatorState>> states();

  // Claims the run slot for a verification the application runs itself.
  // Granted (true) only while started, with no run in flight, no pause and no
  // other claim; a pending retry is then moved to the follow-up.
  Async<bool> beginExternalRun();
  // Releases the claim and moves on (paused, the follow-up run, or rest).
  Async<void> endExternalRun();

  // The next cadence slot strictly after `after`; none for `manual`.
  Async<std::optional<Date>> nextScheduledDate(Date after);

  Async<Snapshot> snapshot();

 private:
  // What a run ended with: its summary or its error.
  using RunResult = std::variant<RunSummary, std::exception_ptr>;

  // Hops onto the strand of the coordinator behind `weak`, if it still
  // exists, and runs `step` there.
  template <class Step>
  static Async<void> callBack(std::weak_ptr<SyncCoordinator> weak, Step step);

  // Public operations, on the strand.
  void startNow();
  void stopNow();
  void requestNow(RunTrigger trigger);
  void pauseNow();
  void resumeNow();
  void setCadenceNow(Cadence cadence);
  AsyncStream<CoordinatorState> addObserver();
  bool beginExternalRunNow();
  void endExternalRunNow();
  Snapshot snapshotNow() const;

  // The internal steps.
  bool isFree() const;
  bool anyPauseFlag() const;
  void publishPausedByPriority();
  void startRun(RunTrigger trigger);
  void runFinished(std::uint64_t generation, RunTrigger trigger, const RunResult& outcome);
  void settle();
  void enterWaiting(Situation situation, RunTrigger trigger);
  void retryFired(std::uint64_t generation);
  void applyPause();
  void resumeIfPossible();
  void powerChanged();
  void applyLowPower(bool enabled);
  void startGuardrail();
  bool guardrailPass(std::uint64_t generation);
  void sleepEventArrived(SleepEvent event);
  void reschedule();
  std::optional<Seconds> scheduleTick(std::uint64_t generation);
  std::optional<Date> nextSlot(Date after) const;
  void publish(const CoordinatorState& state);
  void removeObserver(std::uint64_t id);
  void releaseRunToken();
  void subscribe();

  Strand strand_;
  Executor executor_;

  Cadence cadence_;
  SchedulerOptions options_;
  std::shared_ptr<Clock> clock_;
  std::shared_ptr<PowerMonitor> power_;
  std::shared_ptr<SleepAssertion> sleepAssertion_;
  Runner runner_;
  std::optional<SignalStream> pendingLibraryChanges_;
  std::optional<SleepEventStream> pendingSystemSleep_;
  bool subscribedToPower_ = false;
  CoordinatorState current_;
  std::map<std::uint64_t, AsyncStream<CoordinatorState>> observers_;
  bool started_ = false;
  bool userPaused_ = false;
  bool lowPower_ = false;
  bool systemAsleep_ = false;
  std::optional<Task<void>> runTask_;
  std::optional<RunTrigger> runningTrigger_;
  std::shared_ptr<SleepAssertionToken> runToken_;
  std::optional<RunTrigger> followUp_;
  std::optional<RunTrigger> interrupted_;
  std::optional<RunTrigger> waitingTrigger_;
  std::optional<Situation> awaitingUser_;
  bool externalRunActive_ = false;
  int consecutiveFailures_ = 0;
  std::optional<Date> scheduleAnchor_;
  std::optional<Task<void>> scheduleTask_;
  std::optional<Task<void>> retryTask_;
  std::optional<Task<void>> guardrailTask_;
  std::optional<Task<void>> libraryTask_;
  std::vector<Task<void>> eventTasks_;

  // Each run, retry timer, schedule loop and guardrail gets a generation, so
  // that a call back from a task that was cancelled or replaced meanwhile
  // (its timer ended just before the cancellation reached it) changes nothing.
  std::uint64_t runGeneration_ = 0;
  std::uint64_t retryGeneration_ = 0;
  std::uint64_t scheduleGeneration_ = 0;
  std::uint64_t guardrailGeneration_ = 0;
  std::uint64_t nextObserverId_ = 0;
};

}  // namespace kv
