#pragma once
// A coordinator on the test loop and the manual clock, with the power,
// sleep-assertion and runner doubles, and one observer that records every
// state it receives.
#include <gtest/gtest.h>

#include "scheduler/SyncCoordinator.h"
#include "tests/support/ManualClock.h"
#include "tests/support/TestLoop.h"
#include "tests/support/scheduler/CountingSleepAssertion.h"
#include "tests/support/scheduler/FakePowerMonitor.h"
#include "tests/support/scheduler/ScriptedRunner.h"

namespace kv::test {

using State = CoordinatorState;

// 2023-11-14 22:13:20 UTC.
inline const Date kStart = fromUnixSeconds(1'700'000'000.0);

struct CoordinatorFixture : ::testing::Test {
  TestLoop loop;
  std::shared_ptr<ManualClock> clock = std::make_shared<ManualClock>(kStart);
  std::shared_ptr<FakePowerMonitor> power = std::make_shared<FakePowerMonitor>();
  std::shared_ptr<CountingSleepAssertion> assertion = std::make_shared<CountingSleepAssertion>();
  SignalStream library;
  SleepEventStream sleepEvents;
  ScriptedRunner runner;
  SchedulerOptions options = [] {
    SchedulerOptions o;
    o.timeZone = "UTC";
    return o;
  }();
  std::shared_ptr<SyncCoordinator> coordinator;
  std::vector<State> observed;
  bool observerEnded = false;
  AsyncStream<State> observer;

  void TearDown() override { destroy(); }

  void make(Cadence cadence) {
    coordinator = SyncCoordinator::make(loop.executor(), cadence, options, clock, power, assertion, library,
                                        sleepEvents, runner.runner());
  }
  void makeAndStart(Cadence cadence = Cadence::manual) {
    make(cadence);
    observe();
    start();
  }
  void destroy() {
    observer.cancel();
    coordinator.reset();
    runner.finishWindDown();
    loop.poll();
  }

  void observe() {
    observer = loop.run([c = coordinator]() -> Async<AsyncStream<State>> { co_return co_await c->states(); });
    Task<void>::spawn(loop.executor(), [this, stream = observer]() -> Async<void> {
      try {
        while (auto s = co_await stream.next()) observed.push_back(*s);
      } catch (...) {
      }
      observerEnded = true;
    });
    loop.poll();
  }

  template <class F>
  void call(F op) {
    loop.run([c = coordinator, op]() -> Async<void> { co_await op(*c); });
    loop.poll();
  }
  void start() { call([](SyncCoordinator& c) { return c.start(); }); }
  void stop() { call([](SyncCoordinator& c) { return c.stop(); }); }
  void request(RunTrigger t) { call([t](SyncCoordinator& c) { return c.request(t); }); }
  void pause() { call([](SyncCoordinator& c) { return c.pause(); }); }
  void resume() { call([](SyncCoordinator& c) { return c.resume(); }); }
  void setCadence(Cadence k) { call([k](SyncCoordinator& c) { return c.setCadence(k); }); }
  bool beginExternalRun() {
    const bool granted =
        loop.run([c = coordinator]() -> Async<bool> { co_return co_await c->beginExternalRun(); });
    loop.poll();
    return granted;
  }
  void endExternalRun() { call([](SyncCoordinator& c) { return c.endExternalRun(); }); }
  State state() {
    return loop.run([c = coordinator]() -> Async<State> { co_return co_await c->state(); });
  }
  SyncCoordinator::Snapshot snapshot() {
    return loop.run([c = coordinator]() -> Async<SyncCoordinator::Snapshot> { co_return co_await c->snapshot(); });
  }

  void sleep() { sendSleepEvent(SleepEvent::willSleep); }
  void wake() { sendSleepEvent(SleepEvent::didWake); }
  void sendSleepEvent(SleepEvent e) {
    sleepEvents.yield(e);
    loop.poll();
  }
  void libraryChange() {
    library.yield(Signal{});
    loop.poll();
  }
  void setLowPower(bool on, bool notify = true) {
    power->setLowPower(on, notify);
    loop.poll();
  }

  void succeed() {
    ASSERT_TRUE(runner.succeed()) << "no run in progress";
    loop.poll();
  }
  void fail(Situation s) {
    ASSERT_TRUE(runner.fail(s)) << "no run in progress";
    loop.poll();
  }
  void failWithoutSituation() {
    ASSERT_TRUE(runner.failWithoutSituation()) << "no run in progress";
    loop.poll();
  }

  void advance(double seconds) { clock->advance(Seconds(seconds), loop.drainer()); }
  Date at(double secondsFromStart) const { return addSeconds(kStart, Seconds(secondsFromStart)); }
  Date in(double seconds) const { return addSeconds(clock->now(), Seconds(seconds)); }
};

}  // namespace kv::test
