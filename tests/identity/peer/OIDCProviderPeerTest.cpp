// Sign-in, configuration fetch, refresh and revocation against a real OpenID
// provider (the npm package oidc-provider on 127.0.0.1, tests/peers/oidc),
// through the libcurl client and the file keychain.
#include <gtest/gtest.h>

#include <curl/curl.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <map>
#include <mutex>
#include <regex>
#include <thread>

#include "identity/AuthSession.h"
#include "identity/ConfigClient.h"
#include "identity/KeychainConfigCache.h"
#include "identity/KeychainTokenStore.h"
#include "platform/linux/identity/CurlHttpClient.h"
#include "platform/linux/identity/FileKeychain.h"
#include "tests/support/CapturingLog.h"
#include "tests/support/ManualClock.h"
#include "tests/support/TestLoop.h"

extern char** environ;

namespace kv::test {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

int freePort() {
  int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
  socklen_t len = sizeof addr;
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
  ::close(fd);
  return ntohs(addr.sin_port);
}

// The Node provider, started for one test and stopped at its end.
class ProviderProcess {
 public:
  bool start(std::string& problem) {
    fs::path dir = KELVANE_OIDC_PEER_DIR;
    if (!fs::exists(dir / "node_modules" / "oidc-provider")) {
      problem = "tests/peers/oidc has no node_modules (run scripts/install-deps)";
      return false;
    }
    port_ = freePort();
    int out[2];
    if (::pipe2(out, O_CLOEXEC) != 0) return false;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    std::string node = "node", script = (dir / "server.mjs").string(), port = std::to_string(port_);
    char* argv[] = {node.data(), script.data(), port.data(), nullptr};
    int rc = ::posix_spawnp(&pid_, "node", &actions, nullptr, argv, environ);
    posix_spawn_file_actions_destroy(&actions);
    ::close(out[1]);
    if (rc != 0) {
      ::close(out[0]);
      problem = "node is not installed";
      pid_ = 0;
      return false;
    }
    std::string text;
    auto deadline = std::chrono::steady_clock::now() + 20s;
    while (text.find("ready ") == std::string::npos || text.back() != '\n') {
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
      if (left.count() <= 0) break;
      pollfd p{out[0], POLLIN, 0};
      if (::poll(&p, 1, static_cast<int>(left.count())) <= 0) break;
      char buf[256];
      ssize_t n = ::read(out[0], buf, sizeof buf);
      if (n <= 0) break;
      text.append(buf, static_cast<std::size_t>(n));
    }
    ::close(out[0]);
    if (text.find("ready ") == std::string::npos) {
      problem = "the provider did not start: " + text;
      return false;
    }
    return true;
  }

  void stop() {
    if (pid_ <= 0) return;
    ::kill(pid_, SIGTERM);
    auto deadline = std::chrono::steady_clock::now() + 5s;
    int status = 0;
    while (::waitpid(pid_, &status, WNOHANG) == 0) {
      if (std::chrono::steady_clock::now() > deadline) {
        ::kill(pid_, SIGKILL);
        ::waitpid(pid_, &status, 0);
        break;
      }
      std::this_thread::sleep_for(20ms);
    }
    pid_ = 0;
  }

  ~ProviderProcess() { stop(); }
  std::string issuer() const { return "http://127.0.0.1:" + std::to_string(port_); }

 private:
  pid_t pid_ = 0;
  int port_ = 0;
};

// One blocking HTTP exchange with a cookie jar, for the scripted browser.
struct Browser {
  CURL* curl = curl_easy_init();
  ~Browser() { curl_easy_cleanup(curl); }

  struct Page {
    long status = 0;
    std::string location;
    std::string body;
    std::string url;
  };

  static std::size_t collect(char* d, std::size_t s, std::size_t n, void* u) {
    static_cast<std::string*>(u)->append(d, s * n);
    return s * n;
  }

  Page request(const std::string& url, const std::string* form = nullptr) {
    Page page;
    curl_easy_setopt(curl, CURLOPT_COOKIEFILE, "");  // in-memory cookie jar
    curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
    curl_easy_setopt(curl, CURLOPT_FOLLOWLOCATION, 0L);
    curl_easy_setopt(curl, CURLOPT_TIMEOUT, 20L);
    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, collect);
    curl_easy_setopt(curl, CURLOPT_WRITEDATA, &page.body);
    if (form) {
      curl_easy_setopt(curl, CURLOPT_POSTFIELDS, form->c_str());
    } else {
      curl_easy_setopt(curl, CURLOPT_HTTPGET, 1L);
    }
    if (curl_easy_perform(curl) != CURLE_OK) throw std::runtime_error("browser request failed: " + url);
    curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &page.status);
    char* loc = nullptr;
    curl_easy_getinfo(curl, CURLINFO_REDIRECT_URL, &loc);
    if (loc) page.location = loc;
    // CURLINFO_REDIRECT_URL does not resolve custom schemes; read them from the header as sent.
    page.url = url;
    return page;
  }
};

