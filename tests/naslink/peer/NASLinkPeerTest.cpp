// The NAS link against real peers on 127.0.0.1: smbd (Samba) serving a share
// from a temporary folder, our molerun forwarding the local port to it, and
// rclone mounting the share over FUSE.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <signal.h>
#include <sys/mount.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <random>

#include "core/Redaction.h"
#include "core/async/Task.h"
#include "naslink/BackgroundCall.h"
#include "naslink/MolerunTunnel.h"
#include "naslink/NASLink.h"
#include "naslink/NASLinkError.h"
#include "naslink/NetFSShareMounter.h"
#include "naslink/PortProbe.h"
#include "platform/linux/naslink/RcloneMountService.h"
#include "tests/naslink/peer/SambaPeer.h"
#include "tests/support/TestLoop.h"

namespace kv {
namespace {

namespace fs = std::filesystem;

const fs::path kMolerun = KELVANE_MOLERUN_PATH;
const std::string kToken = std::string(kTunnelTokenPrefix) + "Qm4vT9xLp2Ws7Ke1Ry6Bn3Hd";

int freePort() {
  asio::io_context io;
  asio::ip::tcp::acceptor a(io, asio::ip::tcp::endpoint(asio::ip::make_address("127.0.0.1"), 0));
  return a.local_endpoint().port();
}

std::string sha256Hex(const fs::path& p) {
  // Drop cached pages first so that the bytes come from the file system.
  const int fd = ::open(p.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) throw std::runtime_error("cannot open " + p.string());
  ::posix_fadvise(fd, 0, 0, POSIX_FADV_DONTNEED);
  EVP_MD_CTX* ctx = EVP_MD_CTX_new();
  EVP_DigestInit_ex(ctx, EVP_sha256(), nullptr);
  char buf[65536];
  ssize_t n;
  while ((n = ::read(fd, buf, sizeof buf)) > 0) EVP_DigestUpdate(ctx, buf, static_cast<size_t>(n));
  ::close(fd);
  unsigned char md[32];
  unsigned int len = 0;
  EVP_DigestFinal_ex(ctx, md, &len);
  EVP_MD_CTX_free(ctx);
  std::string hex;
  char two[3];
  for (unsigned i = 0; i < len; ++i) {
    std::snprintf(two, sizeof two, "%02x", md[i]);
    hex += two;
  }
  return hex;
}

class NASLinkPeerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    KV_REQUIRE_SAMBA_PEER();
    samba = std::make_unique<test::SambaPeer>();
    home = fs::temp_directory_path() / ("kv-peer-home-" + std::to_string(::getpid()));
    fs::remove_all(home);
    localPort = freePort();

    service = std::make_shared<RcloneMountService>();
    mounter = std::make_shared<NetFSShareMounter>(service, clock, NetFSShareMounter::defaultMountsRoot(home));
    tunnel = std::make_shared<MolerunTunnel>(loop.executor(), clock, kMolerun,
                                             MolerunTunnel::Timing{Seconds(10), Seconds(0.2), Seconds(2)},
                                             [this](const std::string& line) {
                                               std::lock_guard lk(mu);
                                               tunnelLog.push_back(line);
                                             });
    link = std::make_shared<NASLink>(loop.executor(), tunnel, mounter, clock, Seconds(5));
  }

  void TearDown() override {
    if (link) {
      try {
        loop.run([l = link]() -> Async<void> { co_await l->disconnect(); }, std::chrono::seconds(30));
      } catch (const std::exception& e) {
        ADD_FAILURE() << "disconnect did not finish: " << e.what();
      }
    }
    // Whatever a failed test left: nothing may stay mounted.
    if (mounter) {
      for (auto& p : mounter->pathsUnderRoot()) ::umount2(p.c_str(), MNT_FORCE | MNT_DETACH);
    }
    samba.reset();
    if (link) loop.runUntil([] { return backgroundCallsRunning() == 0; }, std::chrono::seconds(20));
    loop.poll();
    std::error_code ec;
    if (!home.empty()) fs::remove_all(home, ec);
  }

  NASConfig config() const {
    NASConfig c;
    c.molerunAddr = kToken + "@127.0.0.1";
    c.smbShare = samba->share();
    c.destSubdir = "Kelvane/Archive";
    c.localPort = static_cast<std::uint16_t>(localPort);
    c.remoteSMB = std::to_string(samba->port());
    return c;
  }
  NASCredentials login() const { return {samba->user(), samba->password()}; }

  fs::path connect(NASConfig c, NASCredentials creds) {
    return loop.run([l = link, c, creds]() -> Async<fs::path> { co_return co_await l->connect(c, creds); },
                    std::chrono::seconds(60));
  }
  NASLinkError connectFailure(NASConfig c, NASCredentials creds) {
    try {
      connect(c, creds);
    } catch (const NASLinkError& e) {
      return e;
    }
    throw std::runtime_error("connect did not fail with a NASLinkError");
  }
  NASStatus status(Seconds timeout) {
    return loop.run([l = link, timeout]() -> Async<NASStatus> { co_return co_await l->status(timeout); },
                    std::chrono::seconds(30));
  }

  std::unique_ptr<test::SambaPeer> samba;
  fs::path home;
  int localPort = 0;
  test::TestLoop loop;
  std::shared_ptr<Clock> clock = std::make_shared<SystemClock>();
  std::shared_ptr<RcloneMountService> service;
  std::shared_ptr<NetFSShareMounter> mounter;
  std::shared_ptr<MolerunTunnel> tunnel;
  std::shared_ptr<NASLink> link;
  std::mutex mu;
  std::vector<std::string> tunnelLog;
};

