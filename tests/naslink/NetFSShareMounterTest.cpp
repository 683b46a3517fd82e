#include "naslink/NetFSShareMounter.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "core/async/Task.h"
#include "naslink/MountRequest.h"
#include "naslink/MountStatus.h"
#include "naslink/BackgroundCall.h"
#include "naslink/NASLinkError.h"
#include "tests/support/ManualClock.h"
#include "tests/support/TestLoop.h"
#include "tests/support/naslink/FakeMountService.h"

namespace kv {
namespace {

namespace fs = std::filesystem;
using test::FakeMountService;

NASConfig config() {
  NASConfig c;
  c.molerunAddr = "secret-host";
  c.smbShare = "photos";
  c.destSubdir = "Kelvane";
  c.localPort = 4450;
  c.remoteSMB = "445";
  return c;
}

class MounterTest : public ::testing::Test {
 protected:
  void SetUp() override {
    root = fs::temp_directory_path() / ("kv-mounter-" + std::to_string(::getpid()) + "-" +
                                        ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(root);
    mounter = std::make_shared<NetFSShareMounter>(service, clock, root / "mounts");
  }
  void TearDown() override {
    service->releaseListings();
    // Background calls resume on the loop: let them end before it goes.
    loop.runUntil([] { return backgroundCallsRunning() == 0; }, std::chrono::seconds(10));
    loop.poll();
    fs::remove_all(root);
  }

  // Starts a mount in the background.
  Task<fs::path> startMount() {
    return Task<fs::path>::spawn(loop.executor(), [m = mounter]() -> Async<fs::path> {
      co_return co_await m->mount(config(), NASCredentials{"anna", "pw"});
    });
  }

  // The NASLinkError a finished task ended with.
  static NASLinkError errorOf(const Task<fs::path>& t) {
    try {
      t.get();
    } catch (const NASLinkError& e) {
      return e;
    }
    throw std::runtime_error("the mount did not fail with a NASLinkError");
  }

  fs::path root;
  test::TestLoop loop;
  std::shared_ptr<test::ManualClock> clock = std::make_shared<test::ManualClock>();
  std::shared_ptr<FakeMountService> service = std::make_shared<FakeMountService>();
  std::shared_ptr<NetFSShareMounter> mounter;
};

TEST_F(MounterTest, MountsAtRootSlashShareWithTheGivenLogin) {
  service->answer = 0;
  const fs::path point = loop.run([m = mounter]() -> Async<fs::path> {
    co_return co_await m->mount(config(), NASCredentials{"anna", "pw"});
  });
  EXPECT_EQ(point, root / "mounts" / "photos");
  EXPECT_TRUE(fs::is_directory(point));
  auto calls = service->mountCalls();
  ASSERT_EQ(calls.size(), 1u);
  EXPECT_EQ(calls[0].url, (SMBURL{"localhost", 4450, "photos"}));
  EXPECT_EQ(calls[0].url.text(), "smb://localhost:4450/photos");
  EXPECT_EQ(calls[0].mountPoint, point.string());
  EXPECT_EQ(calls[0].user, "anna");
  EXPECT_EQ(calls[0].password, "pw");
}

TEST_F(MounterTest, AnExistingMountIsReusedWithoutAskingTheService) {
  service->addMount((root / "mounts" / "photos").string());
  const fs::path point = loop.run([m = mounter]() -> Async<fs::path> {
    co_return co_await m->mount(config(), NASCredentials{"anna", "pw"});
  });
  EXPECT_EQ(point, root / "mounts" / "photos");
  EXPECT_TRUE(service->mountCalls().empty());
}

TEST_F(MounterTest, StatusesMapToErrors) {
  struct Row {
    const char* name;
    int status;
    NASLinkError::Case kind;
    int code;
  };
  const std::vector<Row> rows = {
      {"rejected login", kMountStatusAuthRejected, NASLinkError::Case::authenticationRejected, 0},
      {"refused", ECONNREFUSED, NASLinkError::Case::mountFailed, ECONNREFUSED},
      {"no such share", ENOENT, NASLinkError::Case::mountFailed, ENOENT},
  };
  for (const auto& r : rows) {
    service->answer = r.status;
    auto t = startMount();
    loop.runUntil([&] { return t.isFinished(); });
    auto e = errorOf(t);
    EXPECT_EQ(e.kind(), r.kind) << r.name;
    if (r.kind == NASLinkError::Case::mountFailed) {
      EXPECT_EQ(e.code(), r.code) << r.name;
      EXPECT_EQ(e.text(), std::generic_category().message(r.code)) << r.name;
    }
  }
}

TEST_F(MounterTest, AStatusReturnedByTheCallItselfFailsTheMount) {
  service->startStatus = EINVAL;
  auto t = startMount();
  loop.runUntil([&] { return t.isFinished(); });
  EXPECT_EQ(errorOf(t).code(), EINVAL);
  EXPECT_EQ(clock->sleeperCount(), 0u) << "the watchdog must end with the mount";
}

TEST_F(MounterTest, AMountPointThatCannotBeCreatedIsMountFailedMinusOne) {
  fs::create_directories(root);
  std::ofstream(root / "mounts") << "a file where the root should be";
  auto t = startMount();
  loop.runUntil([&] { return t.isFinished(); });
  auto e = errorOf(t);
  EXPECT_EQ(e.kind(), NASLinkError::Case::mountFailed);
  EXPECT_EQ(e.code(), -1);
  EXPECT_EQ(e.text().rfind("cannot create mount point: ", 0), 0u) << e.text();
  EXPECT_TRUE(service->mountCalls().empty());
}

TEST_F(MounterTest, WatchdogCancelsARequestThatNeverAnswers) {
  auto t = startMount();  // the fake holds the completion
  loop.poll();
  ASSERT_EQ(service->mountCalls().size(), 1u);
  clock->advance(Seconds(59.9), loop.drainer());
  EXPECT_FALSE(t.isFinished());
  clock->advance(Seconds(0.2), loop.drainer());
  loop.runUntil([&] { return t.isFinished(); });
  auto e = errorOf(t);
  EXPECT_EQ(e.kind(), NASLinkError::Case::mountFailed);
  EXPECT_EQ(e.code(), kMountStatusTimedOut);
  EXPECT_EQ(service->cancelled(), std::vector<MountService::RequestID>{service->mountCalls()[0].id});
}

TEST_F(MounterTest, ACompletionAfterTheWatchdogIsIgnored) {
  service->cancelCompletes = false;  // the late answer is a success
  auto t = startMount();
  loop.poll();
  clock->advance(Seconds(60), loop.drainer());
  loop.runUntil([&] { return t.isFinished(); });
  EXPECT_TRUE(service->complete(0));
  loop.poll();
  EXPECT_EQ(errorOf(t).code(), kMountStatusTimedOut);
}

TEST_F(MounterTest, ACompletionBeforeTheWatchdogWinsAndEndsTheWatchdog) {
  auto t = startMount();
  loop.poll();
  EXPECT_EQ(clock->sleeperCount(), 1u);
  service->complete(0);
  loop.runUntil([&] { return t.isFinished(); });
  EXPECT_EQ(t.get(), root / "mounts" / "photos");
  loop.poll();
  EXPECT_EQ(clock->sleeperCount(), 0u);
  EXPECT_TRUE(service->cancelled().empty());
}

TEST_F(MounterTest, CancellingTheCallerCancelsTheRequest) {
  service->cancelCompletes = false;
  auto t = startMount();
  loop.poll();
  t.cancel();
  loop.runUntil([&] { return t.isFinished(); });
  auto e = errorOf(t);
  EXPECT_EQ(e.code(), kMountStatusCancelled);
  EXPECT_EQ(service->cancelled().size(), 1u);
}

TEST(MountRequestTest, AnEarlyStatusIsDeliveredWhenTheWaiterArrives) {
  test::TestLoop loop;
  auto req = std::make_shared<MountRequest>();
  EXPECT_FALSE(req->finish(kMountStatusCancelled, true).has_value()) << "no id known yet";
  EXPECT_TRUE(req->setRequestID(7)) << "aborted before the id was known: the caller cancels";
  const int status = loop.run([req]() -> Async<int> { co_return co_await req->wait(nullptr); });
  EXPECT_EQ(status, kMountStatusCancelled);
}

TEST(MountRequestTest, TheFirstStatusWins) {
  auto req = std::make_shared<MountRequest>();
  EXPECT_FALSE(req->setRequestID(3));
  EXPECT_EQ(req->finish(0, false), std::optional<MountRequest::RequestID>(3));
  EXPECT_FALSE(req->finish(kMountStatusTimedOut, true).has_value());
  EXPECT_EQ(req->decidedStatus(), 0);
  EXPECT_FALSE(req->wasAborted());
  EXPECT_FALSE(req->setRequestID(3)) << "finished by the service, not aborted";
}

TEST(MountRequestTest, ACancelledWaiterDecidesCancelledAndReportsTheID) {
  test::TestLoop loop;
  auto req = std::make_shared<MountRequest>();
  req->setRequestID(9);
  auto seen = std::make_shared<std::optional<MountRequest::RequestID>>();
  auto t = Task<int>::spawn(loop.executor(), [req, seen]() -> Async<int> {
    co_return co_await req->wait([seen](MountRequest::RequestID id) { *seen = id; });
  });
  loop.poll();
  t.cancel();
  loop.runUntil([&] { return t.isFinished(); });
  EXPECT_EQ(t.get(), kMountStatusCancelled);
  EXPECT_EQ(*seen, std::optional<MountRequest::RequestID>(9));
  EXPECT_TRUE(req->wasAborted());
}

TEST_F(MounterTest, UnmountTouchesOnlyMountsBelowTheRoot) {
  const std::string mine = (root / "mounts" / "photos").string();
  const std::string sibling = (root / "mounts-other" / "x").string();  // same prefix, not below the root
  service->addMount("/media/usb");
  service->addMount(sibling);
  service->addMount(mine);
  loop.run([m = mounter]() -> Async<void> { co_await m->unmount(); });
  EXPECT_EQ(service->unmounts(), (std::vector<std::pair<std::string, bool>>{{mine, true}}));
  EXPECT_EQ(service->mountTable(), (std::vector<std::string>{"/media/usb", sibling}));
}

TEST_F(MounterTest, UnmountWithNothingMountedDoesNothing) {
  service->addMount((root / "mounts").string());  // the root itself is not below the root
  loop.run([m = mounter]() -> Async<void> { co_await m->unmount(); });
  EXPECT_TRUE(service->unmounts().empty());
}

TEST_F(MounterTest, HealthWithoutAMountIsFalseWithoutListing) {
  EXPECT_FALSE(loop.run([m = mounter]() -> Async<bool> { co_return co_await m->isHealthy(Seconds(5)); }));
  EXPECT_EQ(service->listings(), 0u);
}

TEST_F(MounterTest, HealthFollowsTheListing) {
  service->addMount((root / "mounts" / "photos").string());
  EXPECT_TRUE(loop.run([m = mounter]() -> Async<bool> { co_return co_await m->isHealthy(Seconds(5)); }));
  service->listingSucceeds = false;
  EXPECT_FALSE(loop.run([m = mounter]() -> Async<bool> { co_return co_await m->isHealthy(Seconds(5)); }));
}

TEST_F(MounterTest, AHungListingIsUnhealthyAtTheTimeout) {
  service->addMount((root / "mounts" / "photos").string());
  service->hangListings();
  auto t = Task<bool>::spawn(loop.executor(),
                             [m = mounter]() -> Async<bool> { co_return co_await m->isHealthy(Seconds(5)); });
  loop.runUntil([&] { return service->listings() == 1; });
  clock->advance(Seconds(4.9), loop.drainer());
  EXPECT_FALSE(t.isFinished());
  clock->advance(Seconds(0.1), loop.drainer());
  loop.runUntil([&] { return t.isFinished(); });
  EXPECT_FALSE(t.get());
}

}  // namespace
}  // namespace kv
