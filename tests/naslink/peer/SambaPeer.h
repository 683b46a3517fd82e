#pragma once
// A real Samba smbd on 127.0.0.1 at a free high port, with its own smb.conf,
// state and share folder in a temporary folder, for the NAS link's peer
// tests. The share "photos" belongs to a Unix user made for the tests
// ("kvtest", created if missing) whose SMB password is `password()`.
//
// Started by the constructor, stopped (its process group killed) and removed
// by the destructor, also when a test fails. Throws std::runtime_error when
// the server does not come up within a few seconds.
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>

#include "naslink/Subprocess.h"

namespace kv::test {

class SambaPeer {
 public:
  SambaPeer();
  ~SambaPeer();
  SambaPeer(const SambaPeer&) = delete;
  SambaPeer& operator=(const SambaPeer&) = delete;

  int port() const { return port_; }
  const std::string& share() const { return share_; }
  const std::string& user() const { return user_; }
  const std::string& password() const { return password_; }
  // The folder the share serves, as the server sees it.
  const std::filesystem::path& shareFolder() const { return shareFolder_; }

  void start();
  void stop();

  // Why this machine cannot run the peer tests, or empty.
  static std::string missingPrerequisite();

 private:
  std::filesystem::path dir_;
  std::filesystem::path shareFolder_;
  int port_ = 0;
  std::string share_ = "photos";
  std::string user_ = "kvtest";
  std::string password_ = "s3cret-Pass";
  std::shared_ptr<Subprocess> smbd_;
};

}  // namespace kv::test

// For a fixture's SetUp: skips the test when this machine cannot run the
// Samba peer, except in CI (CI=true), where the peer suites must run and the
// test fails instead.
#define KV_REQUIRE_SAMBA_PEER()                                                              \
  do {                                                                                        \
    if (auto why = ::kv::test::SambaPeer::missingPrerequisite(); !why.empty()) {            \
      const char* ci = std::getenv("CI");                                                     \
      if (ci && std::string(ci) == "true") FAIL() << "peer tests cannot run in CI: " << why; \
      GTEST_SKIP() << "peer tests not run: " << why;                                          \
    }                                                                                         \
  } while (false)
