// Thousands of random operations against the coordinator on the manual
// clock, with the invariants checked after every step.
#include <gtest/gtest.h>

#include <cstdio>
#include <map>
#include <random>

#include "scheduler/ScheduleTiming.h"
#include "scheduler/SchedulerTexts.h"
#include "tests/scheduler/CoordinatorFixture.h"

namespace kv::test {
namespace {

struct CoordinatorStress : CoordinatorFixture {
  std::mt19937 rng;
  bool externalClaim = false;
  std::size_t checkedObserved = 0;
  // How often each published case was seen, so that a walk that never
  // reaches a state does not pass unnoticed.
  std::map<std::string, int> casesSeen;
  std::map<std::string, int> stepStates;  // the state after each step

  int pick(int n) { return std::uniform_int_distribution<int>(0, n - 1)(rng); }

  void step() {
    static constexpr RunTrigger triggers[] = {RunTrigger::schedule, RunTrigger::change, RunTrigger::manual};
    static constexpr Situation situations[] = {
        Situation::photosAccessMissing, Situation::notSignedIn, Situation::configUnavailable,
        Situation::nasUnreachable,      Situation::nasLoginRejected, Situation::shareFull,
        Situation::icloudDownloadFailing, Situation::verifyMismatch};
    // Pauses are set less often than they are cleared, so that the walk
    // spends most of its time where runs can start.
    const auto flags = snapshot();
    switch (pick(23)) {
      case 0:
      case 19:
      case 20:
      case 21:
      case 22:
        request(triggers[pick(3)]);
        break;
      case 1: libraryChange(); break;
      case 2:
        if (!flags.userPaused && pick(3) == 0) pause();
        break;
      case 3:
        resume();
        break;
      case 4:
        if (!flags.systemAsleep && pick(3) == 0) sleep();
        break;
      case 5:
        // Also a wake without a sleep before it, which still asks for a run.
        if (flags.systemAsleep || pick(4) == 0) wake();
        break;
      case 6:
        if (flags.lowPower || pick(3) == 0) setLowPower(!power->isLowPowerModeEnabled(), /*notify=*/pick(4) != 0);
        break;
      case 7:
      case 8:
        if (runner.succeed()) loop.poll();
        break;
      case 9:
      case 10:
        if (runner.fail(situations[pick(8)])) loop.poll();
        break;
      case 11:
        if (runner.failWithoutSituation()) loop.poll();
        break;
      case 12:
        if (!externalClaim) externalClaim = beginExternalRun();
        break;
      case 13:
        if (externalClaim) {
          endExternalRun();
          externalClaim = false;
        }
        break;
      case 14: advance(pick(400)); break;
      case 15: advance(pick(3) * 0.0005); break;
      case 16: setCadence(static_cast<Cadence>(pick(3))); break;
      case 17:
        runner.setSlowWindDown(pick(2) == 0);
        runner.finishWindDown();
        loop.poll();
        break;
      case 18:
        // Rarely stop; a stopped coordinator is started again at the next turn.
        if (!flags.started) {
          start();
        } else if (pick(10) == 0) {
          stop();
          externalClaim = false;
        }
        break;
    }
  }

