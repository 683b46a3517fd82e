// The configuration client: cache first, forced refresh, offline fallback,
// failure normalisation and document validation.
#include <gtest/gtest.h>

#include "identity/AuthSession.h"
#include "identity/ConfigClient.h"
#include "tests/support/CapturingLog.h"
#include "tests/support/ManualClock.h"
#include "tests/support/TestLoop.h"
#include "tests/support/identity/FakeHttpClient.h"
#include "tests/support/identity/MemoryStores.h"
#include "tests/support/identity/ScriptedPresenter.h"

namespace kv::test {
namespace {

const std::string kEndpoint = "https://config.example.test/nas";
const std::string kDiscovery = "https://id.example.test/.well-known/openid-configuration";
const std::string kToken = "https://id.example.test/token";

std::string document(nlohmann::json overrides = nlohmann::json::object()) {
  nlohmann::json doc{{"molerun_addr", "mr-tunnel.example:7000"}, {"smb_share", "photo"}, {"dest_subdir", "Kelvane"},
                     {"local_port", 14450}, {"remote_smb", 445}};
  for (auto it = overrides.begin(); it != overrides.end(); ++it) {
    if (it.value().is_null()) doc.erase(it.key());
    else doc[it.key()] = it.value();
  }
  return doc.dump();
}

struct ConfigClientTest : ::testing::Test {
  TestLoop loop;
  std::shared_ptr<ManualClock> clock = std::make_shared<ManualClock>();
  std::shared_ptr<FakeHttpClient> http = std::make_shared<FakeHttpClient>();
  std::shared_ptr<MemoryTokenStore> tokens = std::make_shared<MemoryTokenStore>();
  std::shared_ptr<MemoryConfigCache> cache = std::make_shared<MemoryConfigCache>();
  std::shared_ptr<CapturingLog> log = std::make_shared<CapturingLog>();
  std::shared_ptr<AuthSession> auth;
  std::shared_ptr<ConfigClient> client;

  void SetUp() override {
    auto presenter = std::make_shared<ScriptedPresenter>([](std::string, std::string) -> Async<std::string> {
      throw IdentityError::userCancelled();
      co_return "";
    });
    auth = AuthSession::make({loop.executor(), OIDCConfiguration::fromBundle("https://id.example.test", "app", "kelvane"),
                              tokens, presenter, http, clock, KVLog::make(log, KVLog::identity)});
    client = ConfigClient::make({loop.executor(), kEndpoint, auth, cache, http, clock, KVLog::make(log, KVLog::identity)});
    tokens->value = OIDCTokens{"valid-access", "valid-refresh", addSeconds(clock->now(), Seconds(3600))};
    http->onGet(kDiscovery, FakeHttpClient::respond(
                                200, R"({"authorization_endpoint":"https://id.example.test/a","token_endpoint":")" +
                                         kToken + R"("})"));
  }

  void TearDown() override {
    for (const char* secret : {"valid-access", "valid-refresh", "mr-tunnel.example"}) {
      EXPECT_FALSE(log->contains(secret)) << secret;
    }
  }

