#include "scheduler/SyncCoordinator.h"

#include <algorithm>

#include "scheduler/Debouncer.h"
#include "scheduler/ScheduleTiming.h"
#include "scheduler/SchedulerTexts.h"

namespace kv {
namespace {

// How often the guardrail re-reads Low Power Mode, in case a change
// notification went missing.
constexpr Seconds kGuardrailInterval{300.0};

void cancelAndDrop(std::optional<Task<void>>& task) {
  if (task) task->cancel();
  task.reset();
}

}  // namespace

std::shared_ptr<SyncCoordinator> SyncCoordinator::make(Executor executor, Cadence cadence, SchedulerOptions options,
                                                       std::shared_ptr<Clock> clock,
                                                       std::shared_ptr<PowerMonitor> power,
                                                       std::shared_ptr<SleepAssertion> sleepAssertion,
                                                       std::optional<SignalStream> libraryChanges,
                                                       std::optional<SleepEventStream> sleepEvents, Runner runner) {
  return std::make_shared<SyncCoordinator>(Passkey{}, std::move(executor), cadence, std::move(options),
                                           std::move(clock), std::move(power), std::move(sleepAssertion),
                                           std::move(libraryChanges), std::move(sleepEvents), std::move(runner));
}

SyncCoordinator::SyncCoordinator(Passkey, Executor executor, Cadence cadence, SchedulerOptions options,
                                 std::shared_ptr<Clock> clock, std::shared_ptr<PowerMonitor> power,
                                 std::shared_ptr<SleepAssertion> sleepAssertion,
                                 std::optional<SignalStream> libraryChanges,
                                 std::optional<SleepEventStream> sleepEvents, Runner runner)
    : strand_(makeStrand(executor)),
      executor_(std::move(executor)),
      cadence_(cadence),
      options_(std::move(options)),
      clock_(std::move(clock)),
      power_(std::move(power)),
      sleepAssertion_(std::move(sleepAssertion)),
      runner_(std::move(runner)),
      pendingLibraryChanges_(std::move(libraryChanges)),
      pendingSystemSleep_(std::move(sleepEvents)) {}

SyncCoordinator::~SyncCoordinator() {
  // Nobody else can reach the fields any more: every task holds us weakly.
  if (runTask_) runTask_->cancel();
  releaseRunToken();
  cancelAndDrop(scheduleTask_);
  cancelAndDrop(retryTask_);
  cancelAndDrop(guardrailTask_);
  cancelAndDrop(libraryTask_);
  for (auto& task : eventTasks_) task.cancel();
  auto observers = std::move(observers_);
  for (auto& [id, stream] : observers) stream.finish();
}

template <class Step>
Async<void> SyncCoordinator::callBack(std::weak_ptr<SyncCoordinator> weak, Step step) {
  auto self = weak.lock();
  if (!self) co_return;
  co_await onStrand(self->strand_, [self, step]() mutable -> Async<void> {
    step(*self);
    co_return;
  });
}

// ---- Public operations: hop onto the strand and back.

Async<void> SyncCoordinator::start() {
  auto self = shared_from_this();
  co_await onStrand(strand_, [self]() -> Async<void> {
    self->startNow();
    co_return;
  });
}

Async<void> SyncCoordinator::stop() {
  auto self = shared_from_this();
  co_await onStrand(strand_, [self]() -> Async<void> {
    self->stopNow();
    co_return;
  });
}

Async<void> SyncCoordinator::request(RunTrigger trigger) {
  auto self = shared_from_this();
  co_await onStrand(strand_, [self, trigger]() -> Async<void> {
    self->requestNow(trigger);
    co_return;
  });
}

Async<void> SyncCoordinator::pause() {
  auto self = shared_from_this();
  co_await onStrand(strand_, [self]() -> Async<void> {
    self->pauseNow();
    co_return;
  });
}

Async<void> SyncCoordinator::resume() {
  auto self = shared_from_this();
  co_await onStrand(strand_, [self]() -> Async<void> {
    self->resumeNow();
    co_return;
  });
}

Async<void> SyncCoordinator::setCadence(Cadence cadence) {
  auto self = shared_from_this();
  co_await onStrand(strand_, [self, cadence]() -> Async<void> {
    self->setCadenceNow(cadence);
    co_return;
  });
}

Async<CoordinatorState> SyncCoordinator::state() {
  auto self = shared_from_this();
  co_return co_await onStrand(strand_, [self]() -> Async<CoordinatorState> { co_return self->current_; });
}

Async<AsyncStream<CoordinatorState>> SyncCoordinator::states() {
  auto self = shared_from_this();
  co_return co_await onStrand(strand_,
                              [self]() -> Async<AsyncStream<CoordinatorState>> { co_return self->addObserver(); });
}

Async<bool> SyncCoordinator::beginExternalRun() {
  auto self = shared_from_this();
  co_return co_await onStrand(strand_, [self]() -> Async<bool> { co_return self->beginExternalRunNow(); });
}

Async<void> SyncCoordinator::endExternalRun() {
  auto self = shared_from_this();
  co_await onStrand(strand_, [self]() -> Async<void> {
    self->endExternalRunNow();
    co_return;
  });
}

Async<std::optional<Date>> SyncCoordinator::nextScheduledDate(Date after) {
  auto self = shared_from_this();
  co_return co_await onStrand(strand_,
                              [self, after]() -> Async<std::optional<Date>> { co_return self->nextSlot(after); });
}

Async<SyncCoordinator::Snapshot> SyncCoordinator::snapshot() {
  auto self = shared_from_this();
  co_return co_await onStrand(strand_, [self]() -> Async<Snapshot> { co_return self->snapshotNow(); });
}

// ---- On the strand.

void SyncCoordinator::startNow() {
  if (started_) return;
  started_ = true;
  scheduleAnchor_ = clock_->now();
  subscribe();
  lowPower_ = power_->isLowPowerModeEnabled();
  if (lowPower_) startGuardrail();
  settle();
  reschedule();
}

void SyncCoordinator::subscribe() {
  std::weak_ptr<SyncCoordinator> weak = weak_from_this();
  if (pendingLibraryChanges_) {
    SignalStream changes = std::move(*pendingLibraryChanges_);
    pendingLibraryChanges_.reset();
    SignalStream debounced = Debouncer(options_.debounce, clock_).debounce(executor_, std::move(changes));
    cancelAndDrop(libraryTask_);
    libraryTask_ = Task<void>::spawn(executor_, [weak, debounced]() -> Async<void> {
      for (;;) {
        std::optional<Signal> event;
        try {
          event = co_await debounced.next();
        } catch (...) {
          event.reset();
        }
        if (!event || weak.expired()) {
          debounced.cancel();
          co_return;
        }
        co_await callBack(weak, [](SyncCoordinator& c) { c.requestNow(RunTrigger::change); });
      }
    });
  }
  if (!subscribedToPower_) {
    subscribedToPower_ = true;
    SignalStream changes = power_->powerStateChanges();
    eventTasks_.push_back(Task<void>::spawn(executor_, [weak, changes]() -> Async<void> {
      for (;;) {
        std::optional<Signal> event;
        try {
          event = co_await changes.next();
        } catch (...) {
          event.reset();
        }
        if (!event || weak.expired()) {
          changes.cancel();
          co_return;
        }
        co_await callBack(weak, [](SyncCoordinator& c) { c.powerChanged(); });
      }
    }));
  }
  if (pendingSystemSleep_) {
    SleepEventStream events = std::move(*pendingSystemSleep_);
    pendingSystemSleep_.reset();
    eventTasks_.push_back(Task<void>::spawn(executor_, [weak, events]() -> Async<void> {
      for (;;) {
        std::optional<SleepEvent> event;
        try {
          event = co_await events.next();
        } catch (...) {
          event.reset();
        }
        if (!event || weak.expired()) {
          events.cancel();
          co_return;
        }
        const SleepEvent e = *event;
        co_await callBack(weak, [e](SyncCoordinator& c) { c.sleepEventArrived(e); });
      }
    }));
  }
}

void SyncCoordinator::stopNow() {
  if (!started_) return;
  started_ = false;
  cancelAndDrop(libraryTask_);
  cancelAndDrop(scheduleTask_);
  cancelAndDrop(retryTask_);
  cancelAndDrop(guardrailTask_);
  // The run task stays recorded until it ends; runFinished then sees that we
  // are stopped and changes nothing.
  if (runTask_) runTask_->cancel();
  releaseRunToken();
  followUp_.reset();
  interrupted_.reset();
  waitingTrigger_.reset();
  awaitingUser_.reset();
  externalRunActive_ = false;
  consecutiveFailures_ = 0;
  publish(CoordinatorState::idle());
}

void SyncCoordinator::requestNow(RunTrigger trigger) {
  if (!started_) return;
  if (awaitingUser_ && trigger != RunTrigger::manual) return;
  if (isFree()) {
    // A pending automatic retry repeats the failed trigger; only the user's
    // own request overtakes it.
    if (waitingTrigger_ && trigger != RunTrigger::manual) return;
    startRun(trigger);
    return;
  }
  followUp_ = trigger;
}

void SyncCoordinator::pauseNow() {
  if (!started_ || userPaused_) return;
  userPaused_ = true;
  applyPause();
}

void SyncCoordinator::resumeNow() {
  if (!started_ || !userPaused_) return;
  userPaused_ = false;
  resumeIfPossible();
}

void SyncCoordinator::setCadenceNow(Cadence cadence) {
  cadence_ = cadence;
  if (!started_) return;
  scheduleAnchor_ = clock_->now();
  reschedule();
  if (current_.is<CoordinatorState::Idle>()) settle();
}

AsyncStream<CoordinatorState> SyncCoordinator::addObserver() {
  AsyncStream<CoordinatorState> stream(StreamBuffering::newestOnly);
  const std::uint64_t id = nextObserverId_++;
  observers_.emplace(id, stream);
  stream.yield(current_);
  std::weak_ptr<SyncCoordinator> weak = weak_from_this();
  Executor strand = strand_;
  stream.onTermination([weak, id, strand] {
    // May run on any thread (the consumer's); the map lives on the strand.
    Task<void>::spawn(strand, [weak, id]() -> Async<void> {
      if (auto self = weak.lock()) self->removeObserver(id);
      co_return;
    });
  });
  return stream;
}

void SyncCoordinator::removeObserver(std::uint64_t id) { observers_.erase(id); }

bool SyncCoordinator::beginExternalRunNow() {
  if (!started_ || runTask_ || anyPauseFlag() || externalRunActive_) return false;
  externalRunActive_ = true;
  cancelAndDrop(retryTask_);
  ++retryGeneration_;
  if (waitingTrigger_) {
    if (!followUp_) followUp_ = waitingTrigger_;
    waitingTrigger_.reset();
  }
  releaseRunToken();
  runToken_ = sleepAssertion_->begin(SchedulerTexts::verifyingReason);
  publish(CoordinatorState::running(RunTrigger::verify));
  return true;
}

void SyncCoordinator::endExternalRunNow() {
  if (!externalRunActive_) return;
  externalRunActive_ = false;
  releaseRunToken();
  if (!started_) return;
  if (anyPauseFlag()) {
    publishPausedByPriority();
  } else if (followUp_) {
    const RunTrigger next = *followUp_;
    followUp_.reset();
    startRun(next);
  } else {
    settle();
  }
}

SyncCoordinator::Snapshot SyncCoordinator::snapshotNow() const {
  Snapshot s;
  s.current = current_;
  s.cadence = cadence_;
  s.started = started_;
  s.userPaused = userPaused_;
  s.lowPower = lowPower_;
  s.systemAsleep = systemAsleep_;
  s.runInFlight = runTask_.has_value();
  s.runningTrigger = runningTrigger_;
  s.holdsRunToken = runToken_ != nullptr;
  s.followUp = followUp_;
  s.interrupted = interrupted_;
  s.waitingTrigger = waitingTrigger_;
  s.awaitingUser = awaitingUser_;
  s.externalRunActive = externalRunActive_;
  s.consecutiveFailures = consecutiveFailures_;
  s.scheduleAnchor = scheduleAnchor_;
  s.retryPending = retryTask_.has_value();
  s.scheduleLoopActive = scheduleTask_.has_value();
  s.guardrailActive = guardrailTask_.has_value();
  s.observerCount = observers_.size();
  return s;
}

// ---- Internal steps.

bool SyncCoordinator::isFree() const {
  return started_ && !anyPauseFlag() && !runTask_ && !externalRunActive_;
}

bool SyncCoordinator::anyPauseFlag() const { return userPaused_ || lowPower_ || systemAsleep_; }

void SyncCoordinator::publishPausedByPriority() {
  if (auto reason = pauseReasonByPriority(userPaused_, lowPower_, systemAsleep_)) {
    publish(CoordinatorState::paused(*reason));
  }
}

void SyncCoordinator::startRun(RunTrigger trigger) {
  cancelAndDrop(retryTask_);
  ++retryGeneration_;
  waitingTrigger_.reset();
  awaitingUser_.reset();
  runningTrigger_ = trigger;
  publish(CoordinatorState::running(trigger));
  releaseRunToken();
  runToken_ = sleepAssertion_->begin(SchedulerTexts::copyingReason);

  const std::uint64_t generation = ++runGeneration_;
  std::weak_ptr<SyncCoordinator> weak = weak_from_this();
  runTask_ = Task<void>::spawn(
      executor_, [token = runToken_, runner = runner_, trigger, weak, generation]() -> Async<void> {
        RunResult outcome;
        try {
          outcome = co_await runner(trigger);
        } catch (...) {
          outcome = std::current_exception();
        }
        // The assertion never outlives the work, however busy the strand is.
        if (token) token->release();
        co_await callBack(weak, [generation, trigger, outcome](SyncCoordinator& c) {
          c.runFinished(generation, trigger, outcome);
        });
      });
}

void SyncCoordinator::runFinished(std::uint64_t generation, RunTrigger trigger, const RunResult& outcome) {
  if (generation != runGeneration_ || !runTask_) return;
  runTask_.reset();
  runningTrigger_.reset();
  releaseRunToken();
  if (!started_) return;  // stopped meanwhile: the state stays as stop left it

  std::optional<Situation> failure;
  if (std::holds_alternative<RunSummary>(outcome)) {
    consecutiveFailures_ = 0;
    interrupted_.reset();
  } else if (interrupted_) {
    // A run cut short by a pause: its failure is not reported, the trigger
    // runs again when the pause ends.
  } else if (auto* convertible = situationOf(std::get<std::exception_ptr>(outcome))) {
    failure = convertible->situation();
  } else {
    consecutiveFailures_ = 0;
  }

  if (anyPauseFlag()) {
    publishPausedByPriority();
    return;
  }
  if (interrupted_) {
    const RunTrigger again = *interrupted_;
    interrupted_.reset();
    followUp_.reset();
    startRun(again);
  } else if (failure) {
    // The failed trigger is what the retry repeats; a follow-up recorded
    // during the run is dropped.
    followUp_.reset();
    enterWaiting(*failure, trigger);
  } else if (followUp_) {
    const RunTrigger next = *followUp_;
    followUp_.reset();
    startRun(next);
  } else {
    settle();
  }
}

void SyncCoordinator::settle() {
  if (anyPauseFlag()) {
    publishPausedByPriority();
  } else if (awaitingUser_) {
    publish(CoordinatorState::waiting(*awaitingUser_, awaitingUserDate));
  } else {
    publish(CoordinatorState::idle(nextSlot(scheduleAnchor_.value_or(clock_->now()))));
  }
}

void SyncCoordinator::enterWaiting(Situation situation, RunTrigger trigger) {
  if (!retriesAutomatically(situation)) {
    awaitingUser_ = situation;
    consecutiveFailures_ = 0;
    publish(CoordinatorState::waiting(situation, awaitingUserDate));
    return;
  }
  ++consecutiveFailures_;
  const Seconds delay = retryDelay(consecutiveFailures_, options_);
  waitingTrigger_ = trigger;
  publish(CoordinatorState::waiting(situation, addSeconds(clock_->now(), delay)));

  cancelAndDrop(retryTask_);
  const std::uint64_t generation = ++retryGeneration_;
  std::weak_ptr<SyncCoordinator> weak = weak_from_this();
  retryTask_ = Task<void>::spawn(executor_, [clock = clock_, delay, weak, generation]() -> Async<void> {
    bool cancelled = false;
    try {
      co_await clock->sleep(delay);
    } catch (const std::exception& e) {
      cancelled = isCancellation(e);
    } catch (...) {
    }
    if (cancelled) co_return;
    co_await callBack(weak, [generation](SyncCoordinator& c) { c.retryFired(generation); });
  });
}

void SyncCoordinator::retryFired(std::uint64_t generation) {
  if (generation != retryGeneration_ || !retryTask_) return;
  retryTask_.reset();
  if (isFree() && waitingTrigger_) startRun(*waitingTrigger_);
}

void SyncCoordinator::applyPause() {
  if (!anyPauseFlag()) return;
  cancelAndDrop(retryTask_);
  ++retryGeneration_;
  if (waitingTrigger_) {
    if (!interrupted_) interrupted_ = waitingTrigger_;
    waitingTrigger_.reset();
  }
  if (runningTrigger_) {
    if (!interrupted_) interrupted_ = runningTrigger_;
    if (runTask_) runTask_->cancel();
  }
  // No assertion is held while paused. An external verification keeps going
  // (the application decides about it), but it no longer holds off sleep;
  // resumeIfPossible takes the assertion again.
  releaseRunToken();
  publishPausedByPriority();
}

void SyncCoordinator::resumeIfPossible() {
  if (anyPauseFlag()) {
    publishPausedByPriority();
    return;
  }
  if (runTask_) return;  // a cancelled run is still winding down; runFinished decides
  if (externalRunActive_) {
    if (!runToken_) runToken_ = sleepAssertion_->begin(SchedulerTexts::verifyingReason);
    publish(CoordinatorState::running(RunTrigger::verify));
    return;
  }
  if (interrupted_) {
    const RunTrigger again = *interrupted_;
    interrupted_.reset();
    followUp_.reset();
    startRun(again);
  } else if (followUp_) {
    const RunTrigger next = *followUp_;
    followUp_.reset();
    startRun(next);
  } else {
    settle();
  }
}

void SyncCoordinator::powerChanged() {
  if (!started_) return;
  const bool enabled = power_->isLowPowerModeEnabled();
  if (enabled == lowPower_) return;
  applyLowPower(enabled);
}

void SyncCoordinator::applyLowPower(bool enabled) {
  lowPower_ = enabled;
  if (enabled) {
    startGuardrail();
    applyPause();
  } else {
    cancelAndDrop(guardrailTask_);
    resumeIfPossible();
  }
}

void SyncCoordinator::startGuardrail() {
  if (guardrailTask_) return;
  const std::uint64_t generation = ++guardrailGeneration_;
  std::weak_ptr<SyncCoordinator> weak = weak_from_this();
  guardrailTask_ = Task<void>::spawn(executor_, [clock = clock_, weak, generation]() -> Async<void> {
    for (;;) {
      try {
        co_await clock->sleep(kGuardrailInterval);
      } catch (...) {
        co_return;
      }
      auto self = weak.lock();
      if (!self) co_return;
      const bool again = co_await onStrand(self->strand_, [self, generation]() -> Async<bool> {
        co_return self->guardrailPass(generation);
      });
      self.reset();
      if (!again) co_return;
    }
  });
}

bool SyncCoordinator::guardrailPass(std::uint64_t generation) {
  if (generation != guardrailGeneration_ || !guardrailTask_) return false;
  if (!started_ || !lowPower_) {
    guardrailTask_.reset();
    return false;
  }
  const bool enabled = power_->isLowPowerModeEnabled();
  if (enabled != lowPower_) applyLowPower(enabled);
  return lowPower_;
}

void SyncCoordinator::sleepEventArrived(SleepEvent event) {
  if (!started_) return;
  switch (event) {
    case SleepEvent::willSleep:
      systemAsleep_ = true;
      applyPause();
      break;
    case SleepEvent::didWake:
      systemAsleep_ = false;
      // Whatever the cadence: after a sleep, look once whether anything is
      // new, unless only the user can get us going again.
      if (!awaitingUser_) followUp_ = RunTrigger::schedule;
      resumeIfPossible();
      break;
  }
}

void SyncCoordinator::reschedule() {
  cancelAndDrop(scheduleTask_);
  ++scheduleGeneration_;
  if (!started_ || cadence_ == Cadence::manual) return;
  const std::uint64_t generation = scheduleGeneration_;
  std::weak_ptr<SyncCoordinator> weak = weak_from_this();
  scheduleTask_ = Task<void>::spawn(executor_, [clock = clock_, weak, generation]() -> Async<void> {
    for (;;) {
      const bool cancelled = co_await isCancelled();
      if (cancelled) co_return;
      std::optional<Seconds> delay;
      {
        auto self = weak.lock();
        if (!self) co_return;
        delay = co_await onStrand(self->strand_, [self, generation]() -> Async<std::optional<Seconds>> {
          co_return self->scheduleTick(generation);
        });
      }
      if (!delay) co_return;
      try {
        co_await clock->sleep(*delay);
      } catch (...) {
        co_return;
      }
    }
  });
}

std::optional<Seconds> SyncCoordinator::scheduleTick(std::uint64_t generation) {
  if (generation != scheduleGeneration_) return std::nullopt;
  if (!started_ || cadence_ == Cadence::manual) return std::nullopt;
  powerChanged();  // re-read Low Power Mode at least once per pass
  const Date t = clock_->now();
  const std::optional<Date> due = nextSlot(scheduleAnchor_.value_or(t));
  if (!due) return std::nullopt;
  const Seconds untilDue = secondsBetween(t, *due);
  if (untilDue > kSlotTolerance) return std::min(untilDue, kScheduleTickLimit);

  // The slot has come. The anchor moves on whatever the request decides, so
  // a slot fires once, however long it was overdue.
  scheduleAnchor_ = std::max(*due, t);
  requestNow(RunTrigger::schedule);
  if (current_.is<CoordinatorState::Idle>()) settle();
  const std::optional<Date> next = nextSlot(*scheduleAnchor_);
  if (!next) return std::nullopt;
  return std::min(secondsBetween(t, *next), kScheduleTickLimit);
}

std::optional<Date> SyncCoordinator::nextSlot(Date after) const {
  return kv::nextScheduledDate(cadence_, options_, after);
}

void SyncCoordinator::publish(const CoordinatorState& state) {
  if (state == current_) return;
  current_ = state;
  for (auto it = observers_.begin(); it != observers_.end();) {
    if (it->second.yield(current_)) {
      ++it;
    } else {
      it = observers_.erase(it);  // its consumer has gone
    }
  }
}

void SyncCoordinator::releaseRunToken() {
  if (runToken_) {
    runToken_->release();
    runToken_.reset();
  }
}

}  // namespace kv
