// The shared store suite against the Secret Service: gnome-keyring-daemon in a
// private D-Bus session with HOME and the XDG folders in a temp folder (never
// the machine's real keyring). Skipped when the daemon is not installed.
#include <gio/gio.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <thread>

#include "identity/KeychainGenericItem.h"
#include "platform/linux/identity/SecretServiceKeychain.h"
#include "tests/identity/suite/KeychainStoreSuite.h"

extern char** environ;

namespace kv::test {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

bool onPath(const char* program) {
  const char* path = std::getenv("PATH");
  std::string p = path ? path : "/usr/bin:/bin";
  std::size_t start = 0;
  while (start <= p.size()) {
    auto end = p.find(':', start);
    if (end == std::string::npos) end = p.size();
    if (::access((p.substr(start, end - start) + "/" + program).c_str(), X_OK) == 0) return true;
    start = end + 1;
  }
  return false;
}

// The keyring daemon on a private bus, for the life of the test process.
class PrivateKeyring {
 public:
  static PrivateKeyring& instance() {
    static PrivateKeyring keyring;
    return keyring;
  }
  bool running() const { return running_; }
  const std::string& problem() const { return problem_; }

  ~PrivateKeyring() { stop(); }

 private:
  PrivateKeyring() {
    if (!onPath("dbus-run-session") || !onPath("gnome-keyring-daemon")) {
      problem_ = "dbus-run-session or gnome-keyring-daemon is not installed";
      return;
    }
    root_ = fs::temp_directory_path() / ("kelvane-keyring-" + std::to_string(::getpid()));
    fs::remove_all(root_);
    for (auto d : {"home", "data", "runtime", "config"}) fs::create_directories(root_ / d);
    fs::permissions(root_ / "runtime", fs::perms::owner_all, fs::perm_options::replace);
    // This process too: libsecret and anything it starts stay inside the temp folder.
    ::setenv("HOME", (root_ / "home").c_str(), 1);
    ::setenv("XDG_DATA_HOME", (root_ / "data").c_str(), 1);
    ::setenv("XDG_CONFIG_HOME", (root_ / "config").c_str(), 1);
    ::setenv("XDG_RUNTIME_DIR", (root_ / "runtime").c_str(), 1);
    ::unsetenv("DBUS_SESSION_BUS_ADDRESS");

    fs::path addr = root_ / "bus-address";
    std::string script = "echo \"$DBUS_SESSION_BUS_ADDRESS\" > '" + addr.string() + ".tmp' && mv '" + addr.string() +
                         ".tmp' '" + addr.string() +
                         "'; printf pw | gnome-keyring-daemon --unlock --components=secrets >/dev/null 2>&1; "
                         "exec sleep 600";
    posix_spawnattr_t attr;
    posix_spawnattr_init(&attr);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETPGROUP);
    posix_spawnattr_setpgroup(&attr, 0);
    std::string prog = "dbus-run-session", dashes = "--", sh = "sh", c = "-c";
    char* argv[] = {prog.data(), dashes.data(), sh.data(), c.data(), script.data(), nullptr};
    int rc = ::posix_spawnp(&session_, "dbus-run-session", nullptr, &attr, argv, environ);
    posix_spawnattr_destroy(&attr);
    if (rc != 0) {
      problem_ = "could not start dbus-run-session";
      session_ = 0;
      return;
    }
    auto deadline = std::chrono::steady_clock::now() + 15s;
    while (!fs::exists(addr) && std::chrono::steady_clock::now() < deadline) std::this_thread::sleep_for(20ms);
    std::string address;
    std::ifstream(addr) >> address;
    if (address.empty()) {
      problem_ = "the private bus did not start";
      return;
    }
    ::setenv("DBUS_SESSION_BUS_ADDRESS", address.c_str(), 1);
    while (!SecretServiceKeychain::available() && std::chrono::steady_clock::now() < deadline) {
      std::this_thread::sleep_for(50ms);
    }
    // The daemon owns its name once it is ready to answer.
    while (daemonPid() == 0 && std::chrono::steady_clock::now() < deadline) std::this_thread::sleep_for(50ms);
    running_ = daemonPid() != 0;
    if (!running_) problem_ = "gnome-keyring-daemon did not take its name on the private bus";
  }

  // The daemon forks away from us, so it is found through the bus.
  pid_t daemonPid() const {
    GDBusConnection* bus = g_bus_get_sync(G_BUS_TYPE_SESSION, nullptr, nullptr);
    if (!bus) return 0;
    GVariant* r = g_dbus_connection_call_sync(bus, "org.freedesktop.DBus", "/org/freedesktop/DBus",
                                              "org.freedesktop.DBus", "GetConnectionUnixProcessID",
                                              g_variant_new("(s)", "org.freedesktop.secrets"), nullptr,
                                              G_DBUS_CALL_FLAGS_NO_AUTO_START, 2000, nullptr, nullptr);
    pid_t pid = 0;
    if (r) {
      guint32 p = 0;
      g_variant_get(r, "(u)", &p);
      pid = static_cast<pid_t>(p);
      g_variant_unref(r);
    }
    g_object_unref(bus);
    return pid;
  }

  void stop() {
    if (pid_t daemon = running_ ? daemonPid() : 0; daemon > 0) ::kill(daemon, SIGTERM);
    running_ = false;
    if (session_ > 0) {
      ::kill(-session_, SIGTERM);
      auto deadline = std::chrono::steady_clock::now() + 5s;
      int status = 0;
      while (::waitpid(session_, &status, WNOHANG) == 0) {
        if (std::chrono::steady_clock::now() > deadline) {
          ::kill(-session_, SIGKILL);
          ::waitpid(session_, &status, 0);
          break;
        }
        std::this_thread::sleep_for(20ms);
      }
      session_ = 0;
    }
    if (!root_.empty()) {
      std::error_code ec;
      fs::remove_all(root_, ec);
    }
  }

  fs::path root_;
  pid_t session_ = 0;
  bool running_ = false;
  std::string problem_;
};

std::shared_ptr<KeychainService> freshSecretService() {
  auto& keyring = PrivateKeyring::instance();
  if (!keyring.running()) return nullptr;
  auto keychain = std::make_shared<SecretServiceKeychain>();
  // The items the suite uses; earlier tests of this process may have left some.
  for (const char* account : {"oidc-tokens", "nas-config"}) {
    keychain->remove(genericItemQuery({"net.kelvane.Kelvane.tests", account}));
  }
  keychain->remove(KeychainQuery{KeychainItemClass::internetPassword, {{"server", "kelvane.nas"}, {"protocol", "smb"}}});
  return keychain;
}

INSTANTIATE_TEST_SUITE_P(SecretService, KeychainStoreSuite,
                         ::testing::Values(KeychainBackend{"SecretService", freshSecretService}), backendName);

TEST(SecretServiceKeychain, LockedOrMissingItemsReportTheirCodes) {
  auto keychain = freshSecretService();
  if (!keychain) GTEST_SKIP() << PrivateKeyring::instance().problem();
  KeychainMatch match;
  EXPECT_EQ(keychain->findOne(genericItemQuery({"net.kelvane.Kelvane.tests", "absent"}), match), kKeychainItemNotFound);
  EXPECT_EQ(keychain->remove(genericItemQuery({"net.kelvane.Kelvane.tests", "absent"})), kKeychainItemNotFound);
  EXPECT_EQ(keychain->update(genericItemQuery({"net.kelvane.Kelvane.tests", "absent"}), "x"), kKeychainItemNotFound);
}

}  // namespace
}  // namespace kv::test
