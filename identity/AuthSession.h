#pragma once
// Identity: OpenID Connect sign-in (authorization code flow with PKCE), the
// configuration client and the keychain stores.
//
// AuthSession discovers the provider's endpoints, runs the interactive
// sign-in through a WebAuthPresenting, exchanges the code for tokens, keeps
// them in a TokenStore and hands out access tokens, refreshing them shortly
// before they expire. Only the access token is used; no ID token is read.
//
// Every operation runs on the session's own strand, one step at a time; while
// one is suspended (on the network, on the browser) others may run. Sign-in
// and refresh are single-flight: concurrent callers share one.
//
//   isSignedIn   true when the store holds tokens; a store failure is logged
//                and counts as false.
//   signIn       discovery, browser step, code exchange, save. Cancelling the
//                caller cancels the browser step (userCancelled).
//   accessToken  a token valid for more than 60 more seconds; refreshes when
//                due. No tokens, no refresh token, or a refresh rejected with
//                HTTP 400/401: the stored tokens are deleted (if still the
//                same) and notSignedIn is thrown.
//   signOut      deletes the stored tokens; a failure is only logged.
//
// Errors are IdentityError (see there); no token ever reaches a log or an
// error text.
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "core/Clock.h"
#include "core/Log.h"
#include "core/async/Task.h"
#include "identity/AuthProviding.h"
#include "identity/HttpClient.h"
#include "identity/IdentityError.h"
#include "identity/OIDCTokens.h"
#include "identity/TokenStore.h"
#include "identity/Url.h"
#include "identity/WebAuthPresenting.h"

namespace kv {

struct OIDCConfiguration {
  std::string issuer;
  std::string clientID;
  std::string redirectURI;
  std::vector<std::string> scopes{"openid", "profile", "offline_access"};

  // The production form: redirect URI = scheme + "://auth/callback".
  static OIDCConfiguration fromBundle(std::string issuer, std::string clientID, std::string_view redirectScheme);
};

struct OIDCEndpoints {
  std::string authorization;
  std::string token;

  bool operator==(const OIDCEndpoints&) const = default;
};

// The form body of a token request: name=value pairs joined by "&", values
// percent-encoded so that only ASCII alphanumerics and "-._~" stay as they are.
std::string encodeFormBody(const QueryItems& fields);

class AuthSession final : public AuthProviding,
                          public AccessTokenProviding,
                          public std::enable_shared_from_this<AuthSession> {
 public:
  struct Dependencies {
    Executor executor;
    OIDCConfiguration config;
    std::shared_ptr<TokenStore> store;
    std::shared_ptr<WebAuthPresenting> presenter;
    std::shared_ptr<HttpClient> http;
    std::shared_ptr<Clock> clock;
    Logger log;  // category "identity"
  };

  static std::shared_ptr<AuthSession> make(Dependencies deps);

  Async<bool> isSignedIn() override;
  Async<void> signIn() override;
  Async<void> signOut() override;
  Async<std::string> accessToken() override;

  // The endpoints, discovered once per session.
  Async<OIDCEndpoints> endpoints();

  const OIDCConfiguration& configuration() const { return deps_.config; }

 private:
  explicit AuthSession(Dependencies deps);

  enum class Failure { tokenExchange, refresh };

  Async<OIDCEndpoints> discover();
  Async<void> runSignIn();
  Async<OIDCTokens> refresh(OIDCTokens tokens);
  Async<OIDCTokens> tokenRequest(const std::string& tokenURL, const QueryItems& fields,
                                 std::optional<std::string> previousRefreshToken, Failure kind);
  IdentityError failure(Failure kind, int code, std::string_view message) const;
  std::optional<OIDCTokens> loadForRefresh();
  void deleteTokensLogging(std::string_view format);

  Dependencies deps_;
  Strand strand_;
  // Touched only on strand_.
  std::optional<OIDCEndpoints> endpoints_;
  Task<void> signInTask_;
  Task<OIDCTokens> refreshTask_;
};

}  // namespace kv
