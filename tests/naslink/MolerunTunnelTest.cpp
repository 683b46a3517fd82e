#include "naslink/MolerunTunnel.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <mutex>

#include "core/Redaction.h"
#include "core/async/Task.h"
#include "naslink/BackgroundCall.h"
#include "naslink/NASLinkError.h"
#include "naslink/PortProbe.h"
#include "tests/support/TestLoop.h"

namespace kv {
namespace {

namespace fs = std::filesystem;

const fs::path kMolerun = KELVANE_MOLERUN_PATH;

int freePort() {
  asio::io_context io;
  asio::ip::tcp::acceptor a(io, asio::ip::tcp::endpoint(asio::ip::make_address("127.0.0.1"), 0));
  return a.local_endpoint().port();
}

bool processAlive(int pid) { return ::kill(pid, 0) == 0; }

class TunnelTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir = fs::temp_directory_path() / ("kv-tunnel-" + std::to_string(::getpid()) + "-" +
                                       ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(dir);
    fs::create_directories(dir);
    port = freePort();
  }
  void TearDown() override {
    if (tunnel) loop.run([t = tunnel]() -> Async<void> { co_await t->stop(); });
    // Background calls resume on the loop: let them end before it goes.
    loop.runUntil([] { return backgroundCallsRunning() == 0; }, std::chrono::seconds(10));
    loop.poll();
    fs::remove_all(dir);
  }

  // A fake helper: a shell script with `body`.
  fs::path script(const std::string& name, const std::string& body) {
    fs::path p = dir / name;
    std::ofstream(p) << "#!/bin/sh\n" << body << "\n";
    fs::permissions(p, fs::perms::owner_all);
    return p;
  }

  void makeTunnel(const fs::path& binary, MolerunTunnel::Timing timing = {Seconds(3), Seconds(0.2), Seconds(1)}) {
    tunnel = std::make_shared<MolerunTunnel>(loop.executor(), clock, binary, timing, [this](const std::string& l) {
      std::lock_guard lk(mu);
      logged.push_back(l);
    });
  }

  NASConfig config(std::string addr = "127.0.0.1", std::string remote = "445") const {
    NASConfig c;
    c.molerunAddr = std::move(addr);
    c.smbShare = "photos";
    c.destSubdir = "K";
    c.localPort = static_cast<std::uint16_t>(port);
    c.remoteSMB = std::move(remote);
    return c;
  }

  Task<void> startTask(NASConfig c) {
    return Task<void>::spawn(loop.executor(), [t = tunnel, c]() -> Async<void> { co_await t->start(c); });
  }

  NASLinkError startFailure(NASConfig c) {
    auto t = startTask(c);
    loop.runUntil([&] { return t.isFinished(); }, std::chrono::seconds(30));
    try {
      t.get();
    } catch (const NASLinkError& e) {
      return e;
    }
    throw std::runtime_error("start did not fail with a NASLinkError");
  }

  bool isUp() {
    return loop.run([t = tunnel]() -> Async<bool> { co_return co_await t->isUp(); });
  }

  std::vector<std::string> loggedLines() {
    std::lock_guard lk(mu);
    return logged;
  }

