// Trailing-edge debouncing on the manual clock.
#include <gtest/gtest.h>

#include "scheduler/Debouncer.h"
#include "tests/support/ManualClock.h"
#include "tests/support/TestLoop.h"

namespace kv {
namespace {

using test::ManualClock;
using test::TestLoop;

struct DebouncerTest : ::testing::Test {
  TestLoop loop;
  std::shared_ptr<ManualClock> clock = std::make_shared<ManualClock>();
  SignalStream input;
  SignalStream output;
  std::vector<double> deliveredAt;  // seconds since the start
  bool outputEnded = false;
  Date start = clock->now();
  Task<void> consumer;

  void SetUp() override {
    output = Debouncer(Seconds(300), clock).debounce(loop.executor(), input);
    consumer = Task<void>::spawn(loop.executor(), [this]() -> Async<void> {
      while (auto e = co_await output.next()) deliveredAt.push_back(secondsBetween(start, clock->now()).count());
      outputEnded = true;
    });
    loop.poll();
  }
  void TearDown() override {
    output.cancel();
    input.finish();
    loop.poll();
  }
  void advanceTo(double t) { clock->advance(secondsBetween(clock->now(), addSeconds(start, Seconds(t))), loop.drainer()); }
  void change() {
    input.yield(Signal{});
    loop.poll();
  }
};

TEST_F(DebouncerTest, BurstYieldsOneEventAnIntervalAfterTheLastChange) {
  change();
  advanceTo(100);
  change();
  advanceTo(200);
  change();
  advanceTo(499);
  EXPECT_TRUE(deliveredAt.empty());
  advanceTo(500);
  EXPECT_EQ(deliveredAt, std::vector<double>({500}));
  advanceTo(2000);
  EXPECT_EQ(deliveredAt.size(), 1u);
}

TEST_F(DebouncerTest, SeparateBurstsYieldSeparateEvents) {
  change();
  advanceTo(310);
  change();
  advanceTo(1000);
  EXPECT_EQ(deliveredAt, std::vector<double>({300, 610}));
}

TEST_F(DebouncerTest, EndedInputStillDeliversTheTrailingEventThenEnds) {
  change();
  input.finish();
  loop.poll();
  EXPECT_FALSE(outputEnded);
  advanceTo(300);
  EXPECT_EQ(deliveredAt, std::vector<double>({300}));
  EXPECT_TRUE(outputEnded);
}

TEST_F(DebouncerTest, ConsumerEndingTheOutputStopsForwardingAndEndsTheInput) {
  change();
  output.cancel();
  loop.poll();
  EXPECT_TRUE(input.isTerminated());
  advanceTo(600);
  EXPECT_TRUE(deliveredAt.empty());
  EXPECT_EQ(clock->sleeperCount(), 0u);
}

}  // namespace
}  // namespace kv
