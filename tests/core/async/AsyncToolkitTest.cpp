// The async toolkit: tasks, cancellation, deadlines, streams, groups and the
// manual clock. These are the semantics every other subsystem relies on.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "core/async/Deadline.h"
#include "core/async/OneShot.h"
#include "core/async/Stream.h"
#include "core/async/Task.h"
#include "core/async/TaskGroup.h"
#include "tests/support/ManualClock.h"
#include "tests/support/TestLoop.h"

namespace kv {
namespace {

using test::ManualClock;
using test::TestLoop;
using namespace std::chrono_literals;

struct AsyncToolkit : ::testing::Test {
  TestLoop loop;
  std::shared_ptr<ManualClock> clock = std::make_shared<ManualClock>();
  void advance(double s) { clock->advance(Seconds(s), loop.drainer()); }
};

TEST_F(AsyncToolkit, SpawnDefersTheBodyUntilTheLoopRuns) {
  bool ran = false;
  auto t = Task<int>::spawn(loop.executor(), [&]() -> Async<int> {
    ran = true;
    co_return 7;
  });
  EXPECT_FALSE(ran);
  loop.poll();
  EXPECT_TRUE(ran);
  ASSERT_TRUE(t.isFinished());
  EXPECT_EQ(t.get(), 7);
}

TEST_F(AsyncToolkit, SeveralAwaitersGetTheSameResultOrError) {
  auto shared = Task<int>::spawn(loop.executor(), [c = clock]() -> Async<int> {
    co_await c->sleep(Seconds(5));
    co_return 42;
  });
  auto failing = Task<int>::spawn(loop.executor(), []() -> Async<int> {
    throw std::runtime_error("boom");
    co_return 0;
  });
  auto a = Task<int>::spawn(loop.executor(), [=]() -> Async<int> { co_return co_await shared.value(); });
  auto b = Task<int>::spawn(loop.executor(), [=]() -> Async<int> { co_return co_await shared.value(); });
  auto c = Task<int>::spawn(loop.executor(), [=]() -> Async<int> { co_return co_await failing.value(); });
  loop.poll();
  EXPECT_FALSE(a.isFinished());
  advance(5);
  EXPECT_EQ(a.get(), 42);
  EXPECT_EQ(b.get(), 42);
  EXPECT_THROW(c.get(), std::runtime_error);
}

TEST_F(AsyncToolkit, CancellingASleepingTaskThrowsFromTheSleep) {
  bool reachedEnd = false;
  auto t = Task<void>::spawn(loop.executor(), [&, c = clock]() -> Async<void> {
    co_await c->sleep(Seconds(100));
    reachedEnd = true;
  });
  loop.poll();
  EXPECT_EQ(clock->sleeperCount(), 1u);
  t.cancel();
  loop.poll();
  ASSERT_TRUE(t.isFinished());
  EXPECT_THROW(t.get(), CancelledError);
  EXPECT_FALSE(reachedEnd);
  EXPECT_EQ(clock->sleeperCount(), 0u);
}

TEST_F(AsyncToolkit, CancellationBeforeASleepStillThrowsAndCleanupCanAwait) {
  std::vector<std::string> steps;
  auto helper = Task<int>::spawn(loop.executor(), []() -> Async<int> { co_return 3; });
  auto t = Task<void>::spawn(loop.executor(), [&, c = clock]() -> Async<void> {
    try {
      co_await c->sleep(Seconds(1));
    } catch (const CancelledError&) {
      steps.push_back("sleep cancelled");
    }
    // Cleanup after a cancellation may still await other work.
    steps.push_back("cleanup got " + std::to_string(co_await helper.value()));
    EXPECT_TRUE(co_await isCancelled());
    EXPECT_THROW(co_await checkCancellation(), CancelledError);
  });
  t.cancel();  // before the body has even started
  loop.poll();
  ASSERT_TRUE(t.isFinished());
  EXPECT_NO_THROW(t.get());
  EXPECT_EQ(steps, (std::vector<std::string>{"sleep cancelled", "cleanup got 3"}));
}

TEST_F(AsyncToolkit, UncancellableCleanupCanSleepAfterCancellation) {
  bool cleaned = false;
  auto t = Task<void>::spawn(loop.executor(), [&, c = clock]() -> Async<void> {
    try {
      co_await c->sleep(Seconds(10));
    } catch (const CancelledError&) {
    }
    co_await uncancellable(co_await asio::this_coro::executor, [&, c]() -> Async<void> {
      co_await c->sleep(Seconds(1));
      cleaned = true;
    });
  });
  loop.poll();
  t.cancel();
  loop.poll();
  EXPECT_FALSE(t.isFinished());
  advance(1);
  EXPECT_TRUE(cleaned);
  EXPECT_TRUE(t.isFinished());
}

TEST_F(AsyncToolkit, DeadlineRacesBothWays) {
  struct Case {
    const char* name;
    double opSeconds;
    double limit;
    int expected;
    bool opCancelled;
  };
  const Case cases[] = {
      {"operation first", 1, 5, 1, false},
      {"deadline first", 10, 5, -1, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    auto opWasCancelled = std::make_shared<bool>(false);
    auto clk = clock;
    auto t = Task<int>::spawn(loop.executor(), [=]() -> Async<int> {
      co_return co_await withDeadline<int>(clk, Seconds(c.limit), -1, [=]() -> Async<int> {
        try {
          co_await clk->sleep(Seconds(c.opSeconds));
        } catch (const CancelledError&) {
          *opWasCancelled = true;
          throw;
        }
        co_return 1;
      });
    });
    loop.poll();
    advance(std::min(c.opSeconds, c.limit));
    ASSERT_TRUE(t.isFinished());
    EXPECT_EQ(t.get(), c.expected);
    EXPECT_EQ(*opWasCancelled, c.opCancelled);
    EXPECT_EQ(clock->sleeperCount(), 0u) << "the losing side is not left sleeping";
  }
}

TEST_F(AsyncToolkit, DeadlinePassesOnTheOperationsError) {
  auto clk = clock;
  auto t = Task<bool>::spawn(loop.executor(), [=]() -> Async<bool> {
    co_return co_await withDeadline<bool>(clk, Seconds(5), false, []() -> Async<bool> {
      throw std::runtime_error("operation failed");
      co_return true;
    });
  });
  loop.poll();
  ASSERT_TRUE(t.isFinished());
  EXPECT_THROW(t.get(), std::runtime_error);
}

TEST_F(AsyncToolkit, DeadlineForAnOperationWithoutValue) {
  auto clk = clock;
  auto t = Task<bool>::spawn(loop.executor(), [=]() -> Async<bool> {
    co_return co_await withDeadline(clk, Seconds(2), [=]() -> Async<void> { co_await clk->sleep(Seconds(3)); });
  });
  loop.poll();
  advance(2);
  ASSERT_TRUE(t.isFinished());
  EXPECT_FALSE(t.get());
}

TEST_F(AsyncToolkit, OneShotFirstResumeWinsFromAnyThread) {
  auto shot = std::make_shared<OneShot<int>>();
  std::atomic<int> wins{0};
  std::vector<std::thread> threads;
  for (int i = 0; i < 8; ++i) {
    threads.emplace_back([&, i] {
      if (shot->resume(i)) ++wins;
    });
  }
  for (auto& th : threads) th.join();
  EXPECT_EQ(wins.load(), 1);
  int got = loop.run([shot]() -> Async<int> { co_return co_await shot->wait(); });
  EXPECT_GE(got, 0);
  EXPECT_LT(got, 8);
  EXPECT_FALSE(shot->resume(99));
}

TEST_F(AsyncToolkit, NewestOnlyStreamDropsOlderValues) {
  AsyncStream<int> s(StreamBuffering::newestOnly);
  EXPECT_TRUE(s.yield(1));
  EXPECT_TRUE(s.yield(2));
  EXPECT_TRUE(s.yield(3));
  auto first = loop.run([s]() -> Async<std::optional<int>> { co_return co_await s.next(); });
  EXPECT_EQ(first, 3);
  s.finish();
  EXPECT_FALSE(s.yield(4));
  auto end = loop.run([s]() -> Async<std::optional<int>> { co_return co_await s.next(); });
  EXPECT_EQ(end, std::nullopt);
}

TEST_F(AsyncToolkit, UnboundedStreamDeliversEverythingThenTheError) {
  AsyncStream<int> s;
  std::vector<int> got;
  auto consumer = Task<void>::spawn(loop.executor(), [&, s]() -> Async<void> {
    while (auto v = co_await s.next()) got.push_back(*v);
  });
  loop.poll();
  std::thread producer([s] {
    for (int i = 0; i < 1000; ++i) s.yield(i);
    s.finish(std::make_exception_ptr(std::runtime_error("source failed")));
  });
  producer.join();
  loop.runUntil([&] { return consumer.isFinished(); });
  EXPECT_THROW(consumer.get(), std::runtime_error);
  ASSERT_EQ(got.size(), 1000u);
  for (int i = 0; i < 1000; ++i) EXPECT_EQ(got[i], i);
}

TEST_F(AsyncToolkit, ConsumerCancellationEndsTheStreamForTheProducer) {
  AsyncStream<int> s;
  bool terminated = false;
  s.onTermination([&] { terminated = true; });
  auto consumer = Task<void>::spawn(loop.executor(), [s]() -> Async<void> {
    for (;;) {
      if (!co_await s.next()) co_return;
    }
  });
  loop.poll();
  consumer.cancel();
  loop.poll();
  ASSERT_TRUE(consumer.isFinished());
  EXPECT_THROW(consumer.get(), CancelledError);
  EXPECT_TRUE(terminated);
  EXPECT_TRUE(s.isTerminated());
  EXPECT_FALSE(s.yield(1));
}

TEST_F(AsyncToolkit, GroupFirstErrorCancelsSiblingsAndWaitsForThem) {
  auto clk = clock;
  auto siblingsCancelled = std::make_shared<std::atomic<int>>(0);
  auto t = Task<void>::spawn(loop.executor(), [=]() -> Async<void> {
    TaskGroup group(co_await asio::this_coro::executor);
    for (int i = 0; i < 3; ++i) {
      group.spawn([=]() -> Async<void> {
        try {
          co_await clk->sleep(Seconds(100));
        } catch (const CancelledError&) {
          ++*siblingsCancelled;
          throw;
        }
      });
    }
    group.spawn([=]() -> Async<void> {
      co_await clk->sleep(Seconds(1));
      throw std::runtime_error("worker failed");
    });
    co_await group.wait();
  });
  loop.poll();
  advance(1);
  ASSERT_TRUE(t.isFinished());
  EXPECT_THROW(t.get(), std::runtime_error);
  EXPECT_EQ(siblingsCancelled->load(), 3);
}

TEST_F(AsyncToolkit, CancellingTheParentCancelsTheGroup) {
  auto clk = clock;
  auto ended = std::make_shared<std::atomic<int>>(0);
  auto t = Task<void>::spawn(loop.executor(), [=]() -> Async<void> {
    TaskGroup group(co_await asio::this_coro::executor);
    for (int i = 0; i < 4; ++i) {
      group.spawn([=]() -> Async<void> {
        try {
          co_await clk->sleep(Seconds(100));
        } catch (...) {
          ++*ended;
          throw;
        }
      });
    }
    co_await group.wait();
  });
  loop.poll();
  t.cancel();
  loop.poll();
  ASSERT_TRUE(t.isFinished());
  EXPECT_THROW(t.get(), CancelledError);
  EXPECT_EQ(ended->load(), 4);
}

TEST_F(AsyncToolkit, OnStrandSerialisesAndPassesCancellationOn) {
  auto strand = makeStrand(loop.executor());
  auto clk = clock;
  auto inner = std::make_shared<bool>(false);
  auto t = Task<void>::spawn(loop.executor(), [=]() -> Async<void> {
    co_await onStrand(strand, [=]() -> Async<void> {
      try {
        co_await clk->sleep(Seconds(50));
      } catch (const CancelledError&) {
        *inner = true;
        throw;
      }
    });
  });
  loop.poll();
  t.cancel();
  loop.poll();
  ASSERT_TRUE(t.isFinished());
  EXPECT_THROW(t.get(), CancelledError);
  EXPECT_TRUE(*inner);
}

TEST_F(AsyncToolkit, ManualClockWakesInDeadlineOrderAndLetsTasksSleepAgain) {
  std::vector<std::pair<int, double>> wakes;
  auto clk = clock;
  const Date start = clock->now();
  for (int id : {1, 2}) {
    Task<void>::spawn(loop.executor(), [=, &wakes]() -> Async<void> {
      for (int i = 0; i < 3; ++i) {
        co_await clk->sleep(Seconds(id == 1 ? 10 : 15));
        wakes.emplace_back(id, secondsBetween(start, clk->now()).count());
      }
    });
  }
  loop.poll();
  advance(45);
  // At 30 s both are due; the one that went to sleep first (task 2, at 15 s) wakes first.
  const std::vector<std::pair<int, double>> expected = {{1, 10}, {2, 15}, {1, 20}, {2, 30}, {1, 30}, {2, 45}};
  EXPECT_EQ(wakes, expected);
  EXPECT_DOUBLE_EQ(secondsBetween(start, clock->now()).count(), 45);
}

TEST(SystemClockTest, SleepsForRealAndCanBeCancelled) {
  TestLoop loop;
  auto clk = std::make_shared<SystemClock>();
  const auto t0 = std::chrono::steady_clock::now();
  loop.run([clk]() -> Async<void> { co_await clk->sleep(Seconds(0.05)); });
  EXPECT_GE(std::chrono::steady_clock::now() - t0, 45ms);

  auto t = Task<void>::spawn(loop.executor(), [clk]() -> Async<void> { co_await clk->sleep(Seconds(30)); });
  loop.poll();
  t.cancel();
  loop.runUntil([&] { return t.isFinished(); }, 2s);
  EXPECT_THROW(t.get(), CancelledError);
}

TEST(IsCancellation, RecognisesBothFormsAndNestedOnes) {
  EXPECT_TRUE(isCancellation(std::make_exception_ptr(CancelledError())));
  EXPECT_TRUE(isCancellation(std::make_exception_ptr(std::system_error(asio::error::operation_aborted))));
  EXPECT_FALSE(isCancellation(std::make_exception_ptr(std::runtime_error("x"))));
  EXPECT_FALSE(isCancellation(std::exception_ptr()));
  std::exception_ptr nested;
  try {
    try {
      throw CancelledError();
    } catch (...) {
      std::throw_with_nested(std::runtime_error("wrapped"));
    }
  } catch (...) {
    nested = std::current_exception();
  }
  EXPECT_TRUE(isCancellation(nested));
}

}  // namespace
}  // namespace kv
