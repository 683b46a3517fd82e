// The schedule loop, cadence changes and the launch catch-up, driven through
// the coordinator on the manual clock.
#include <gtest/gtest.h>

#include "scheduler/LaunchCatchUp.h"
#include "scheduler/ScheduleTiming.h"
#include "tests/scheduler/CoordinatorFixture.h"

namespace kv::test {
namespace {

using namespace std::chrono;

Date utc(int y, unsigned mo, unsigned d, int h, int mi = 0, double s = 0) {
  const sys_days civil{year{y} / month{mo} / std::chrono::day{d}};
  return Date(duration_cast<nanoseconds>(civil.time_since_epoch() + hours(h) + minutes(mi)) +
              nanoseconds(static_cast<long long>(s * 1e9)));
}

struct ScheduleLoop : CoordinatorFixture {
  void advanceTo(Date d) { clock->advance(secondsBetween(clock->now(), d), loop.drainer()); }
};

TEST_F(ScheduleLoop, HourlySlotFiresAtTheTopOfTheHour) {
  clock->set(utc(2024, 5, 6, 10, 20));
  makeAndStart(Cadence::hourly);
  EXPECT_EQ(state(), State::idle(utc(2024, 5, 6, 11)));
  advanceTo(utc(2024, 5, 6, 10, 59, 59));
  EXPECT_TRUE(runner.triggers().empty());
  EXPECT_LE(*clock->nextDeadline() - clock->now(), seconds(300)) << "the loop never sleeps longer than 300 s";
  advanceTo(utc(2024, 5, 6, 11));
  EXPECT_EQ(state(), State::running(RunTrigger::schedule));
  succeed();
  EXPECT_EQ(state(), State::idle(utc(2024, 5, 6, 12)));
  EXPECT_EQ(snapshot().scheduleAnchor, utc(2024, 5, 6, 11));
}

TEST_F(ScheduleLoop, SlotLessThanAMillisecondAwayFiresAtThatPass) {
  clock->set(utc(2024, 5, 6, 1, 59, 59.9995));
  makeAndStart(Cadence::daily);
  EXPECT_EQ(state(), State::running(RunTrigger::schedule));
  EXPECT_EQ(snapshot().scheduleAnchor, utc(2024, 5, 6, 2));
  succeed();
  EXPECT_EQ(state(), State::idle(utc(2024, 5, 7, 2)));
}

TEST_F(ScheduleLoop, SlotMissedWhileAsleepFiresOnceAfterWaking) {
  clock->set(utc(2024, 5, 6, 1, 30));
  makeAndStart(Cadence::daily);
  sleep();
  clock->set(utc(2024, 5, 6, 9));  // the machine slept; no timer ran meanwhile
  wake();
  EXPECT_EQ(state(), State::running(RunTrigger::schedule)) << "the wake follow-up";
  advance(0);  // the loop's first pass after waking
  EXPECT_EQ(snapshot().scheduleAnchor, utc(2024, 5, 6, 9));
  EXPECT_EQ(snapshot().followUp, RunTrigger::schedule);
  succeed();
  EXPECT_EQ(state(), State::running(RunTrigger::schedule));
  succeed();
  EXPECT_EQ(state(), State::idle(utc(2024, 5, 7, 2)));
  advanceTo(utc(2024, 5, 7, 1, 59));
  EXPECT_EQ(runner.triggers().size(), 2u) << "the slots in between do not fire one by one";
}

TEST_F(ScheduleLoop, SlotWhileWaitingForTheUserIsIgnoredButTheAnchorMoves) {
  clock->set(utc(2024, 5, 6, 10, 20));
  makeAndStart(Cadence::hourly);
  request(RunTrigger::manual);
  fail(Situation::photosAccessMissing);
  advanceTo(utc(2024, 5, 6, 11, 0, 1));
  EXPECT_EQ(state(), State::waiting(Situation::photosAccessMissing, awaitingUserDate));
  EXPECT_EQ(snapshot().scheduleAnchor, utc(2024, 5, 6, 11));
  EXPECT_EQ(runner.triggers().size(), 1u);
}

TEST_F(ScheduleLoop, SlotDuringARunBecomesTheFollowUp) {
  clock->set(utc(2024, 5, 6, 10, 50));
  makeAndStart(Cadence::hourly);
  request(RunTrigger::manual);
  advanceTo(utc(2024, 5, 6, 11));
  EXPECT_EQ(snapshot().followUp, RunTrigger::schedule);
  succeed();
  EXPECT_EQ(state(), State::running(RunTrigger::schedule));
}

TEST_F(ScheduleLoop, ManualCadenceStopsTheLoopAndChangingBackCountsFromTheChange) {
  clock->set(utc(2024, 5, 6, 10, 20));
  makeAndStart(Cadence::hourly);
  setCadence(Cadence::manual);
  EXPECT_EQ(state(), State::idle());
  EXPECT_FALSE(snapshot().scheduleLoopActive);
  advanceTo(utc(2024, 5, 6, 12, 30));
  EXPECT_TRUE(runner.triggers().empty());
  setCadence(Cadence::hourly);
  EXPECT_EQ(state(), State::idle(utc(2024, 5, 6, 13)));
  EXPECT_EQ(snapshot().scheduleAnchor, utc(2024, 5, 6, 12, 30));
  advanceTo(utc(2024, 5, 6, 13));
  EXPECT_EQ(runner.triggers(), std::vector<RunTrigger>{RunTrigger::schedule});
}

TEST_F(ScheduleLoop, CadenceSetBeforeStartIsKept) {
  clock->set(utc(2024, 5, 6, 10, 20));
  make(Cadence::manual);
  setCadence(Cadence::daily);
  start();
  EXPECT_EQ(state(), State::idle(utc(2024, 5, 7, 2)));
}

TEST_F(ScheduleLoop, EachPassRereadsLowPowerMode) {
  clock->set(utc(2024, 5, 6, 10, 20));
  makeAndStart(Cadence::hourly);
  setLowPower(true, /*notify=*/false);
  advance(300);
  EXPECT_EQ(state(), State::paused(PauseReason::lowPower));
}

TEST_F(ScheduleLoop, DaylightSavingDayInBerlin) {
  options.timeZone = "Europe/Berlin";
  clock->set(utc(2024, 3, 31, 0, 30));  // 01:30 CET; 02:00 does not exist today
  makeAndStart(Cadence::hourly);
  EXPECT_EQ(state(), State::idle(utc(2024, 3, 31, 1)));  // 03:00 CEST
  advanceTo(utc(2024, 3, 31, 1));
  EXPECT_EQ(runner.triggers().size(), 1u);
  succeed();
  EXPECT_EQ(state(), State::idle(utc(2024, 3, 31, 2)));
}

struct CatchUp : ScheduleLoop {
  std::vector<std::string> lines;
  std::optional<Date> catchUp(std::vector<RunSummary> runs) {
    auto last = lastSyncRunEnd(runs);
    auto result = loop.run([this, last]() -> Async<std::optional<Date>> {
      co_return co_await launchCatchUp(*coordinator, *clock, last,
                                       [this](std::string_view line) { lines.emplace_back(line); });
    });
    loop.poll();
    return result;
  }
  static RunSummary run(RunTrigger trigger, Date ended) {
    RunSummary s;
    s.trigger = trigger;
    s.endedAt = ended;
    return s;
  }
};

TEST_F(CatchUp, MissedSlotIsLoggedAndRequestedOnce) {
  clock->set(utc(2024, 5, 6, 10, 30));
  makeAndStart(Cadence::hourly);
  // The verification that ended at 10:20 does not count.
  const auto due = catchUp({run(RunTrigger::schedule, utc(2024, 5, 6, 9, 10)),
                            run(RunTrigger::verify, utc(2024, 5, 6, 10, 20))});
  EXPECT_EQ(due, utc(2024, 5, 6, 10));
  EXPECT_EQ(lines, std::vector<std::string>{
                       "catch-up: a scheduled sync was missed (due 2024-05-06T10:00:00Z); running now"});
  EXPECT_EQ(state(), State::running(RunTrigger::schedule));
  EXPECT_EQ(runner.triggers().size(), 1u);
}

TEST_F(CatchUp, NothingWhenTheSlotIsStillAheadTheCadenceIsManualOrNothingRan) {
  clock->set(utc(2024, 5, 6, 10, 30));
  makeAndStart(Cadence::hourly);
  EXPECT_FALSE(catchUp({run(RunTrigger::change, utc(2024, 5, 6, 10, 5))}));
  EXPECT_FALSE(catchUp({run(RunTrigger::verify, utc(2024, 5, 6, 8))}));
  EXPECT_FALSE(catchUp({}));
  setCadence(Cadence::manual);
  EXPECT_FALSE(catchUp({run(RunTrigger::manual, utc(2024, 5, 1, 8))}));
  EXPECT_TRUE(lines.empty());
  EXPECT_TRUE(runner.triggers().empty());
}

TEST_F(CatchUp, SlotExactlyNowCounts) {
  clock->set(utc(2024, 5, 6, 10));
  makeAndStart(Cadence::manual);
  setCadence(Cadence::hourly);
  EXPECT_EQ(catchUp({run(RunTrigger::manual, utc(2024, 5, 6, 9, 10))}), utc(2024, 5, 6, 10));
}

}  // namespace
}  // namespace kv::test
