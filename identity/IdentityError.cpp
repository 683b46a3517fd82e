#include "identity/IdentityError.h"

#include "core/Redaction.h"

namespace kv {

IdentityError::IdentityError(Case kind, std::optional<int> code, std::string message)
    : std::runtime_error(describe(kind, code, message)), kind_(kind), code_(code), message_(std::move(message)) {}

std::string IdentityError::describe(Case kind, std::optional<int> code, const std::string& message) {
  std::string text;
  switch (kind) {
    case Case::tokenExchangeFailed:
      text = "token exchange failed (HTTP " + std::to_string(code.value_or(0)) + "): " + message;
      break;
    case Case::refreshFailed:
      text = "token refresh failed (HTTP " + std::to_string(code.value_or(0)) + "): " + message;
      break;
    case Case::configFetchFailed:
      text = "config fetch failed (" + (code ? "HTTP " + std::to_string(*code) : std::string("no response")) +
             "): " + message;
      break;
    case Case::invalidDiscovery: text = "OIDC discovery failed: " + message; break;
    case Case::notSignedIn: text = "no usable sign-in (no tokens, or the refresh token was rejected)"; break;
    case Case::userCancelled: text = "sign-in was cancelled"; break;
  }
  return redact(text);
}

IdentityError IdentityError::tokenExchangeFailed(int code, std::string_view message) {
  return IdentityError(Case::tokenExchangeFailed, code, redact(message));
}
IdentityError IdentityError::refreshFailed(int code, std::string_view message) {
  return IdentityError(Case::refreshFailed, code, redact(message));
}
IdentityError IdentityError::configFetchFailed(std::optional<int> status, std::string_view message) {
  return IdentityError(Case::configFetchFailed, status, redact(message));
}
IdentityError IdentityError::invalidDiscovery(std::string_view message) {
  return IdentityError(Case::invalidDiscovery, std::nullopt, redact(message));
}
IdentityError IdentityError::notSignedIn() { return IdentityError(Case::notSignedIn, std::nullopt, ""); }
IdentityError IdentityError::userCancelled() { return IdentityError(Case::userCancelled, std::nullopt, ""); }

Situation IdentityError::situation() const {
  switch (kind_) {
    case Case::tokenExchangeFailed:
    case Case::notSignedIn:
    case Case::userCancelled: return Situation::notSignedIn;
    case Case::refreshFailed:
    case Case::configFetchFailed:
    case Case::invalidDiscovery: return Situation::configUnavailable;
  }
  return Situation::configUnavailable;
}

std::string IdentityError::detail() const { return what(); }

}  // namespace kv