// Completes the provider's login and consent pages with HTTP requests and
// returns the callback URL (the redirect to the custom scheme, not followed).
class ProviderLoginPresenter final : public WebAuthPresenting {
 public:
  Async<std::string> present(std::string url, std::string callbackScheme) override {
    Browser browser;
    std::string next = url;
    std::string origin = url.substr(0, url.find('/', url.find("//") + 2));
    for (int step = 0; step < 12; ++step) {
      auto page = browser.request(next, pendingForm_ ? &*pendingForm_ : nullptr);
      pendingForm_.reset();
      if (page.status >= 300 && page.status < 400) {
        if (page.location.rfind(callbackScheme + ":", 0) == 0) co_return page.location;
        next = page.location;
        continue;
      }
      if (page.status != 200) throw std::runtime_error("provider page answered " + std::to_string(page.status));
      std::smatch action;
      if (!std::regex_search(page.body, action, std::regex("action=\"([^\"]+)\""))) {
        throw std::runtime_error("provider page without a form");
      }
      std::string target = action[1];
      if (target.rfind("/", 0) == 0) target = origin + target;
      if (page.body.find("name=\"prompt\" value=\"login\"") != std::string::npos) {
        pendingForm_ = "prompt=login&login=peer-user&password=any";
      } else {
        pendingForm_ = "prompt=consent";
      }
      next = target;
    }
    throw std::runtime_error("the provider never redirected to the callback");
  }

 private:
  std::optional<std::string> pendingForm_;
};

// Counts the requests that go out, per URL.
class CountingHttpClient final : public HttpClient {
 public:
  explicit CountingHttpClient(std::shared_ptr<HttpClient> target) : target_(std::move(target)) {}
  Async<HttpResponse> send(HttpRequest request) override {
    {
      std::lock_guard lk(mu_);
      ++counts_[request.method + " " + request.url];
    }
    co_return co_await target_->send(std::move(request));
  }
  int count(const std::string& key) {
    std::lock_guard lk(mu_);
    return counts_[key];
  }

 private:
  std::shared_ptr<HttpClient> target_;
  std::mutex mu_;
  std::map<std::string, int> counts_;
};

struct OIDCProviderPeer : ::testing::Test {
  ProviderProcess provider;
  fs::path folder = fs::temp_directory_path() / ("kelvane-oidc-peer-" + std::to_string(::getpid()));
  TestLoop loop;
  std::shared_ptr<ManualClock> clock =
      std::make_shared<ManualClock>(std::chrono::time_point_cast<std::chrono::nanoseconds>(std::chrono::system_clock::now()));
  std::shared_ptr<CapturingLog> log = std::make_shared<CapturingLog>();

  void SetUp() override {
    std::string problem;
    if (!provider.start(problem)) GTEST_SKIP() << problem;
    fs::remove_all(folder);
  }
  void TearDown() override {
    provider.stop();
    fs::remove_all(folder);
  }

  template <class F>
  auto run(F body) {
    return loop.run(std::move(body), 30s);
  }
};