  NASConfig config(bool force = false) {
    return loop.run([c = client, force]() -> Async<NASConfig> { co_return co_await c->config(force); });
  }
  IdentityError configFailure(bool force = false) {
    try {
      config(force);
    } catch (const IdentityError& e) {
      EXPECT_EQ(std::string(e.what()).find("valid-access"), std::string::npos);
      return e;
    }
    ADD_FAILURE() << "expected an IdentityError";
    return IdentityError::notSignedIn();
  }
  std::optional<IdentityError> lastFailure() {
    return loop.run([c = client]() -> Async<std::optional<IdentityError>> { co_return co_await c->lastFailure(); });
  }
  CachedConfig someCached() {
    NASConfig c;
    c.molerunAddr = "mr-tunnel.example:7000";
    c.smbShare = "cached-share";
    c.destSubdir = "d";
    c.remoteSMB = "445";
    return CachedConfig{c, fromReferenceSeconds(5)};
  }
};

TEST_F(ConfigClientTest, FetchSendsTheBearerTokenAndCachesTheResult) {
  http->onGet(kEndpoint, FakeHttpClient::respond(200, document()));
  NASConfig c = config();
  EXPECT_EQ(c.smbShare, "photo");
  EXPECT_EQ(c.remoteSMB, "445");
  EXPECT_EQ(c.nasLabel, "Synology");
  auto request = http->requests().back();
  EXPECT_EQ(request.header("Authorization"), "Bearer valid-access");
  EXPECT_EQ(request.header("Accept"), "application/json");
  EXPECT_TRUE(request.ignoreCachedResponse);
  EXPECT_EQ(request.timeout, Seconds(60));
  ASSERT_TRUE(cache->value);
  EXPECT_EQ(cache->value->config, c);
  EXPECT_EQ(cache->value->fetchedAt, clock->now());
  EXPECT_FALSE(lastFailure());
}

TEST_F(ConfigClientTest, CachedConfigIsServedWithoutAnyRequestEvenWhenTheEndpointIsDown) {
  cache->value = someCached();
  http->onGet(kEndpoint, FakeHttpClient::failTransport("Couldn't connect to server"));
  EXPECT_EQ(config().smbShare, "cached-share");
  EXPECT_TRUE(http->requests().empty());
}

TEST_F(ConfigClientTest, ForcedRefreshThatFailsFallsBackToTheCacheAndRecordsTheFailure) {
  cache->value = someCached();
  http->onGet(kEndpoint, FakeHttpClient::failTransport("Couldn't connect to server"));
  EXPECT_EQ(config(true).smbShare, "cached-share");
  auto failure = lastFailure();
  ASSERT_TRUE(failure);
  EXPECT_EQ(failure->detail(), "config fetch failed (no response): Couldn't connect to server");
  EXPECT_TRUE(log->contains("config fetch failed: config fetch failed (no response)"));
  // A later success clears it.
  http = std::make_shared<FakeHttpClient>();
  SetUp();
  http->onGet(kEndpoint, FakeHttpClient::respond(200, document()));
  config(true);
  EXPECT_FALSE(lastFailure());
}

TEST_F(ConfigClientTest, DocumentRules) {
  struct Case {
    const char* name;
    nlohmann::json overrides;
    std::optional<std::string> error;  // part of the detail text; none when accepted
    std::function<void(const NASConfig&)> check;
  };
  std::vector<Case> cases{
      {"numeric remote_smb", {{"remote_smb", 445}}, std::nullopt, [](auto& c) { EXPECT_EQ(c.remoteSMB, "445"); }},
      {"text remote_smb", {{"remote_smb", "nas.lan:445"}}, std::nullopt,
       [](auto& c) { EXPECT_EQ(c.remoteSMB, "nas.lan:445"); }},
      {"empty default user", {{"nas_user_default", ""}}, std::nullopt,
       [](auto& c) { EXPECT_EQ(c.nasUserDefault, std::nullopt); }},
      {"empty label stays empty", {{"nas_label", ""}}, std::nullopt, [](auto& c) { EXPECT_EQ(c.nasLabel, ""); }},
      {"empty share", {{"smb_share", ""}},
       "config fetch failed (HTTP 200): unreadable config: molerun_addr and smb_share must be non-empty", nullptr},
      {"empty tunnel address", {{"molerun_addr", ""}}, "molerun_addr and smb_share must be non-empty", nullptr},
      {"wrong type", {{"local_port", "4450"}}, "config fetch failed (HTTP 200): unreadable config: local_port", nullptr},
      {"missing key", {{"dest_subdir", nullptr}}, "unreadable config: dest_subdir", nullptr},
  };
  for (auto& c : cases) {
    SCOPED_TRACE(c.name);
    http = std::make_shared<FakeHttpClient>();
    cache = std::make_shared<MemoryConfigCache>();
    SetUp();
    http->onGet(kEndpoint, FakeHttpClient::respond(200, document(c.overrides)));
    if (c.error) {
      auto e = configFailure();
      EXPECT_NE(e.detail().find(*c.error), std::string::npos) << e.detail();
      EXPECT_EQ(e.code(), 200);
      EXPECT_FALSE(cache->value);
    } else {
      c.check(config());
    }
  }
}

TEST_F(ConfigClientTest, OtherStatusKeepsOnlyTheFirst512BytesOfTheBody) {
  std::string body = "<html>" + std::string(1000, 'x') + "</html>";
  http->onGet(kEndpoint, FakeHttpClient::respond(403, body));
  auto e = configFailure();
  EXPECT_EQ(e.code(), 403);
  EXPECT_EQ(e.message(), body.substr(0, 512));
  EXPECT_EQ(e.situation(), Situation::configUnavailable);
}

TEST_F(ConfigClientTest, SignInProblemsAreNormalised) {
  struct Case {
    const char* name;
    std::function<void(ConfigClientTest&)> arrange;
    IdentityError::Case kind;
    std::string detail;
  };
  std::vector<Case> cases{
      {"no tokens", [](auto& t) { t.tokens->value.reset(); }, IdentityError::Case::notSignedIn,
       "no usable sign-in (no tokens, or the refresh token was rejected)"},
      {"refresh rejected",
       [](auto& t) {
         t.tokens->value->expiresAt = t.clock->now();
         t.http->onPost(kToken, FakeHttpClient::respond(400, R"({"error":"invalid_grant"})"));
       },
       IdentityError::Case::notSignedIn, "no usable sign-in (no tokens, or the refresh token was rejected)"},
      {"refresh server error",
       [](auto& t) {
         t.tokens->value->expiresAt = t.clock->now();
         t.http->onPost(kToken, FakeHttpClient::respond(503, "busy"));
       },
       IdentityError::Case::configFetchFailed, "config fetch failed (no response): token refresh failed (HTTP 503): busy"},
  };
  for (auto& c : cases) {
    SCOPED_TRACE(c.name);
    http = std::make_shared<FakeHttpClient>();
    SetUp();
    c.arrange(*this);
    auto e = configFailure();
    EXPECT_EQ(e.kind(), c.kind);
    EXPECT_EQ(e.detail(), c.detail);
    EXPECT_EQ(lastFailure(), e);
  }
}

TEST_F(ConfigClientTest, CacheFailuresAreLoggedAndClearCacheForgetsEverything) {
  cache->failLoad = true;
  http->onGet(kEndpoint, FakeHttpClient::respond(200, document()));
  cache->failSave = true;
  EXPECT_EQ(config().smbShare, "photo");  // an unreadable cache counts as none
  EXPECT_TRUE(log->contains("config cache load failed: store read refused"));
  EXPECT_TRUE(log->contains("config cache save failed: store write refused"));
  cache->failLoad = cache->failSave = false;
  cache->value = someCached();
  loop.run([c = client]() -> Async<void> { co_await c->clearCache(); });
  EXPECT_FALSE(cache->value);
  EXPECT_FALSE(lastFailure());
}

}  // namespace
}  // namespace kv::test
