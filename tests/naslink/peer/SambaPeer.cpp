#include "tests/naslink/peer/SambaPeer.h"

#include <fcntl.h>
#include <pwd.h>
#include <unistd.h>

#include <asio.hpp>
#include <fstream>
#include <stdexcept>
#include <thread>

namespace kv::test {
namespace {

namespace fs = std::filesystem;

int freePort() {
  asio::io_context io;
  asio::ip::tcp::acceptor a(io, asio::ip::tcp::endpoint(asio::ip::make_address("127.0.0.1"), 0));
  return a.local_endpoint().port();
}

bool canConnect(int port) {
  asio::io_context io;
  asio::ip::tcp::socket s(io);
  asio::error_code ec;
  s.connect(asio::ip::tcp::endpoint(asio::ip::make_address("127.0.0.1"), static_cast<unsigned short>(port)), ec);
  return !ec;
}

void run(const std::string& exe, std::vector<std::string> args, std::optional<std::string> input = std::nullopt) {
  SpawnOptions o;
  o.executable = exe;
  o.arguments = std::move(args);
  o.stdinData = std::move(input);
  auto r = runToCompletion(o, std::chrono::seconds(30));
  if (r.timedOut || r.termination != Termination{0, false}) {
    throw std::runtime_error(exe + " failed: " + r.output);
  }
}

}  // namespace

std::string SambaPeer::missingPrerequisite() {
  for (const char* exe : {"/usr/sbin/smbd", "/usr/bin/smbpasswd", "/usr/bin/rclone", "/usr/bin/fusermount3"}) {
    if (::access(exe, X_OK) != 0) return std::string(exe) + " is not installed (scripts/install-deps)";
  }
  const int fd = ::open("/dev/fuse", O_RDWR | O_CLOEXEC);
  if (fd < 0) return "FUSE is not available here (/dev/fuse cannot be opened)";
  ::close(fd);
  if (::geteuid() != 0) return "the peer tests make a Unix user and run smbd, which needs root";
  return {};
}

SambaPeer::SambaPeer() {
  dir_ = fs::temp_directory_path() / ("kv-smb-" + std::to_string(::getpid()) + "-" + std::to_string(freePort()));
  fs::remove_all(dir_);
  for (const char* sub : {"private", "lock", "state", "cache", "pid", "ncalrpc", "log", "share"}) {
    fs::create_directories(dir_ / sub);
  }
  shareFolder_ = dir_ / "share";
  port_ = freePort();

  if (::getpwnam(user_.c_str()) == nullptr) {
    run("/usr/sbin/useradd", {"--no-create-home", "--shell", "/usr/sbin/nologin", user_});
  }
  run("/usr/bin/chown", {user_, shareFolder_.string()});

  const std::string d = dir_.string();
  std::ofstream(dir_ / "smb.conf") << "[global]\n"
                                   << "  smb ports = " << port_ << "\n"
                                   << "  interfaces = 127.0.0.1\n"
                                   << "  bind interfaces only = yes\n"
                                   << "  private dir = " << d << "/private\n"
                                   << "  lock directory = " << d << "/lock\n"
                                   << "  state directory = " << d << "/state\n"
                                   << "  cache directory = " << d << "/cache\n"
                                   << "  pid directory = " << d << "/pid\n"
                                   << "  ncalrpc dir = " << d << "/ncalrpc\n"
                                   << "  log file = " << d << "/log/smbd.log\n"
                                   << "  passdb backend = tdbsam:" << d << "/passdb.tdb\n"
                                   << "  server role = standalone server\n"
                                   << "  map to guest = never\n"
                                   << "  load printers = no\n"
                                   << "  disable spoolss = yes\n"
                                   << "  disable netbios = yes\n"
                                   << "[" << share_ << "]\n"
                                   << "  path = " << shareFolder_.string() << "\n"
                                   << "  read only = no\n"
                                   << "  valid users = " << user_ << "\n";
  run("/usr/bin/smbpasswd", {"-c", (dir_ / "smb.conf").string(), "-s", "-a", user_},
      password_ + "\n" + password_ + "\n");
  start();
}

SambaPeer::~SambaPeer() {
  stop();
  std::error_code ec;
  fs::remove_all(dir_, ec);
}

void SambaPeer::start() {
  SpawnOptions o;
  o.executable = "/usr/sbin/smbd";
  o.arguments = {"--foreground", "--no-process-group", "--debug-stdout", "-s", (dir_ / "smb.conf").string()};
  smbd_ = Subprocess::spawn(o);
  // Nobody reads its chatter; let it go to the pipe's buffer and beyond.
  std::thread([p = smbd_] {
    char buf[4096];
    while (::read(p->outputFd(), buf, sizeof buf) > 0) {
    }
  }).detach();
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(15);
  while (!canConnect(port_)) {
    if (!smbd_->isRunning() || std::chrono::steady_clock::now() > deadline) {
      stop();
      throw std::runtime_error("smbd did not start listening on 127.0.0.1:" + std::to_string(port_));
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
}

void SambaPeer::stop() {
  if (!smbd_) return;
  smbd_->terminate(std::chrono::seconds(3));
  smbd_.reset();
  // smbd forks a child per connection; it leaves with its parent, but make sure.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  while (canConnect(port_) && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
}

}  // namespace kv::test