TEST_F(OIDCProviderPeer, SignInFetchRefreshAndRevocation) {
  const std::string issuer = provider.issuer();
  const std::string tokenURL = issuer + "/token";
  auto keychain = std::make_shared<FileKeychain>(folder / "keychain");
  auto tokens = std::make_shared<KeychainTokenStore>(keychain);
  auto cache = std::make_shared<KeychainConfigCache>(keychain);
  auto curl = std::make_shared<CurlHttpClient>();
  auto http = std::make_shared<CountingHttpClient>(curl);
  auto session = AuthSession::make({loop.executor(), OIDCConfiguration::fromBundle(issuer, "kelvane-test", "kelvane"),
                                    tokens, std::make_shared<ProviderLoginPresenter>(), http, clock,
                                    KVLog::make(log, KVLog::identity)});
  auto client = ConfigClient::make(
      {loop.executor(), issuer + "/nas-config", session, cache, http, clock, KVLog::make(log, KVLog::identity)});
  std::vector<std::string> secrets;
  auto remember = [&] {
    auto stored = KeychainTokenStore(keychain).load();
    ASSERT_TRUE(stored);
    secrets.push_back(stored->accessToken);
    ASSERT_TRUE(stored->refreshToken) << "the provider issued no refresh token";
    secrets.push_back(*stored->refreshToken);
  };

  auto endpoints = run([&]() -> Async<OIDCEndpoints> { co_return co_await session->endpoints(); });
  EXPECT_EQ(endpoints.authorization, issuer + "/auth");
  EXPECT_EQ(endpoints.token, tokenURL);

  run([&]() -> Async<void> { co_await session->signIn(); });
  EXPECT_TRUE(run([&]() -> Async<bool> { co_return co_await session->isSignedIn(); }));
  remember();

  NASConfig config = run([&]() -> Async<NASConfig> { co_return co_await client->config(false); });
  EXPECT_EQ(config.smbShare, "photo");
  EXPECT_EQ(config.nasLabel, "Peer NAS");
  EXPECT_EQ(config.nasUserDefault, std::nullopt);
  EXPECT_EQ(KeychainConfigCache(keychain).load()->config, config);
  run([&]() -> Async<NASConfig> { co_return co_await client->config(false); });
  EXPECT_EQ(http->count("GET " + issuer + "/nas-config"), 1);  // the cache answered

  // The access token (two minutes) is now due; two callers share one refresh,
  // which matters: reusing a rotated refresh token would end the grant.
  clock->advance(Seconds(61), loop.drainer());
  auto call = [session]() -> Async<std::string> { co_return co_await session->accessToken(); };
  auto a = Task<std::string>::spawn(loop.executor(), call);
  auto b = Task<std::string>::spawn(loop.executor(), call);
  loop.runUntil([&] { return a.isFinished() && b.isFinished(); }, 30s);
  EXPECT_EQ(a.get(), b.get());
  EXPECT_EQ(http->count("POST " + tokenURL), 2);  // the code exchange and one refresh
  EXPECT_NE(a.get(), secrets[0]);
  remember();

  config = run([&]() -> Async<NASConfig> { co_return co_await client->config(true); });
  EXPECT_EQ(config.smbShare, "photo");
  EXPECT_EQ(http->count("GET " + issuer + "/nas-config"), 2);
  EXPECT_FALSE(run([&]() -> Async<std::optional<IdentityError>> { co_return co_await client->lastFailure(); }));

  // Revoke the grant at the provider; the next refresh is rejected.
  HttpRequest revoke;
  revoke.method = "POST";
  revoke.url = issuer + "/token/revocation";
  revoke.headers = {{"Content-Type", "application/x-www-form-urlencoded"}};
  revoke.body = encodeFormBody({{"token", secrets.back()}, {"token_type_hint", "refresh_token"},
                                {"client_id", "kelvane-test"}});
  auto revoked = run([&]() -> Async<HttpResponse> { co_return co_await curl->send(revoke); });
  EXPECT_EQ(revoked.status, 200) << revoked.body;

  clock->advance(Seconds(120), loop.drainer());
  try {
    run([&]() -> Async<std::string> { co_return co_await session->accessToken(); });
    FAIL() << "a revoked grant must end the sign-in";
  } catch (const IdentityError& e) {
    EXPECT_EQ(e.kind(), IdentityError::Case::notSignedIn) << e.detail();
    for (const auto& s : secrets) EXPECT_EQ(std::string(e.what()).find(s), std::string::npos);
  }
  EXPECT_EQ(KeychainTokenStore(keychain).load(), std::nullopt);
  // With the cache, configuration is still served; a forced fetch now fails as not signed in.
  EXPECT_EQ(run([&]() -> Async<NASConfig> { co_return co_await client->config(true); }).smbShare, "photo");
  auto failure = run([&]() -> Async<std::optional<IdentityError>> { co_return co_await client->lastFailure(); });
  ASSERT_TRUE(failure);
  EXPECT_EQ(failure->kind(), IdentityError::Case::notSignedIn);

  for (const auto& s : secrets) EXPECT_FALSE(log->contains(s)) << "a token reached the log";
  EXPECT_FALSE(log->contains("mr-peer-tunnel"));
}

TEST_F(OIDCProviderPeer, GarbageRefreshTokenIsRejectedAndSignsOut) {
  auto keychain = std::make_shared<FileKeychain>(folder / "keychain");
  auto tokens = std::make_shared<KeychainTokenStore>(keychain);
  tokens->save(OIDCTokens{"garbage-access", "garbage-refresh", clock->now()});
  auto session = AuthSession::make({loop.executor(), OIDCConfiguration::fromBundle(provider.issuer(), "kelvane-test", "kelvane"),
                                    tokens, std::make_shared<ProviderLoginPresenter>(),
                                    std::make_shared<CurlHttpClient>(), clock, KVLog::make(log, KVLog::identity)});
  try {
    run([&]() -> Async<std::string> { co_return co_await session->accessToken(); });
    FAIL();
  } catch (const IdentityError& e) {
    EXPECT_EQ(e.kind(), IdentityError::Case::notSignedIn);
  }
  EXPECT_EQ(KeychainTokenStore(keychain).load(), std::nullopt);
}

}  // namespace
}  // namespace kv::test
