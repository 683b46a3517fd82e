// Sign-in, token expiry and the single-flight refresh, against a scripted
// HTTP client and an in-memory token store.
#include <gtest/gtest.h>

#include "core/Redaction.h"
#include "identity/AuthSession.h"
#include "identity/Pkce.h"
#include "identity/TextEncoding.h"
#include "tests/support/CapturingLog.h"
#include "tests/support/ManualClock.h"
#include "tests/support/TestLoop.h"
#include "tests/support/identity/FakeHttpClient.h"
#include "tests/support/identity/MemoryStores.h"
#include "tests/support/identity/ScriptedPresenter.h"

namespace kv::test {
namespace {

const std::string kIssuer = "https://id.example.test/realm";
const std::string kDiscovery = "https://id.example.test/realm/.well-known/openid-configuration";
const std::string kAuthorize = "https://id.example.test/authorize?tenant=a";
const std::string kToken = "https://id.example.test/token";
const std::string kDiscoveryBody =
    R"({"issuer":"x","authorization_endpoint":")" + kAuthorize + R"(","token_endpoint":")" + kToken + R"("})";

std::string tokenBody(const std::string& access, std::optional<std::string> refresh, std::optional<double> expiresIn) {
  nlohmann::json j{{"access_token", access}, {"token_type", "Bearer"}};
  if (refresh) j["refresh_token"] = *refresh;
  if (expiresIn) j["expires_in"] = *expiresIn;
  return j.dump();
}

struct AuthSessionTest : ::testing::Test {
  TestLoop loop;
  std::shared_ptr<ManualClock> clock = std::make_shared<ManualClock>();
  std::shared_ptr<FakeHttpClient> http = std::make_shared<FakeHttpClient>();
  std::shared_ptr<MemoryTokenStore> store = std::make_shared<MemoryTokenStore>();
  std::shared_ptr<CapturingLog> log = std::make_shared<CapturingLog>();
  // What the presenter answers; by default it echoes the state with a code.
  std::function<std::string(const QueryItems&)> callback = [](const QueryItems& items) {
    return "kelvane://auth/callback?code=the-code&state=" + percentEncodeUnreserved(*firstQueryItem(items, "state"));
  };
  std::shared_ptr<ScriptedPresenter> presenter =
      std::make_shared<ScriptedPresenter>([this](std::string url, std::string scheme) -> Async<std::string> {
        EXPECT_EQ(scheme, "kelvane");
        co_return callback(*queryItemsOf(url));
      });
  std::shared_ptr<AuthSession> session;
  std::vector<std::string> secrets{"old-access", "old-refresh", "new-access", "new-refresh"};

  void SetUp() override {
    http->onGet(kDiscovery, FakeHttpClient::respond(200, kDiscoveryBody));
    session = AuthSession::make({loop.executor(), OIDCConfiguration::fromBundle(kIssuer, "kelvane-app", "kelvane"),
                                 store, presenter, http, clock, KVLog::make(log, KVLog::identity)});
  }

  void TearDown() override {
    for (const auto& s : secrets) {
      EXPECT_FALSE(log->contains(s)) << "the log shows " << s;
    }
  }

  void storeTokens(double expiresInSeconds, std::optional<std::string> refresh = "old-refresh") {
    store->value = OIDCTokens{"old-access", std::move(refresh), addSeconds(clock->now(), Seconds(expiresInSeconds))};
  }

  std::size_t tokenRequests() const { return http->count("POST", kToken); }

  // Runs `body` and returns the IdentityError it throws (fails the test otherwise).
  template <class F>
  IdentityError failureOf(F body) {
    try {
      loop.run(std::move(body));
    } catch (const IdentityError& e) {
      for (const auto& s : secrets) EXPECT_EQ(std::string(e.what()).find(s), std::string::npos);
      return e;
    }
    ADD_FAILURE() << "expected an IdentityError";
    return IdentityError::notSignedIn();
  }

  std::string accessToken() {
    return loop.run([s = session]() -> Async<std::string> { co_return co_await s->accessToken(); });
  }
};

TEST_F(AuthSessionTest, TokenIsRefreshedOnlyWhenItExpiresWithinAMinute) {
  struct Case {
    const char* name;
    double expiresIn;
    std::size_t requests;
    const char* token;
  };
  for (const Case& c : {Case{"61 s left", 61, 0, "old-access"}, Case{"59 s left", 59, 1, "new-access"}}) {
    SCOPED_TRACE(c.name);
    http = std::make_shared<FakeHttpClient>();
    SetUp();
    http->onPost(kToken, FakeHttpClient::respond(200, tokenBody("new-access", "new-refresh", 3600)));
    storeTokens(c.expiresIn);
    EXPECT_EQ(accessToken(), c.token);
    EXPECT_EQ(tokenRequests(), c.requests);
  }
}

TEST_F(AuthSessionTest, RefreshRequestCarriesTheFormAndSavesTheNewTokens) {
  storeTokens(10);
  http->onPost(kToken, FakeHttpClient::respond(200, tokenBody("new-access", "new-refresh", 120.5)));
  EXPECT_EQ(accessToken(), "new-access");
  auto post = http->requests().back();
  EXPECT_EQ(post.body, "grant_type=refresh_token&refresh_token=old-refresh&client_id=kelvane-app");
  EXPECT_EQ(post.header("Content-Type"), "application/x-www-form-urlencoded");
  EXPECT_EQ(post.header("Accept"), "application/json");
  EXPECT_EQ(post.timeout, Seconds(60));
  ASSERT_TRUE(store->value);
  EXPECT_EQ(store->value->refreshToken, "new-refresh");
  EXPECT_EQ(store->value->expiresAt, addSeconds(clock->now(), Seconds(120.5)));
}

TEST_F(AuthSessionTest, ResponseWithoutRefreshTokenOrLifetimeKeepsOldRefreshAndLasts300Seconds) {
  storeTokens(10);
  http->onPost(kToken, FakeHttpClient::respond(200, tokenBody("new-access", std::nullopt, std::nullopt)));
  EXPECT_EQ(accessToken(), "new-access");
  EXPECT_EQ(store->value->refreshToken, "old-refresh");
  EXPECT_EQ(store->value->expiresAt, addSeconds(clock->now(), Seconds(300)));
}

TEST_F(AuthSessionTest, TwoConcurrentCallersShareOneRefresh) {
  storeTokens(5);
  http->onPost(kToken, FakeHttpClient::held(200, tokenBody("new-access", "new-refresh", 3600)));
  auto call = [s = session]() -> Async<std::string> { co_return co_await s->accessToken(); };
  auto a = Task<std::string>::spawn(loop.executor(), call);
  auto b = Task<std::string>::spawn(loop.executor(), call);
  loop.runUntil([&] { return http->heldCount() > 0; });
  loop.poll();
  EXPECT_EQ(tokenRequests(), 1u);
  http->release();
  loop.runUntil([&] { return a.isFinished() && b.isFinished(); });
  EXPECT_EQ(a.get(), "new-access");
  EXPECT_EQ(b.get(), "new-access");
  EXPECT_EQ(tokenRequests(), 1u);
  EXPECT_EQ(store->saves, 1);
}

TEST_F(AuthSessionTest, WithoutRefreshTokenTheTokensAreDeletedAndTheUserIsNotSignedIn) {
  storeTokens(5, std::nullopt);
  auto e = failureOf([s = session]() -> Async<void> { co_await s->accessToken(); });
  EXPECT_EQ(e.kind(), IdentityError::Case::notSignedIn);
  EXPECT_FALSE(store->value);
  EXPECT_EQ(tokenRequests(), 0u);
}

TEST_F(AuthSessionTest, RejectedRefreshSignsOutButServerErrorKeepsTheTokens) {
  struct Case {
    int status;
    IdentityError::Case kind;
    bool tokensKept;
  };
  for (const Case& c : {Case{400, IdentityError::Case::notSignedIn, false},
                        Case{401, IdentityError::Case::notSignedIn, false},
                        Case{500, IdentityError::Case::refreshFailed, true}}) {
    SCOPED_TRACE(c.status);
    http = std::make_shared<FakeHttpClient>();
    SetUp();
    storeTokens(5);
    http->onPost(kToken, FakeHttpClient::respond(c.status, R"({"error":"invalid_grant","hint":"Bearer old-access"})"));
    auto e = failureOf([s = session]() -> Async<void> { co_await s->accessToken(); });
    EXPECT_EQ(e.kind(), c.kind);
    EXPECT_EQ(store->value.has_value(), c.tokensKept);
    if (c.status == 500) {
      EXPECT_EQ(e.code(), 500);
      EXPECT_EQ(e.detail(), "token refresh failed (HTTP 500): {\"error\":\"invalid_grant\",\"hint\":\"Bearer \xE2\x80\xA6redacted\"}");
      EXPECT_EQ(e.situation(), Situation::configUnavailable);
    }
  }
}

TEST_F(AuthSessionTest, SignOutDuringARefreshWinsOverTheRefreshedTokens) {
  storeTokens(5);
  http->onPost(kToken, FakeHttpClient::held(200, tokenBody("new-access", "new-refresh", 3600)));
  auto caller = Task<std::string>::spawn(loop.executor(),
                                         [s = session]() -> Async<std::string> { co_return co_await s->accessToken(); });
  loop.runUntil([&] { return http->heldCount() > 0; });
  loop.run([s = session]() -> Async<void> { co_await s->signOut(); });
  EXPECT_FALSE(store->value);
  http->release();
  loop.runUntil([&] { return caller.isFinished(); });
  try {
    caller.get();
    FAIL();
  } catch (const IdentityError& e) {
    EXPECT_EQ(e.kind(), IdentityError::Case::notSignedIn);
  }
  EXPECT_FALSE(store->value);
  EXPECT_EQ(store->saves, 0);
}

TEST_F(AuthSessionTest, StoreFailuresBecomeRefreshFailedOrAreOnlyLogged) {
  store->failLoad = true;
  auto e = failureOf([s = session]() -> Async<void> { co_await s->accessToken(); });
  EXPECT_EQ(e.kind(), IdentityError::Case::refreshFailed);
  EXPECT_EQ(e.code(), -1);
  EXPECT_EQ(e.message(), "token store: store read refused");
  EXPECT_FALSE(loop.run([s = session]() -> Async<bool> { co_return co_await s->isSignedIn(); }));
  EXPECT_TRUE(log->contains("isSignedIn: token store read failed: store read refused"));
  store->failRemove = true;
  loop.run([s = session]() -> Async<void> { co_await s->signOut(); });
  EXPECT_TRUE(log->contains("signOut: token store delete failed: store delete refused"));
}

TEST_F(AuthSessionTest, SignInSendsTheItemsInOrderAndExchangesTheCodeWithTheVerifier) {
  http->onPost(kToken, FakeHttpClient::respond(200, tokenBody("new-access", "new-refresh", 600)));
  loop.run([s = session]() -> Async<void> { co_await s->signIn(); });
  ASSERT_EQ(presenter->urls().size(), 1u);
  auto items = *queryItemsOf(presenter->urls()[0]);
  std::vector<std::string> names;
  for (auto& [k, v] : items) names.push_back(k);
  EXPECT_EQ(names, (std::vector<std::string>{"tenant", "response_type", "client_id", "redirect_uri", "scope", "state",
                                             "nonce", "code_challenge", "code_challenge_method"}));
  EXPECT_EQ(*firstQueryItem(items, "redirect_uri"), "kelvane://auth/callback");
  EXPECT_EQ(*firstQueryItem(items, "scope"), "openid profile offline_access");
  EXPECT_EQ(firstQueryItem(items, "state")->size(), 43u);
  EXPECT_NE(*firstQueryItem(items, "state"), *firstQueryItem(items, "nonce"));

  auto form = *queryItemsOf("x://y/?" + http->requests().back().body);
  EXPECT_EQ(*firstQueryItem(form, "grant_type"), "authorization_code");
  EXPECT_EQ(*firstQueryItem(form, "code"), "the-code");
  EXPECT_EQ(*firstQueryItem(form, "redirect_uri"), "kelvane://auth/callback");
  EXPECT_EQ(codeChallengeS256(*firstQueryItem(form, "code_verifier")), *firstQueryItem(items, "code_challenge"));
  ASSERT_TRUE(store->value);
  EXPECT_EQ(store->value->accessToken, "new-access");
  EXPECT_EQ(http->count("GET", kDiscovery), 1u);
  loop.run([s = session]() -> Async<void> { co_await s->endpoints(); });
  EXPECT_EQ(http->count("GET", kDiscovery), 1u);  // discovered once per session
}

TEST_F(AuthSessionTest, CallbackErrorsGiveTheirStatedFailureAndStoreNothing) {
  struct Case {
    const char* name;
    std::function<std::string(const QueryItems&)> callback;
    IdentityError::Case kind;
    std::string message;
  };
  auto state = [](const QueryItems& i) { return percentEncodeUnreserved(*firstQueryItem(i, "state")); };
  std::vector<Case> cases{
      {"access denied", [](auto&) { return "kelvane://auth/callback?error=access_denied"; },
       IdentityError::Case::userCancelled, ""},
      {"other error", [](auto&) { return "kelvane://auth/callback?error=server_error&error_description=down%20now"; },
       IdentityError::Case::tokenExchangeFailed, "server_error: down now"},
      {"error without description", [](auto&) { return "kelvane://auth/callback?error=login_required"; },
       IdentityError::Case::tokenExchangeFailed, "login_required: "},
      {"other state", [](auto&) { return "kelvane://auth/callback?code=c&state=forged"; },
       IdentityError::Case::tokenExchangeFailed, "state mismatch in callback"},
      {"no code", [=](auto& i) { return "kelvane://auth/callback?state=" + state(i); },
       IdentityError::Case::tokenExchangeFailed, "callback carried no authorization code"},
      {"not a URL", [](auto&) { return "this is not a url"; }, IdentityError::Case::tokenExchangeFailed,
       "state mismatch in callback"},
  };
  for (auto& c : cases) {
    SCOPED_TRACE(c.name);
    callback = c.callback;
    auto e = failureOf([s = session]() -> Async<void> { co_await s->signIn(); });
    EXPECT_EQ(e.kind(), c.kind);
    EXPECT_EQ(e.message(), c.message);
    if (c.kind == IdentityError::Case::tokenExchangeFailed) EXPECT_EQ(e.code(), 0);
    EXPECT_FALSE(store->value);
    EXPECT_EQ(tokenRequests(), 0u);
  }
}

TEST_F(AuthSessionTest, BadProviderAnswersGiveTheirStatedErrors) {
  struct Case {
    const char* name;
    int discoveryStatus;
    std::string discoveryBody;
    std::string tokenBody;
    std::string detail;
  };
  std::vector<Case> cases{
      {"discovery 404", 404, "", "", "OIDC discovery failed: HTTP 404 from " + kDiscovery},
      {"discovery without endpoints", 200, R"({"issuer":"x"})", "",
       "OIDC discovery failed: unreadable discovery document"},
      {"discovery not JSON", 200, "<html>", "", "OIDC discovery failed: unreadable discovery document"},
      {"token response not JSON", 200, kDiscoveryBody, "<html>oops</html>",
       "token exchange failed (HTTP 200): unreadable token response"},
      {"token response without access token", 200, kDiscoveryBody, R"({"refresh_token":"old-refresh"})",
       "token exchange failed (HTTP 200): unreadable token response"},
  };
  for (auto& c : cases) {
    SCOPED_TRACE(c.name);
    http = std::make_shared<FakeHttpClient>();
    session = AuthSession::make({loop.executor(), OIDCConfiguration::fromBundle(kIssuer, "kelvane-app", "kelvane"),
                                 store, presenter, http, clock, KVLog::make(log, KVLog::identity)});
    http->onGet(kDiscovery, FakeHttpClient::respond(c.discoveryStatus, c.discoveryBody));
    http->onPost(kToken, FakeHttpClient::respond(200, c.tokenBody));
    auto e = failureOf([s = session]() -> Async<void> { co_await s->signIn(); });
    EXPECT_EQ(e.detail(), c.detail);
    EXPECT_FALSE(store->value);
  }
}

TEST_F(AuthSessionTest, TransportFailureOfTheTokenRequestHasCodeZero) {
  http->onPost(kToken, FakeHttpClient::failTransport("Couldn't connect to server"));
  auto e = failureOf([s = session]() -> Async<void> { co_await s->signIn(); });
  EXPECT_EQ(e.detail(), "token exchange failed (HTTP 0): Couldn't connect to server");
  EXPECT_EQ(e.situation(), Situation::notSignedIn);
}

TEST(FormEncoding, OnlyUnreservedCharactersStayAsTheyAre) {
  EXPECT_EQ(encodeFormBody({{"a", " &=+"}, {"b", "-._~"}, {"c", "AZaz09/?\xC3\xA9"}}),
            "a=%20%26%3D%2B&b=-._~&c=AZaz09%2F%3F%C3%A9");
}

TEST(Pkce, ChallengeIsTheS256OfTheVerifierAndValuesAreUrlSafe) {
  // The example of RFC 7636, appendix B.
  EXPECT_EQ(codeChallengeS256("dBjftJeZ4CVP-mB92K27uhbUJU1p1r_wW1gFWFOEjXk"),
            "E9Melhoa2OwvFrEMTJguCHaoeK1t8URWbuGJSstw-cM");
  auto v = randomURLSafeValue();
  EXPECT_EQ(v.size(), 43u);
  EXPECT_EQ(v.find_first_not_of("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_"), std::string::npos);
  EXPECT_NE(v, randomURLSafeValue());
}

}  // namespace
}  // namespace kv::test
