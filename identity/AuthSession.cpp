#include "identity/AuthSession.h"

#include <algorithm>

#include "core/JsonFields.h"
#include "core/Redaction.h"
#include "identity/IdentityTexts.h"
#include "identity/Pkce.h"
#include "identity/TextEncoding.h"

namespace kv {

namespace {

constexpr Seconds kTokenRequestLimit{60.0};
constexpr Seconds kExpiryMargin{60.0};
constexpr Seconds kDefaultLifetime{300.0};
// A provider's "expires_in" beyond this is treated as this (about 30 years),
// so that an absurd value cannot overflow the date arithmetic.
constexpr double kLongestLifetime = 1e9;

std::string describe(const std::exception& e) { return redact(e.what()); }

bool isCancellationError(const std::exception& e) { return isCancellation(e); }

}  // namespace

OIDCConfiguration OIDCConfiguration::fromBundle(std::string issuer, std::string clientID,
                                                std::string_view redirectScheme) {
  OIDCConfiguration c;
  c.issuer = std::move(issuer);
  c.clientID = std::move(clientID);
  c.redirectURI = std::string(redirectScheme) + "://auth/callback";
  return c;
}

std::string encodeFormBody(const QueryItems& fields) {
  std::string body;
  for (const auto& [name, value] : fields) {
    if (!body.empty()) body.push_back('&');
    body += name;
    body.push_back('=');
    body += percentEncodeUnreserved(value);
  }
  return body;
}

std::shared_ptr<AuthSession> AuthSession::make(Dependencies deps) {
  return std::shared_ptr<AuthSession>(new AuthSession(std::move(deps)));
}

AuthSession::AuthSession(Dependencies deps) : deps_(std::move(deps)), strand_(makeStrand(deps_.executor)) {}

IdentityError AuthSession::failure(Failure kind, int code, std::string_view message) const {
  return kind == Failure::tokenExchange ? IdentityError::tokenExchangeFailed(code, message)
                                        : IdentityError::refreshFailed(code, message);
}

// -- isSignedIn / signOut ---------------------------------------------------

Async<bool> AuthSession::isSignedIn() {
  auto self = shared_from_this();
  co_return co_await onStrand(strand_, [self]() -> Async<bool> {
    try {
      co_return self->deps_.store->load().has_value();
    } catch (const std::exception& e) {
      self->deps_.log.error(identitytext::logIsSignedInReadFailed, priv(describe(e)));
      co_return false;
    }
  });
}

Async<void> AuthSession::signOut() {
  auto self = shared_from_this();
  co_await onStrand(strand_, [self]() -> Async<void> {
    self->deleteTokensLogging(identitytext::logSignOutDeleteFailed);
    co_return;
  });
}

void AuthSession::deleteTokensLogging(std::string_view format) {
  try {
    deps_.store->remove();
  } catch (const std::exception& e) {
    deps_.log.error(format, priv(describe(e)));
  }
}

// -- discovery ----------------------------------------------------------------

Async<OIDCEndpoints> AuthSession::endpoints() {
  auto self = shared_from_this();
  co_return co_await onStrand(strand_, [self]() -> Async<OIDCEndpoints> { co_return co_await self->discover(); });
}

Async<OIDCEndpoints> AuthSession::discover() {
  if (endpoints_) co_return *endpoints_;
  auto issuer = Url::parse(deps_.config.issuer);
  if (!issuer) throw IdentityError::invalidDiscovery("issuer " + deps_.config.issuer + " is not a URL");
  HttpRequest request;
  request.url = issuer->appendingPathComponent(".well-known/openid-configuration").text();
  request.headers = {{"Accept", "application/json"}};
  HttpResponse response;
  try {
    response = co_await deps_.http->send(request);
  } catch (const std::exception& e) {
    if (isCancellationError(e)) throw;
    throw IdentityError::invalidDiscovery(describe(e));
  }
  if (response.status != 200) {
    throw IdentityError::invalidDiscovery("HTTP " + std::to_string(response.status) + " from " + request.url);
  }
  auto doc = nlohmann::json::parse(response.body, nullptr, /*allow_exceptions=*/false);
  OIDCEndpoints found;
  try {
    if (doc.is_discarded()) throw DecodingError("", "not JSON");
    jsonfield::requireObject(doc);
    found.authorization = jsonfield::requireString(doc, "authorization_endpoint");
    found.token = jsonfield::requireString(doc, "token_endpoint");
    if (!Url::parse(found.authorization) || !Url::parse(found.token)) throw DecodingError("", "not URLs");
  } catch (const DecodingError&) {
    throw IdentityError::invalidDiscovery(identitytext::unreadableDiscovery);
  }
  // Another call may have discovered meanwhile; either answer is as good.
  if (!endpoints_) endpoints_ = found;
  co_return *endpoints_;
}

// -- sign-in ------------------------------------------------------------------

Async<void> AuthSession::signIn() {
  auto self = shared_from_this();
  co_await onStrand(strand_, [self]() -> Async<void> {
    if (!self->signInTask_) {
      self->signInTask_ = Task<void>::spawn(self->strand_, [self]() -> Async<void> {
        std::exception_ptr error;
        try {
          co_await self->runSignIn();
        } catch (...) {
          error = std::current_exception();
        }
        self->signInTask_ = {};
        if (error) std::rethrow_exception(error);
      });
    }
    auto task = self->signInTask_;
    co_await task.valuePropagatingCancel();
  });
}

Async<void> AuthSession::runSignIn() {
  OIDCEndpoints ep = co_await discover();
  const std::string verifier = randomURLSafeValue();
  const std::string state = randomURLSafeValue();
  const std::string nonce = randomURLSafeValue();

  auto redirect = Url::parse(deps_.config.redirectURI);
  std::string scheme = redirect ? redirect->scheme() : "";
  if (scheme.empty()) {
    throw IdentityError::invalidDiscovery("redirect URI " + deps_.config.redirectURI +
                                          std::string(identitytext::redirectWithoutScheme));
  }
  std::string scopes;
  for (const auto& s : deps_.config.scopes) {
    if (!scopes.empty()) scopes.push_back(' ');
    scopes += s;
  }
  // The endpoint parsed at discovery, so this cannot fail.
  auto authorizeURL = Url::parse(ep.authorization)->appendingQueryItems({
      {"response_type", "code"},
      {"client_id", deps_.config.clientID},
      {"redirect_uri", deps_.config.redirectURI},
      {"scope", scopes},
      {"state", state},
      {"nonce", nonce},
      {"code_challenge", codeChallengeS256(verifier)},
      {"code_challenge_method", "S256"},
  });

  std::string callback = co_await deps_.presenter->present(authorizeURL.text(), scheme);

  QueryItems items = queryItemsOf(callback).value_or(QueryItems{});
  if (auto error = firstQueryItem(items, "error")) {
    if (*error == "access_denied") throw IdentityError::userCancelled();
    throw IdentityError::tokenExchangeFailed(
        0, *error + ": " + firstQueryItem(items, "error_description").value_or(""));
  }
  auto returnedState = firstQueryItem(items, "state");
  if (!returnedState || *returnedState != state) {
    throw IdentityError::tokenExchangeFailed(0, identitytext::stateMismatch);
  }
  auto code = firstQueryItem(items, "code");
  if (!code) throw IdentityError::tokenExchangeFailed(0, identitytext::noAuthorizationCode);

  OIDCTokens tokens = co_await tokenRequest(ep.token,
                                            {{"grant_type", "authorization_code"},
                                             {"code", *code},
                                             {"redirect_uri", deps_.config.redirectURI},
                                             {"client_id", deps_.config.clientID},
                                             {"code_verifier", verifier}},
                                            std::nullopt, Failure::tokenExchange);
  deps_.store->save(tokens);
}

// -- access token and refresh -----------------------------------------------------

Async<std::string> AuthSession::accessToken() {
  auto self = shared_from_this();
  co_return co_await onStrand(strand_, [self]() -> Async<std::string> {
    auto tokens = self->loadForRefresh();
    if (!tokens) throw IdentityError::notSignedIn();
    if (secondsBetween(self->deps_.clock->now(), tokens->expiresAt) > kExpiryMargin) {
      co_return tokens->accessToken;
    }
    if (!self->refreshTask_) {
      self->refreshTask_ = Task<OIDCTokens>::spawn(self->strand_, [self, t = *tokens]() -> Async<OIDCTokens> {
        std::optional<OIDCTokens> result;
        std::exception_ptr error;
        try {
          result = co_await self->refresh(t);
        } catch (...) {
          error = std::current_exception();
        }
        self->refreshTask_ = {};
        if (error) std::rethrow_exception(error);
        co_return std::move(*result);
      });
    }
    // The refresh is shared: one caller's cancellation does not end it.
    auto task = self->refreshTask_;
    OIDCTokens fresh = co_await task.value();
    co_return fresh.accessToken;
  });
}

std::optional<OIDCTokens> AuthSession::loadForRefresh() {
  try {
    return deps_.store->load();
  } catch (const std::exception& e) {
    throw IdentityError::refreshFailed(-1, std::string(identitytext::tokenStorePrefix) + describe(e));
  }
}

Async<OIDCTokens> AuthSession::refresh(OIDCTokens tokens) {
  if (!tokens.refreshToken) {
    deleteTokensLogging(identitytext::logTokenStoreDeleteFailed);
    throw IdentityError::notSignedIn();
  }
  const std::string previous = *tokens.refreshToken;
  OIDCEndpoints ep = co_await discover();
  std::optional<OIDCTokens> fresh;
  bool rejected = false;
  try {
    fresh = co_await tokenRequest(
        ep.token, {{"grant_type", "refresh_token"}, {"refresh_token", previous}, {"client_id", deps_.config.clientID}},
        previous, Failure::refresh);
  } catch (const IdentityError& e) {
    if (e.kind() != IdentityError::Case::refreshFailed || (e.code() != 400 && e.code() != 401)) throw;
    rejected = true;
  }
  if (rejected) {
    // The provider no longer accepts this refresh token. Forget the tokens,
    // unless a new sign-in replaced them meanwhile.
    try {
      auto stored = deps_.store->load();
      if (stored && stored->refreshToken == previous) deleteTokensLogging(identitytext::logTokenStoreDeleteFailed);
    } catch (const std::exception& e) {
      deps_.log.error(identitytext::logTokenStoreDeleteFailed, priv(describe(e)));
    }
    throw IdentityError::notSignedIn();
  }
  // A sign-out or a new sign-in may have happened while the request was out.
  auto stored = loadForRefresh();
  if (!stored) throw IdentityError::notSignedIn();
  if (stored->refreshToken == previous) {
    try {
      deps_.store->save(*fresh);
    } catch (const std::exception& e) {
      throw IdentityError::refreshFailed(-1, std::string(identitytext::tokenStorePrefix) + describe(e));
    }
  }
  co_return std::move(*fresh);
}

Async<OIDCTokens> AuthSession::tokenRequest(const std::string& tokenURL, const QueryItems& fields,
                                            std::optional<std::string> previousRefreshToken, Failure kind) {
  HttpRequest request;
  request.method = "POST";
  request.url = tokenURL;
  request.headers = {{"Content-Type", "application/x-www-form-urlencoded"}, {"Accept", "application/json"}};
  request.body = encodeFormBody(fields);
  request.timeout = kTokenRequestLimit;
  HttpResponse response;
  try {
    response = co_await deps_.http->send(std::move(request));
  } catch (const std::exception& e) {
    if (isCancellationError(e)) throw;
    throw failure(kind, 0, describe(e));
  }
  if (response.status != 200) throw failure(kind, response.status, bodyExcerpt(response.body));

  auto doc = nlohmann::json::parse(response.body, nullptr, /*allow_exceptions=*/false);
  OIDCTokens tokens;
  std::optional<double> expiresIn;
  try {
    if (doc.is_discarded()) throw DecodingError("", "not JSON");
    jsonfield::requireObject(doc);
    tokens.accessToken = jsonfield::requireString(doc, "access_token");
    tokens.refreshToken = jsonfield::optionalString(doc, "refresh_token");
    expiresIn = jsonfield::optionalDouble(doc, "expires_in");
  } catch (const DecodingError&) {
    throw failure(kind, 200, identitytext::unreadableTokenResponse);
  }
  if (!tokens.refreshToken) tokens.refreshToken = std::move(previousRefreshToken);
  Seconds lifetime = expiresIn ? Seconds(std::clamp(*expiresIn, 0.0, kLongestLifetime)) : kDefaultLifetime;
  tokens.expiresAt = addSeconds(deps_.clock->now(), lifetime);
  co_return tokens;
}

}  // namespace kv
