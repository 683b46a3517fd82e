// The coordinator's published values: state equality, pause priority, which
// situations retry on their own, and the cadence's stored strings.
#include <gtest/gtest.h>

#include "scheduler/Cadence.h"
#include "scheduler/CoordinatorState.h"

namespace kv {
namespace {

using S = CoordinatorState;

TEST(CoordinatorState, EqualityComparesCaseAndPayloadsExactly) {
  const Date t = fromUnixSeconds(1'700'000'000.0);
  EXPECT_EQ(S::idle(), S::idle(std::nullopt));
  EXPECT_NE(S::idle(), S::idle(t));
  EXPECT_EQ(S::idle(t), S::idle(t));
  EXPECT_NE(S::idle(t), S::idle(t + std::chrono::nanoseconds(1)));
  EXPECT_NE(S::running(RunTrigger::manual), S::running(RunTrigger::change));
  EXPECT_NE(S::paused(PauseReason::user), S::paused(PauseReason::lowPower));
  EXPECT_EQ(S::waiting(Situation::shareFull, awaitingUserDate), S::waiting(Situation::shareFull, awaitingUserDate));
  EXPECT_NE(S::waiting(Situation::nasUnreachable, t), S::waiting(Situation::configUnavailable, t));
  EXPECT_NE(S::waiting(Situation::nasUnreachable, t), S::waiting(Situation::nasUnreachable, awaitingUserDate));
  EXPECT_TRUE(S::waiting(Situation::shareFull, awaitingUserDate).isAwaitingUser());
  EXPECT_FALSE(S::waiting(Situation::nasUnreachable, t).isAwaitingUser());
  EXPECT_GT(awaitingUserDate, fromUnixSeconds(4'000'000'000.0));
}

TEST(CoordinatorState, DescribesEachCase) {
  EXPECT_EQ(describe(S::idle()), "idle(no nextRun)");
  EXPECT_EQ(describe(S::idle(fromUnixSeconds(12.5))), "idle(nextRun: 12.500)");
  EXPECT_EQ(describe(S::running(RunTrigger::verify)), "running(verify)");
  EXPECT_EQ(describe(S::paused(PauseReason::systemSleep)), "paused(systemSleep)");
  EXPECT_EQ(describe(S::waiting(Situation::shareFull, awaitingUserDate)), "waiting(shareFull, awaiting user)");
}

TEST(PauseReason, ReportedByPriorityUserThenLowPowerThenSleep) {
  struct Row {
    bool user, lowPower, asleep;
    std::optional<PauseReason> expected;
  };
  const Row rows[] = {
      {false, false, false, std::nullopt},
      {true, true, true, PauseReason::user},
      {true, false, false, PauseReason::user},
      {false, true, true, PauseReason::lowPower},
      {false, false, true, PauseReason::systemSleep},
      {true, false, true, PauseReason::user},
  };
  for (const auto& r : rows) {
    EXPECT_EQ(pauseReasonByPriority(r.user, r.lowPower, r.asleep), r.expected)
        << r.user << r.lowPower << r.asleep;
  }
  EXPECT_EQ(storedString(PauseReason::lowPower), "lowPower");
  EXPECT_EQ(storedString(PauseReason::systemSleep), "systemSleep");
}

TEST(RetriesAutomatically, OnlyConfigurationReachabilityAndICloud) {
  for (Situation s : allCases<Situation>()) {
    const bool expected = s == Situation::configUnavailable || s == Situation::nasUnreachable ||
                          s == Situation::icloudDownloadFailing;
    EXPECT_EQ(retriesAutomatically(s), expected) << storedString(s);
  }
}

TEST(Cadence, StoredStringsAndUnknownValuesReadAsDaily) {
  struct Row {
    std::optional<std::string_view> stored;
    Cadence expected;
  };
  const Row rows[] = {
      {"hourly", Cadence::hourly}, {"daily", Cadence::daily}, {"manual", Cadence::manual},
      {std::nullopt, Cadence::daily}, {"", Cadence::daily},   {"Hourly", Cadence::daily},
      {"weekly", Cadence::daily},
  };
  for (const auto& r : rows) EXPECT_EQ(cadenceFromStored(r.stored), r.expected) << r.stored.value_or("<none>");
  EXPECT_EQ(storedString(Cadence::manual), "manual");
}

}  // namespace
}  // namespace kv
