#include "naslink/NASLink.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "core/async/Task.h"
#include "naslink/MountStatus.h"
#include "naslink/BackgroundCall.h"
#include "naslink/NASLinkError.h"
#include "naslink/NetFSShareMounter.h"
#include "tests/support/ManualClock.h"
#include "tests/support/TestLoop.h"
#include "tests/support/naslink/FakeMountService.h"
#include "tests/support/naslink/FakeTunnel.h"

namespace kv {
namespace {

namespace fs = std::filesystem;

NASConfig config() {
  NASConfig c;
  c.molerunAddr = "secret-host";
  c.smbShare = "photos";
  c.destSubdir = "Archive/Kelvane";
  c.localPort = 4450;
  c.remoteSMB = "445";
  return c;
}

class NASLinkTest : public ::testing::Test {
 protected:
  void SetUp() override {
    root = fs::temp_directory_path() / ("kv-naslink-" + std::to_string(::getpid()) + "-" +
                                        ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(root);
    mounter = std::make_shared<NetFSShareMounter>(service, clock, root / "mounts");
    link = std::make_shared<NASLink>(loop.executor(), tunnel, mounter, clock);
  }
  void TearDown() override {
    service->releaseListings();
    // Background calls resume on the loop: let them end before it goes.
    loop.runUntil([] { return backgroundCallsRunning() == 0; }, std::chrono::seconds(10));
    loop.poll();
    fs::remove_all(root);
  }

  Task<fs::path> startConnect() {
    return Task<fs::path>::spawn(loop.executor(), [l = link]() -> Async<fs::path> {
      co_return co_await l->connect(config(), NASCredentials{"anna", "pw"});
    });
  }
  void disconnect() {
    loop.run([l = link]() -> Async<void> { co_await l->disconnect(); });
  }
  NASStatus status() {
    return loop.run([l = link]() -> Async<NASStatus> { co_return co_await l->status(Seconds(10)); });
  }
  static NASLinkError::Case failure(const Task<fs::path>& t) {
    try {
      t.get();
    } catch (const NASLinkError& e) {
      return e.kind();
    }
    throw std::runtime_error("no NASLinkError");
  }
  fs::path point() const { return root / "mounts" / "photos"; }

  fs::path root;
  test::TestLoop loop;
  std::shared_ptr<test::ManualClock> clock = std::make_shared<test::ManualClock>();
  std::shared_ptr<test::FakeMountService> service = std::make_shared<test::FakeMountService>();
  std::shared_ptr<test::FakeTunnel> tunnel = std::make_shared<test::FakeTunnel>();
  std::shared_ptr<NetFSShareMounter> mounter;
  std::shared_ptr<NASLink> link;
};

TEST_F(NASLinkTest, ConnectMountsAndCreatesTheDestination) {
  service->answer = 0;
  auto t = startConnect();
  loop.runUntil([&] { return t.isFinished(); });
  EXPECT_EQ(t.get(), point() / "Archive/Kelvane");
  EXPECT_TRUE(fs::is_directory(point() / "Archive/Kelvane"));
  EXPECT_EQ(status(), (NASStatus{true, true, true, point()}));
}

TEST_F(NASLinkTest, ConnectOnALinkThatIsUpReusesTheMount) {
  service->answer = 0;
  auto first = startConnect();
  loop.runUntil([&] { return first.isFinished(); });
  auto second = startConnect();
  loop.runUntil([&] { return second.isFinished(); });
  EXPECT_EQ(second.get(), point() / "Archive/Kelvane");
  EXPECT_EQ(service->mountCalls().size(), 1u);
  EXPECT_TRUE(service->unmounts().empty());
}

TEST_F(NASLinkTest, AStaleMountIsForcedAwayBeforeAFreshMount) {
  service->addMount(point().string());
  service->hangListings();
  service->answer = 0;
  auto t = startConnect();
  loop.runUntil([&] { return service->listings() == 1; });
  clock->advance(Seconds(10), loop.drainer());
  loop.runUntil([&] { return t.isFinished(); });
  EXPECT_EQ(t.get(), point() / "Archive/Kelvane");
  EXPECT_EQ(service->unmounts(), (std::vector<std::pair<std::string, bool>>{{point().string(), true}}));
  EXPECT_EQ(service->mountCalls().size(), 1u) << "mounted afresh, not reused";
}

TEST_F(NASLinkTest, DisconnectWhileWaitingForTheTunnelRollsBack) {
  tunnel->closeGate();
  auto t = startConnect();
  loop.runUntil([&] { return tunnel->starts() == 1; });
  disconnect();
  tunnel->openGate();
  loop.runUntil([&] { return t.isFinished(); });
  EXPECT_EQ(failure(t), NASLinkError::Case::disconnectedDuringConnect);
  EXPECT_TRUE(service->mountCalls().empty());
  EXPECT_EQ(status().mountPoint, std::nullopt);
}

TEST_F(NASLinkTest, DisconnectWhileMountingUndoesTheMount) {
  auto t = startConnect();  // the fake holds the mount's completion
  loop.runUntil([&] { return service->mountCalls().size() == 1; });
  disconnect();
  service->complete(0);
  loop.runUntil([&] { return t.isFinished(); });
  EXPECT_EQ(failure(t), NASLinkError::Case::disconnectedDuringConnect);
  EXPECT_TRUE(service->mountTable().empty()) << "the late mount was unmounted again";
  auto s = status();
  EXPECT_FALSE(s.mounted);
  EXPECT_EQ(s.mountPoint, std::nullopt);
  EXPECT_EQ(tunnel->stops(), 1);
}

TEST_F(NASLinkTest, DisconnectUnmountsThenStopsTheTunnel) {
  service->answer = 0;
  auto t = startConnect();
  loop.runUntil([&] { return t.isFinished(); });
  disconnect();
  EXPECT_TRUE(service->mountTable().empty());
  EXPECT_EQ(tunnel->stops(), 1);
  EXPECT_EQ(status(), (NASStatus{false, false, false, std::nullopt}));
}

TEST_F(NASLinkTest, TunnelAndMountErrorsPassThrough) {
  tunnel->failStarts(NASLinkError::tunnelTimeout("never listened"));
  auto a = startConnect();
  loop.runUntil([&] { return a.isFinished(); });
  EXPECT_EQ(failure(a), NASLinkError::Case::tunnelTimeout);
  EXPECT_TRUE(service->mountCalls().empty());

  tunnel->failStarts(std::nullopt);
  service->answer = kMountStatusAuthRejected;
  auto b = startConnect();
  loop.runUntil([&] { return b.isFinished(); });
  EXPECT_EQ(failure(b), NASLinkError::Case::authenticationRejected);
}

TEST_F(NASLinkTest, ADestinationThatCannotBeMadeKeepsTheShareMounted) {
  service->answer = 0;
  fs::create_directories(point());
  std::ofstream(point() / "Archive") << "a file in the way";
  auto t = startConnect();
  loop.runUntil([&] { return t.isFinished(); });
  try {
    t.get();
    FAIL() << "expected destinationCreateFailed";
  } catch (const NASLinkError& e) {
    EXPECT_EQ(e.kind(), NASLinkError::Case::destinationCreateFailed);
    EXPECT_EQ(e.situation(), Situation::nasUnreachable);
    EXPECT_EQ(e.detail().rfind("could not create the destination folder: ", 0), 0u) << e.detail();
  }
  EXPECT_TRUE(status().mounted);
}

TEST_F(NASLinkTest, StatusOfAHungShareIsUnhealthyAfterTheTimeout) {
  service->answer = 0;
  auto t = startConnect();
  loop.runUntil([&] { return t.isFinished(); });
  service->hangListings();
  auto st = Task<NASStatus>::spawn(loop.executor(),
                                   [l = link]() -> Async<NASStatus> { co_return co_await l->status(Seconds(3)); });
  loop.runUntil([&] { return service->listings() == 1; });
  clock->advance(Seconds(3), loop.drainer());
  loop.runUntil([&] { return st.isFinished(); });
  EXPECT_EQ(st.get(), (NASStatus{true, true, false, point()}));
}

TEST_F(NASLinkTest, ATunnelFailureCausedByADisconnectIsReportedAsTheDisconnect) {
  // The disconnect stops the helper the start was waiting for; the start then
  // fails, but the disconnect is what happened.
  tunnel->closeGate();
  tunnel->failStarts(NASLinkError::tunnelExited(15, "molerun exited (status 15)"));
  auto t = startConnect();
  loop.runUntil([&] { return tunnel->starts() == 1; });
  disconnect();
  tunnel->openGate();
  loop.runUntil([&] { return t.isFinished(); });
  EXPECT_EQ(failure(t), NASLinkError::Case::disconnectedDuringConnect);
}

TEST_F(NASLinkTest, AMountFailureCausedByADisconnectIsReportedAsTheDisconnect) {
  auto t = startConnect();
  loop.runUntil([&] { return service->mountCalls().size() == 1; });
  disconnect();
  service->complete(ECONNREFUSED);  // the tunnel it used is gone
  loop.runUntil([&] { return t.isFinished(); });
  EXPECT_EQ(failure(t), NASLinkError::Case::disconnectedDuringConnect);
  EXPECT_FALSE(status().mounted);
}

TEST_F(NASLinkTest, ACancelledConnectAbandonsItsMountRequest) {
  // The tunnel start does not notice the cancellation; the mount does and
  // cancels the mounting service's request.
  tunnel->closeGate();
  auto t = startConnect();
  loop.runUntil([&] { return tunnel->starts() == 1; });
  t.cancel();
  tunnel->openGate();
  loop.runUntil([&] { return t.isFinished(); });
  try {
    t.get();
    FAIL() << "the connect succeeded";
  } catch (const NASLinkError& e) {
    EXPECT_EQ(e.kind(), NASLinkError::Case::mountFailed);
    EXPECT_EQ(e.code(), kMountStatusCancelled);
  }
  EXPECT_EQ(service->cancelled().size(), 1u);
  EXPECT_TRUE(service->mountTable().empty());
}

}  // namespace
}  // namespace kv
