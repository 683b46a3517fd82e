// The coordinator's rules on the manual clock: follow-ups, retries, waiting
// for the user, pauses, sleep, external runs, observers and stop.
#include <gtest/gtest.h>

#include "scheduler/SchedulerTexts.h"
#include "tests/scheduler/CoordinatorFixture.h"

namespace kv::test {
namespace {

using Coordinator = CoordinatorFixture;

const std::string kCopying(SchedulerTexts::copyingReason);
const std::string kVerifying(SchedulerTexts::verifyingReason);

TEST_F(Coordinator, StartRestsIdleWithTheNextSlotOrNoneForManual) {
  makeAndStart(Cadence::hourly);
  // kStart is 22:13:20 UTC.
  EXPECT_EQ(state(), State::idle(at(46 * 60 + 40)));
  destroy();
  makeAndStart(Cadence::manual);
  EXPECT_EQ(state(), State::idle());
}

TEST_F(Coordinator, RequestsAreIgnoredBeforeStart) {
  make(Cadence::manual);
  request(RunTrigger::manual);
  EXPECT_TRUE(runner.triggers().empty());
  EXPECT_EQ(state(), State::idle());
}

TEST_F(Coordinator, ARunHoldsTheCopyingAssertionAndTheRunReleasesItsCopyAtOnce) {
  makeAndStart();
  request(RunTrigger::manual);
  EXPECT_EQ(state(), State::running(RunTrigger::manual));
  EXPECT_EQ(assertion->heldReasons(), std::vector<std::string>{kCopying});
  succeed();
  EXPECT_EQ(state(), State::idle());
  EXPECT_EQ(assertion->held(), 0);
  ASSERT_EQ(assertion->records().size(), 1u);
  // Released by the run task and again by runFinished; only the first counts.
  EXPECT_EQ(assertion->records()[0].releaseCalls, 2);
}

TEST_F(Coordinator, LaterRequestReplacesTheFollowUpAndExactlyOneFollowUpRuns) {
  makeAndStart();
  request(RunTrigger::schedule);
  request(RunTrigger::manual);
  EXPECT_EQ(snapshot().followUp, RunTrigger::manual);
  libraryChange();
  advance(300);  // the debounced change arrives as a `change` request
  EXPECT_EQ(snapshot().followUp, RunTrigger::change);
  EXPECT_EQ(state(), State::running(RunTrigger::schedule));
  succeed();
  EXPECT_EQ(state(), State::running(RunTrigger::change));
  succeed();
  EXPECT_EQ(state(), State::idle());
  EXPECT_EQ(runner.triggers(), (std::vector<RunTrigger>{RunTrigger::schedule, RunTrigger::change}));
}

TEST_F(Coordinator, BurstOfLibraryChangesGivesOneChangeRunAfterTheQuietPeriod) {
  makeAndStart();
  libraryChange();
  advance(10);
  libraryChange();
  advance(299);
  EXPECT_TRUE(runner.triggers().empty());
  advance(1);
  EXPECT_EQ(state(), State::running(RunTrigger::change));
  succeed();
  advance(1000);
  EXPECT_EQ(runner.triggers(), std::vector<RunTrigger>{RunTrigger::change});
}

TEST_F(Coordinator, AutomaticRetriesBackOffAndASuccessResetsTheCount) {
  makeAndStart();
  request(RunTrigger::change);
  const double expected[] = {30, 60, 120, 240, 300, 300};
  for (double delay : expected) {
    fail(Situation::nasUnreachable);
    EXPECT_EQ(state(), State::waiting(Situation::nasUnreachable, in(delay))) << delay;
    advance(delay - 0.5);
    EXPECT_FALSE(runner.current()) << "retried early, delay " << delay;
    advance(0.5);
    EXPECT_EQ(state(), State::running(RunTrigger::change)) << "the failed trigger is repeated";
  }
  succeed();
  EXPECT_EQ(state(), State::idle());
  EXPECT_EQ(snapshot().consecutiveFailures, 0);
  request(RunTrigger::manual);
  fail(Situation::configUnavailable);
  EXPECT_EQ(state(), State::waiting(Situation::configUnavailable, in(30)));
}

TEST_F(Coordinator, WhileARetryIsPendingOnlyAManualRequestRunsAtOnce) {
  makeAndStart();
  request(RunTrigger::change);
  fail(Situation::icloudDownloadFailing);
  request(RunTrigger::schedule);
  libraryChange();
  advance(20);
  EXPECT_FALSE(runner.current());
  request(RunTrigger::manual);
  EXPECT_EQ(state(), State::running(RunTrigger::manual));
  EXPECT_FALSE(snapshot().retryPending);
  advance(60);  // the cancelled timer does not fire a second run
  EXPECT_EQ(runner.triggers(), (std::vector<RunTrigger>{RunTrigger::change, RunTrigger::manual}));
}

TEST_F(Coordinator, WaitingForTheUserIgnoresEverythingButAManualRequest) {
  makeAndStart(Cadence::hourly);
  request(RunTrigger::schedule);
  fail(Situation::nasLoginRejected);
  EXPECT_EQ(state(), State::waiting(Situation::nasLoginRejected, awaitingUserDate));
  EXPECT_EQ(assertion->held(), 0);
  request(RunTrigger::schedule);
  libraryChange();
  advance(7200);  // two schedule slots and the debounce pass
  EXPECT_EQ(runner.triggers().size(), 1u);
  EXPECT_EQ(state(), State::waiting(Situation::nasLoginRejected, awaitingUserDate));
  request(RunTrigger::manual);
  EXPECT_EQ(state(), State::running(RunTrigger::manual));
  succeed();
  EXPECT_TRUE(state().is<State::Idle>());
}

TEST_F(Coordinator, FailureWithoutSituationCountsAsNoFailure) {
  makeAndStart();
  request(RunTrigger::manual);
  fail(Situation::nasUnreachable);
  advance(30);
  EXPECT_EQ(snapshot().consecutiveFailures, 1);
  request(RunTrigger::change);  // ignored: a retry is running, it becomes the follow-up
  failWithoutSituation();
  EXPECT_EQ(state(), State::running(RunTrigger::change));
  EXPECT_EQ(snapshot().consecutiveFailures, 0);
  failWithoutSituation();
  EXPECT_EQ(state(), State::idle());
  request(RunTrigger::manual);
  fail(Situation::nasUnreachable);
  EXPECT_EQ(state(), State::waiting(Situation::nasUnreachable, in(30)));
}

TEST_F(Coordinator, FollowUpRecordedDuringAFailedRunIsDropped) {
  makeAndStart();
  request(RunTrigger::manual);
  request(RunTrigger::change);
  fail(Situation::shareFull);
  EXPECT_EQ(state(), State::waiting(Situation::shareFull, awaitingUserDate));
  EXPECT_FALSE(snapshot().followUp);
}

TEST_F(Coordinator, SleepDuringARunRestartsTheInterruptedTriggerOnWake) {
  makeAndStart();
  request(RunTrigger::manual);
  sleep();
  EXPECT_EQ(state(), State::paused(PauseReason::systemSleep));
  EXPECT_TRUE(runner.triggers().size() == 1 && !runner.current()) << "the run was cancelled";
  EXPECT_EQ(assertion->held(), 0);
  wake();
  EXPECT_EQ(state(), State::running(RunTrigger::manual));
  succeed();
  EXPECT_EQ(state(), State::idle()) << "the wake's schedule follow-up is dropped";
  EXPECT_EQ(runner.triggers(), (std::vector<RunTrigger>{RunTrigger::manual, RunTrigger::manual}));
}

TEST_F(Coordinator, WakeWithNothingRunningStartsAScheduleRunEvenUnderManualCadence) {
  makeAndStart(Cadence::manual);
  sleep();
  EXPECT_EQ(state(), State::paused(PauseReason::systemSleep));
  wake();
  EXPECT_EQ(state(), State::running(RunTrigger::schedule));
}

TEST_F(Coordinator, WakeWhileAwaitingTheUserStartsNothing) {
  makeAndStart();
  request(RunTrigger::manual);
  fail(Situation::notSignedIn);
  sleep();
  wake();
  EXPECT_EQ(state(), State::waiting(Situation::notSignedIn, awaitingUserDate));
  EXPECT_EQ(runner.triggers().size(), 1u);
}

TEST_F(Coordinator, PauseDuringAPendingRetryRunsTheRetryOnResume) {
  makeAndStart();
  request(RunTrigger::change);
  fail(Situation::nasUnreachable);
  pause();
  EXPECT_EQ(state(), State::paused(PauseReason::user));
  advance(100);
  EXPECT_FALSE(runner.current());
  resume();
  EXPECT_EQ(state(), State::running(RunTrigger::change));
}

TEST_F(Coordinator, UserPauseTakesPriorityOverLowPower) {
  makeAndStart();
  setLowPower(true);
  EXPECT_EQ(state(), State::paused(PauseReason::lowPower));
  pause();
  EXPECT_EQ(state(), State::paused(PauseReason::user));
  resume();
  EXPECT_EQ(state(), State::paused(PauseReason::lowPower));
  setLowPower(false);
  EXPECT_EQ(state(), State::idle());
}

TEST_F(Coordinator, LowPowerDuringARunCancelsItAndRerunsItAfterwards) {
  makeAndStart();
  request(RunTrigger::schedule);
  request(RunTrigger::change);
  setLowPower(true);
  EXPECT_EQ(state(), State::paused(PauseReason::lowPower));
  EXPECT_EQ(snapshot().interrupted, RunTrigger::schedule);
  setLowPower(false);
  EXPECT_EQ(state(), State::running(RunTrigger::schedule));
  EXPECT_FALSE(snapshot().followUp) << "the interrupted run replaces the follow-up";
}

TEST_F(Coordinator, ResumeWhileTheCancelledRunWindsDownWaitsForItToEnd) {
  runner.setSlowWindDown(true);
  makeAndStart();
  request(RunTrigger::manual);
  pause();
  resume();
  EXPECT_EQ(state(), State::paused(PauseReason::user));
  EXPECT_TRUE(snapshot().runInFlight);
  request(RunTrigger::change);  // not free yet: recorded
  runner.finishWindDown();
  loop.poll();
  EXPECT_EQ(state(), State::running(RunTrigger::manual)) << "the interrupted trigger runs again";
  EXPECT_EQ(runner.maxActive(), 1);
}

TEST_F(Coordinator, MissedLowPowerNotificationIsCaughtByTheGuardrail) {
  power->setLowPower(true, false);
  makeAndStart(Cadence::manual);
  EXPECT_EQ(state(), State::paused(PauseReason::lowPower));
  EXPECT_TRUE(snapshot().guardrailActive);
  setLowPower(false, /*notify=*/false);
  advance(299);
  EXPECT_EQ(state(), State::paused(PauseReason::lowPower));
  advance(1);
  EXPECT_EQ(state(), State::idle());
  EXPECT_FALSE(snapshot().guardrailActive);
  EXPECT_EQ(clock->sleeperCount(), 0u);
}

TEST_F(Coordinator, ExternalRunIsRefusedDuringARunWhilePausedAndTwice) {
  makeAndStart();
  request(RunTrigger::manual);
  EXPECT_FALSE(beginExternalRun());
  succeed();
  pause();
  EXPECT_FALSE(beginExternalRun());
  resume();
  EXPECT_TRUE(beginExternalRun());
  EXPECT_FALSE(beginExternalRun());
  EXPECT_EQ(state(), State::running(RunTrigger::verify));
  EXPECT_EQ(assertion->heldReasons(), std::vector<std::string>{kVerifying});
  endExternalRun();
  EXPECT_EQ(state(), State::idle());
  EXPECT_EQ(assertion->held(), 0);
  stop();
  EXPECT_FALSE(beginExternalRun()) << "not started";
}

TEST_F(Coordinator, ExternalRunDuringAPendingRetryRunsTheFailedTriggerAfterwards) {
  makeAndStart();
  request(RunTrigger::change);
  fail(Situation::nasUnreachable);
  EXPECT_TRUE(beginExternalRun());
  advance(100);
  EXPECT_EQ(runner.triggers().size(), 1u) << "the retry timer was cancelled";
  request(RunTrigger::schedule);  // only recorded: the follow-up already holds the retry
  EXPECT_EQ(snapshot().followUp, RunTrigger::schedule);
  endExternalRun();
  EXPECT_EQ(state(), State::running(RunTrigger::schedule));
}

TEST_F(Coordinator, ExternalRunKeepsTheFailedTriggerWhenNothingElseIsAsked) {
  makeAndStart();
  request(RunTrigger::change);
  fail(Situation::nasUnreachable);
  EXPECT_TRUE(beginExternalRun());
  endExternalRun();
  EXPECT_EQ(state(), State::running(RunTrigger::change));
}

TEST_F(Coordinator, PauseDuringAnExternalRunReleasesTheAssertionUntilResume) {
  makeAndStart();
  ASSERT_TRUE(beginExternalRun());
  pause();
  EXPECT_EQ(state(), State::paused(PauseReason::user));
  EXPECT_EQ(assertion->held(), 0);
  resume();
  EXPECT_EQ(state(), State::running(RunTrigger::verify));
  EXPECT_EQ(assertion->heldReasons(), std::vector<std::string>{kVerifying});
  pause();
  endExternalRun();
  EXPECT_EQ(state(), State::paused(PauseReason::user));
  EXPECT_EQ(assertion->held(), 0);
}

TEST_F(Coordinator, ObserversGetTheCurrentStateFirstAndNoDuplicates) {
  makeAndStart(Cadence::hourly);  // observing from before the start
  request(RunTrigger::manual);
  ASSERT_EQ(observed.size(), 3u);
  EXPECT_EQ(observed[0], State::idle());
  EXPECT_EQ(observed[1], State::idle(at(46 * 60 + 40)));
  EXPECT_EQ(observed[2], State::running(RunTrigger::manual));

  // A late observer starts from the state as it is now.
  std::vector<State> late;
  auto stream = loop.run([c = coordinator]() -> Async<AsyncStream<State>> { co_return co_await c->states(); });
  Task<void>::spawn(loop.executor(), [&late, stream]() -> Async<void> {
    while (auto s = co_await stream.next()) late.push_back(*s);
  });
  loop.poll();
  EXPECT_EQ(late, std::vector<State>{State::running(RunTrigger::manual)});

  succeed();
  const auto settled = observed.back();
  setCadence(Cadence::hourly);  // recomputes the same idle state
  pause();
  pause();
  EXPECT_EQ(observed.size(), 5u);
  EXPECT_EQ(observed[3], settled);
  EXPECT_EQ(observed[4], State::paused(PauseReason::user));
  EXPECT_EQ(late.size(), 3u);

  EXPECT_EQ(snapshot().observerCount, 2u);
  stream.cancel();
  loop.poll();
  EXPECT_EQ(snapshot().observerCount, 1u);
}

TEST_F(Coordinator, StopDuringARunRestsIdleAndTheRunsEndChangesNothing) {
  runner.setSlowWindDown(true);
  makeAndStart(Cadence::hourly);
  request(RunTrigger::manual);
  request(RunTrigger::change);
  stop();
  EXPECT_EQ(state(), State::idle());
  EXPECT_EQ(assertion->held(), 0);
  EXPECT_TRUE(runner.currentCancelled());
  const auto s = snapshot();
  EXPECT_FALSE(s.followUp);
  EXPECT_FALSE(s.scheduleLoopActive);
  runner.finishWindDown();
  loop.poll();
  advance(7200);
  EXPECT_EQ(state(), State::idle());
  EXPECT_EQ(runner.triggers().size(), 1u);
  request(RunTrigger::manual);
  sleep();
  EXPECT_EQ(runner.triggers().size(), 1u);
  EXPECT_EQ(state(), State::idle());
}

TEST_F(Coordinator, DestructionCancelsTheRunReleasesTheAssertionAndEndsObservers) {
  makeAndStart(Cadence::hourly);
  request(RunTrigger::manual);
  coordinator.reset();
  loop.poll();
  EXPECT_EQ(assertion->held(), 0);
  EXPECT_EQ(runner.active(), 0);
  EXPECT_TRUE(observerEnded);
  EXPECT_EQ(clock->sleeperCount(), 0u) << "the schedule loop ended";
  EXPECT_EQ(power->openStreams(), 0u);
}

}  // namespace
}  // namespace kv::test
