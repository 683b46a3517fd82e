#pragma once
// The errors of sign-in and of the configuration client.
//
//   case                 payload                    detail text                                       situation
//   tokenExchangeFailed  code, message              "token exchange failed (HTTP <code>): <message>"  notSignedIn
//   refreshFailed        code, message              "token refresh failed (HTTP <code>): <message>"   configUnavailable
//   configFetchFailed    status (optional), message "config fetch failed (HTTP <status>|no response): <message>"
//                                                                                                     configUnavailable
//   invalidDiscovery     message                    "OIDC discovery failed: <message>"                configUnavailable
//   notSignedIn          -                          "no usable sign-in (no tokens, or the refresh token was rejected)"
//                                                                                                     notSignedIn
//   userCancelled        -                          "sign-in was cancelled"                           notSignedIn
//
// Codes are HTTP statuses where there is one; 0 means no HTTP status (a
// transport failure, a failure in the browser step), -1 a token store
// failure. Messages are redacted when the error is made, and the detail text
// (which is also what()) is redacted again.
#include <optional>
#include <stdexcept>
#include <string>

#include "core/Situation.h"

namespace kv {

class IdentityError : public std::runtime_error, public SituationConvertible {
 public:
  enum class Case { tokenExchangeFailed, refreshFailed, configFetchFailed, invalidDiscovery, notSignedIn, userCancelled };

  static IdentityError tokenExchangeFailed(int code, std::string_view message);
  static IdentityError refreshFailed(int code, std::string_view message);
  static IdentityError configFetchFailed(std::optional<int> status, std::string_view message);
  static IdentityError invalidDiscovery(std::string_view message);
  static IdentityError notSignedIn();
  static IdentityError userCancelled();

  Case kind() const noexcept { return kind_; }
  // The code or status; none for configFetchFailed without a response and for
  // the cases without payload.
  std::optional<int> code() const noexcept { return code_; }
  const std::string& message() const noexcept { return message_; }

  Situation situation() const override;
  std::string detail() const override;

  bool operator==(const IdentityError& other) const {
    return kind_ == other.kind_ && code_ == other.code_ && message_ == other.message_;
  }

 private:
  IdentityError(Case kind, std::optional<int> code, std::string message);
  static std::string describe(Case kind, std::optional<int> code, const std::string& message);

  Case kind_;
  std::optional<int> code_;
  std::string message_;
};

}  // namespace kv