TEST_F(NASLinkPeerTest, ConnectWriteReadBackAndDisconnect) {
  const fs::path destination = connect(config(), login());
  const fs::path point = NetFSShareMounter::defaultMountsRoot(home) / samba->share();
  EXPECT_EQ(destination, point / "Kelvane/Archive");
  EXPECT_TRUE(fs::is_directory(samba->shareFolder() / "Kelvane/Archive")) << "the destination is on the share";

  // A file written through the mount arrives intact.
  std::string data(1 << 20, '\0');
  std::mt19937 rng(7);
  for (auto& c : data) c = static_cast<char>(rng());
  std::ofstream(destination / "IMG_0001.HEIC", std::ios::binary).write(data.data(), static_cast<long>(data.size()));
  const fs::path onServer = samba->shareFolder() / "Kelvane/Archive/IMG_0001.HEIC";
  ASSERT_TRUE(fs::exists(onServer));
  EXPECT_EQ(sha256Hex(destination / "IMG_0001.HEIC"), sha256Hex(onServer));

  // The read-back reads the share, not a cache: a byte changed on the server
  // is seen by the next read through the mount.
  const std::string before = sha256Hex(destination / "IMG_0001.HEIC");
  {
    std::fstream f(onServer, std::ios::in | std::ios::out | std::ios::binary);
    f.seekp(4096);
    f.put(static_cast<char>(data[4096] ^ 0x5A));
  }
  const std::string after = sha256Hex(destination / "IMG_0001.HEIC");
  EXPECT_NE(after, before);
  EXPECT_EQ(after, sha256Hex(onServer));

  EXPECT_EQ(status(Seconds(10)), (NASStatus{true, true, true, point}));

  const auto pid = tunnel->processID();
  ASSERT_TRUE(pid.has_value());
  loop.run([l = link]() -> Async<void> { co_await l->disconnect(); }, std::chrono::seconds(30));
  EXPECT_TRUE(mounter->pathsUnderRoot().empty());
  EXPECT_NE(::kill(*pid, 0), 0) << "molerun was stopped";
  EXPECT_EQ(status(Seconds(2)), (NASStatus{false, false, false, std::nullopt}));

  // The helper's token reached the log only redacted.
  std::lock_guard lk(mu);
  ASSERT_FALSE(tunnelLog.empty());
  bool sawRedacted = false;
  for (const auto& l : tunnelLog) {
    EXPECT_EQ(l.find(kToken), std::string::npos) << l;
    sawRedacted |= l.find(std::string(kTunnelTokenPrefix) + std::string(kRedactedMark)) != std::string::npos;
  }
  EXPECT_TRUE(sawRedacted);
}

TEST_F(NASLinkPeerTest, AWrongPasswordIsAuthenticationRejected) {
  auto e = connectFailure(config(), {samba->user(), "not-the-password"});
  EXPECT_EQ(e.kind(), NASLinkError::Case::authenticationRejected) << e.detail();
  EXPECT_EQ(e.situation(), Situation::nasLoginRejected);
  EXPECT_TRUE(mounter->pathsUnderRoot().empty());
}

TEST_F(NASLinkPeerTest, AMolerunThatExitsEarlyIsTunnelExitedWithItsLines) {
  NASConfig c = config();
  c.remoteSMB = "not-a-port";
  auto e = connectFailure(c, login());
  EXPECT_EQ(e.kind(), NASLinkError::Case::tunnelExited);
  EXPECT_EQ(e.code(), 2);
  EXPECT_NE(e.text().find("usage: molerun forward"), std::string::npos) << e.text();
  EXPECT_NE(e.text().find("molerun exited (status 2)"), std::string::npos) << e.text();
}

TEST_F(NASLinkPeerTest, AStoppedServerIsUnhealthyAndTheStaleMountIsForcedAwayOnConnect) {
  connect(config(), login());
  samba->stop();
  const auto begin = std::chrono::steady_clock::now();
  EXPECT_FALSE(status(Seconds(5)).healthy);
  EXPECT_LT(std::chrono::steady_clock::now() - begin, std::chrono::seconds(8));
  ASSERT_FALSE(mounter->pathsUnderRoot().empty()) << "the stale mount is still there";

  // While the server is down the new mount cannot succeed, but the stale one
  // must be gone first.
  auto e = connectFailure(config(), login());
  EXPECT_EQ(e.kind(), NASLinkError::Case::mountFailed) << e.detail();
  EXPECT_EQ(e.situation(), Situation::nasUnreachable);
  EXPECT_TRUE(mounter->pathsUnderRoot().empty());

  samba->start();
  const fs::path destination = connect(config(), login());
  EXPECT_TRUE(fs::is_directory(destination));
  EXPECT_TRUE(status(Seconds(10)).healthy);
}

TEST_F(NASLinkPeerTest, DisconnectDuringConnectLeavesNothingMounted) {
  auto t = Task<fs::path>::spawn(loop.executor(), [l = link, c = config(), creds = login()]() -> Async<fs::path> {
    co_return co_await l->connect(c, creds);
  });
  // Let the connect get going (the tunnel's helper is being launched), then
  // disconnect.
  loop.runUntil([&] { return tunnel->processID().has_value(); }, std::chrono::seconds(20));
  loop.run([l = link]() -> Async<void> { co_await l->disconnect(); }, std::chrono::seconds(30));
  loop.runUntil([&] { return t.isFinished(); }, std::chrono::seconds(60));
  try {
    t.get();
    FAIL() << "the connect succeeded";
  } catch (const NASLinkError& e) {
    EXPECT_EQ(e.kind(), NASLinkError::Case::disconnectedDuringConnect) << e.detail();
  }
  EXPECT_TRUE(mounter->pathsUnderRoot().empty());
  EXPECT_FALSE(status(Seconds(2)).mounted);
}

}  // namespace
}  // namespace kv