  fs::path dir;
  int port = 0;
  test::TestLoop loop;
  std::shared_ptr<Clock> clock = std::make_shared<SystemClock>();
  std::shared_ptr<MolerunTunnel> tunnel;
  std::mutex mu;
  std::vector<std::string> logged;
};

TEST_F(TunnelTest, RealMolerunForwardsAndStops) {
  // An echo peer standing in for the NAS.
  asio::io_context peerIo;
  asio::ip::tcp::acceptor peer(peerIo, asio::ip::tcp::endpoint(asio::ip::make_address("127.0.0.1"), 0));
  const int peerPort = peer.local_endpoint().port();
  // Readiness probes reach the peer too (and close at once); echo until a
  // connection brings data.
  std::thread peerThread([&] {
    for (;;) {
      asio::ip::tcp::socket s(peerIo);
      peer.accept(s);
      char buf[16];
      asio::error_code ec;
      size_t n = s.read_some(asio::buffer(buf), ec);
      if (ec || n == 0) continue;
      asio::write(s, asio::buffer(buf, n), ec);
      return;
    }
  });

  makeTunnel(kMolerun);
  EXPECT_FALSE(isUp()) << "before any start";
  loop.run([t = tunnel, c = config("127.0.0.1", std::to_string(peerPort))]() -> Async<void> { co_await t->start(c); });
  EXPECT_TRUE(isUp());
  {
    asio::io_context io;
    asio::ip::tcp::socket c(io);
    c.connect(asio::ip::tcp::endpoint(asio::ip::make_address("127.0.0.1"), static_cast<unsigned short>(port)));
    asio::write(c, asio::buffer("ping", 4));
    char buf[4];
    asio::read(c, asio::buffer(buf));
    EXPECT_EQ(std::string(buf, 4), "ping");
  }
  peerThread.join();
  const int pid = *tunnel->processID();
  loop.run([t = tunnel]() -> Async<void> { co_await t->stop(); });
  EXPECT_FALSE(processAlive(pid));
  EXPECT_FALSE(isUp());
  EXPECT_FALSE(tunnel->processID().has_value());
  auto lines = tunnel->lines();
  ASSERT_FALSE(lines.empty());
  EXPECT_EQ(lines.back(), "molerun exited (status 0)");
}

TEST_F(TunnelTest, TokensInTheHelpersOutputReachTheLogRedacted) {
  const std::string token = std::string(kTunnelTokenPrefix) + "Zq8sE3kT0aVbN1mR7yW2uH5c";
  makeTunnel(kMolerun);
  loop.run([t = tunnel, c = config(token + "@127.0.0.1")]() -> Async<void> { co_await t->start(c); });
  loop.runUntil([&] { return loggedLines().size() >= 2; });
  bool sawRedacted = false;
  for (const auto& l : loggedLines()) {
    EXPECT_EQ(l.find(token), std::string::npos) << l;
    if (l.find(std::string(kTunnelTokenPrefix) + std::string(kRedactedMark)) != std::string::npos) sawRedacted = true;
  }
  EXPECT_TRUE(sawRedacted);
  for (const auto& l : tunnel->lines()) EXPECT_EQ(l.find(token), std::string::npos) << l;
}

TEST_F(TunnelTest, BearerTokensInOutputAreRedactedToo) {
  makeTunnel(script("bearer", "echo 'Authorization: Bearer eyJhbGciOi.secret'\nexit 4"));
  auto e = startFailure(config());
  EXPECT_EQ(e.kind(), NASLinkError::Case::tunnelExited);
  EXPECT_EQ(e.code(), 4);
  EXPECT_EQ(e.text(), "Authorization: Bearer \xE2\x80\xA6redacted\nmolerun exited (status 4)");
  for (const auto& l : loggedLines()) EXPECT_EQ(l.find("eyJhbGciOi"), std::string::npos);
}

TEST_F(TunnelTest, AnEarlyExitKeepsTheLast200LinesEndingWithTheExitLine) {
  makeTunnel(script("chatty", "i=1\nwhile [ $i -le 250 ]; do echo \"line $i\"; i=$((i+1)); done\nexit 2"));
  auto e = startFailure(config());
  EXPECT_EQ(e.kind(), NASLinkError::Case::tunnelExited);
  EXPECT_EQ(e.code(), 2);
  auto lines = tunnel->lines();
  ASSERT_EQ(lines.size(), 200u);
  EXPECT_EQ(lines.front(), "line 52");
  EXPECT_EQ(lines[198], "line 250");
  EXPECT_EQ(lines.back(), "molerun exited (status 2)");
  EXPECT_EQ(e.text().substr(0, 8), "line 52\n");
  EXPECT_EQ(loggedLines().size(), 251u) << "every line reaches the log";
}

TEST_F(TunnelTest, EveryLineTerminatorSplitsLines) {
  makeTunnel(script("terms", "printf 'a\\rb\\r\\nc\\302\\205d\\342\\200\\250e\\342\\200\\251f\\ng'\nexit 1"));
  auto e = startFailure(config());
  EXPECT_EQ(e.text(), "a\nb\nc\nd\ne\nf\ng\nmolerun exited (status 1)");
}

TEST_F(TunnelTest, TheHelperGetsTheDocumentedArgumentsAndNoInput) {
  makeTunnel(script("args", "echo \"[$1] [$2] [$3] [$#]\"\nif read x; then echo got-input; else echo no-input; fi\nexit 3"));
  auto e = startFailure(config("some-addr", "nas.example:445"));
  EXPECT_EQ(e.text(), "[forward] [some-addr] [" + std::to_string(port) + ":nas.example:445] [3]\nno-input\n" +
                          "molerun exited (status 3)");
}

TEST_F(TunnelTest, AHelperThatNeverListensTimesOutAndIsStopped) {
  fs::path pidFile = dir / "pid";
  makeTunnel(script("silent", "echo $$ > " + pidFile.string() + "\necho waiting\nexec sleep 600"),
             {Seconds(1.5), Seconds(0.2), Seconds(1)});
  const auto begin = std::chrono::steady_clock::now();
  auto e = startFailure(config());
  const auto took = std::chrono::steady_clock::now() - begin;
  EXPECT_EQ(e.kind(), NASLinkError::Case::tunnelTimeout);
  EXPECT_EQ(e.text(), "waiting");
  EXPECT_GE(took, std::chrono::milliseconds(1400));
  EXPECT_LT(took, std::chrono::seconds(8));
  int pid = 0;
  std::ifstream(pidFile) >> pid;
  ASSERT_GT(pid, 0);
  EXPECT_FALSE(processAlive(pid));
}

TEST_F(TunnelTest, AHelperThatIgnoresTerminateIsKilledAfterTheGrace) {
  makeTunnel(script("stubborn", "trap '' TERM\necho stubborn\nwhile :; do sleep 0.05; done"),
             {Seconds(30), Seconds(0.2), Seconds(1)});
  auto t = startTask(config());
  loop.runUntil([&] { return tunnel->processID().has_value() && !tunnel->lines().empty(); });
  const int pid = *tunnel->processID();
  const auto begin = std::chrono::steady_clock::now();
  loop.run([tn = tunnel]() -> Async<void> { co_await tn->stop(); });
  const auto took = std::chrono::steady_clock::now() - begin;
  EXPECT_FALSE(processAlive(pid));
  EXPECT_GE(took, std::chrono::milliseconds(900));
  EXPECT_LT(took, std::chrono::seconds(5));
  t.cancel();
  loop.runUntil([&] { return t.isFinished(); });
}

TEST_F(TunnelTest, CancellingAStartStopsTheHelper) {
  makeTunnel(script("slow", "echo starting\nexec sleep 600"), {Seconds(30), Seconds(0.2), Seconds(1)});
  auto t = startTask(config());
  loop.runUntil([&] { return tunnel->processID().has_value(); });
  const int pid = *tunnel->processID();
  t.cancel();
  loop.runUntil([&] { return t.isFinished(); });
  EXPECT_THROW(t.get(), CancelledError);
  EXPECT_FALSE(processAlive(pid));
  EXPECT_FALSE(tunnel->processID().has_value());
}

TEST_F(TunnelTest, AListenerAlreadyThereNeedsNoLaunch) {
  asio::io_context io;
  asio::ip::tcp::acceptor existing(io, asio::ip::tcp::endpoint(asio::ip::make_address("127.0.0.1"),
                                                               static_cast<unsigned short>(port)));
  makeTunnel(dir / "does-not-exist");  // would be molerunMissing if it were launched
  loop.run([t = tunnel, c = config()]() -> Async<void> { co_await t->start(c); });
  EXPECT_FALSE(tunnel->processID().has_value());
  EXPECT_TRUE(isUp());
  loop.run([t = tunnel]() -> Async<void> { co_await t->stop(); });  // nothing to end
}

TEST_F(TunnelTest, AMissingOrNonExecutableHelperIsMolerunMissing) {
  fs::path plain = dir / "plain";
  std::ofstream(plain) << "not executable";
  fs::permissions(plain, fs::perms::owner_read | fs::perms::owner_write);
  for (const fs::path& p : {dir / "absent", plain, dir}) {
    makeTunnel(p);
    auto e = startFailure(config());
    EXPECT_EQ(e.kind(), NASLinkError::Case::molerunMissing) << p;
    EXPECT_EQ(e.binary(), p);
  }
}

TEST_F(TunnelTest, ConcurrentStartsLaunchOneProcess) {
  fs::path count = dir / "launches";
  makeTunnel(script("counting", "echo x >> " + count.string() + "\nexec " + kMolerun.string() + " \"$@\""));
  auto a = startTask(config());
  auto b = startTask(config());
  loop.runUntil([&] { return a.isFinished() && b.isFinished(); }, std::chrono::seconds(20));
  a.get();
  b.get();
  std::ifstream in(count);
  int n = 0;
  for (std::string l; std::getline(in, l);) ++n;
  EXPECT_EQ(n, 1);
}

TEST_F(TunnelTest, AProcessThatDiesAfterReadinessIsNoticedByIsUp) {
  makeTunnel(kMolerun);
  loop.run([t = tunnel, c = config()]() -> Async<void> { co_await t->start(c); });
  ::kill(*tunnel->processID(), SIGKILL);
  loop.runUntil([&] { return !tunnel->lines().empty() && tunnel->lines().back().rfind("molerun exited", 0) == 0; });
  EXPECT_FALSE(isUp());
  EXPECT_EQ(tunnel->lines().back(), "molerun exited (status 9)");
}

TEST_F(TunnelTest, KillStraysRunsPkillForMolerunForward) {
  fs::path args = dir / "args";
  fs::path pkill = script("pkill", "printf '%s|' \"$@\" > " + args.string());
  MolerunTunnel::killStrays(pkill);
  std::string recorded;
  std::getline(std::ifstream(args), recorded);
  EXPECT_EQ(recorded, "-f|molerun forward|");
  MolerunTunnel::killStrays(dir / "no-pkill");  // a failure to launch is ignored
}

TEST(PortProbeTest, AnswersForListeningAndClosedPortsAndInvalidNumbers) {
  test::TestLoop loop;
  auto clock = std::make_shared<SystemClock>();
  asio::io_context io;
  asio::ip::tcp::acceptor open(io, asio::ip::tcp::endpoint(asio::ip::make_address("127.0.0.1"), 0));
  const int openPort = open.local_endpoint().port();
  const int closedPort = freePort();
  struct Row {
    const char* name;
    std::string host;
    int port;
    bool expected;
  };
  const std::vector<Row> rows = {
      {"listening", "localhost", openPort, true},
      {"listening by address", "127.0.0.1", openPort, true},
      {"closed", "localhost", closedPort, false},
      {"zero", "localhost", 0, false},
      {"negative", "localhost", -1, false},
      {"too large", "localhost", 70000, false},
      {"unresolvable", "no-such-host.invalid", openPort, false},
  };
  for (const auto& r : rows) {
    const bool got = loop.run([clock, r]() -> Async<bool> {
      co_return co_await PortProbe::isListening(clock, r.host, r.port, Seconds(1));
    });
    EXPECT_EQ(got, r.expected) << r.name;
  }
}

}  // namespace
}  // namespace kv