  void checkInvariants(int stepNumber) {
    SCOPED_TRACE("step " + std::to_string(stepNumber));
    const auto s = snapshot();
    const auto& st = s.current;
    ++stepStates[describe(st).substr(0, describe(st).find('(')) + (st.isAwaitingUser() ? "(user)" : "")];

    ASSERT_LE(runner.active(), 1) << "at most one run in flight";
    ASSERT_LE(runner.maxActive(), 1);
    ASSERT_EQ(s.runInFlight, runner.active() == 1) << "the run task lives exactly as long as the runner call";
    ASSERT_LE(assertion->held(), 1) << "at most one sleep assertion";
    if (!st.is<State::Running>()) {
      ASSERT_EQ(assertion->held(), 0) << "assertion held while " << st;
    } else {
      const auto trigger = st.as<State::Running>()->trigger;
      ASSERT_TRUE(s.started);
      ASSERT_EQ(assertion->held(), 1) << st;
      if (s.externalRunActive) {
        ASSERT_EQ(trigger, RunTrigger::verify);
        ASSERT_FALSE(s.runInFlight);
        ASSERT_EQ(assertion->heldReasons()[0], SchedulerTexts::verifyingReason);
      } else {
        ASSERT_TRUE(s.runInFlight);
        ASSERT_EQ(s.runningTrigger, trigger);
        ASSERT_EQ(assertion->heldReasons()[0], SchedulerTexts::copyingReason);
      }
    }

    if (!s.started) {
      ASSERT_EQ(st, State::idle()) << "stopped: idle with no next run";
      ASSERT_FALSE(s.followUp || s.interrupted || s.waitingTrigger || s.awaitingUser || s.externalRunActive);
      ASSERT_FALSE(s.retryPending || s.scheduleLoopActive || s.guardrailActive);
    } else {
      const auto reason = pauseReasonByPriority(s.userPaused, s.lowPower, s.systemAsleep);
      if (reason) {
        ASSERT_EQ(st, State::paused(*reason)) << "paused by priority whenever a pause flag is set";
        ASSERT_FALSE(s.retryPending);
        ASSERT_FALSE(s.waitingTrigger);
      } else if (st.is<State::Paused>()) {
        ASSERT_TRUE(s.runInFlight) << "paused without a reason only while a cancelled run winds down";
      }
      ASSERT_EQ(s.guardrailActive, s.lowPower);
      ASSERT_EQ(s.scheduleLoopActive, s.cadence != Cadence::manual);
    }
    if (auto* idle = st.as<State::Idle>(); idle && s.started) {
      ASSERT_FALSE(s.externalRunActive || s.awaitingUser || s.waitingTrigger);
      // Only a run cancelled by a stop may still be winding down after a new start.
      if (s.runInFlight) ASSERT_TRUE(runner.currentCancelled());
      ASSERT_EQ(idle->nextRun, nextScheduledDate(s.cadence, options, s.scheduleAnchor.value_or(clock->now())));
    }
    if (auto* waiting = st.as<State::Waiting>()) {
      if (waiting->retryAt == awaitingUserDate) {
        ASSERT_EQ(s.awaitingUser, waiting->situation);
        ASSERT_FALSE(retriesAutomatically(waiting->situation));
      } else {
        ASSERT_TRUE(retriesAutomatically(waiting->situation));
        ASSERT_TRUE(s.waitingTrigger && s.retryPending);
        ASSERT_GE(waiting->retryAt, clock->now());
        ASSERT_GE(s.consecutiveFailures, 1);
      }
    }
    ASSERT_FALSE(s.awaitingUser && s.waitingTrigger);
    ASSERT_GE(s.consecutiveFailures, 0);
    ASSERT_LE(s.consecutiveFailures, stepNumber + 1);

    // The observer saw the current state last, and never the same state twice in a row.
    ASSERT_FALSE(observed.empty());
    ASSERT_EQ(observed.back(), st);
    for (; checkedObserved + 1 < observed.size(); ++checkedObserved) {
      const auto& next = observed[checkedObserved + 1];
      std::string name = describe(next).substr(0, describe(next).find('('));
      if (next.isAwaitingUser()) name += "(user)";
      ++casesSeen[name];
      ASSERT_NE(observed[checkedObserved], observed[checkedObserved + 1]) << "duplicate publication";
    }
  }
};

TEST_F(CoordinatorStress, RandomOperationsKeepTheInvariants) {
  int checked = 0;
  for (unsigned seed : {1u, 2u, 3u, 20240506u}) {
    rng.seed(seed);
    externalClaim = false;
    checkedObserved = 0;
    observed.clear();
    power->setLowPower(false, false);
    runner.setSlowWindDown(false);
    makeAndStart(static_cast<Cadence>(seed % 3));
    for (int i = 0; i < 2000; ++i) {
      step();
      checkInvariants(i);
      if (HasFatalFailure()) {
        ADD_FAILURE() << "seed " << seed << ", step " << i;
        return;
      }
      ++checked;
    }
    destroy();
    loop.poll();
    EXPECT_EQ(assertion->held(), 0) << "destruction releases everything";
    EXPECT_EQ(runner.active(), 0);
  }
  std::printf("[ stress   ] %d steps checked;", checked);
  for (const auto& [name, n] : stepStates) std::printf(" %s %d", name.c_str(), n);
  std::printf("\n");
  EXPECT_EQ(checked, 8000);
  for (const char* name : {"idle", "running", "paused", "waiting", "waiting(user)"}) {
    EXPECT_GT(casesSeen[name], 20) << name;
  }
  EXPECT_GT(runner.triggers().size(), 300u);
  EXPECT_GT(runner.cancellations(), 30);
}

}  // namespace
}  // namespace kv::test
