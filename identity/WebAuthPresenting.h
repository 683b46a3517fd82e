#pragma once
// The web authentication step of sign-in: show the provider's authorization
// page to the user and return the callback URL that the provider redirects to.
//
// `present` completes with the callback URL (whose scheme equals
// `callbackScheme`, ignoring letter case). It fails with
// IdentityError::userCancelled when the user or the calling task cancels
// (also when the task was cancelled before the call), and with
// IdentityError::tokenExchangeFailed code 0 for every other failure
// ("could not start the sign-in sheet", "unexpected callback scheme", ...).
#include <string>

#include "core/async/Async.h"

namespace kv {

class WebAuthPresenting {
 public:
  virtual ~WebAuthPresenting() = default;
  virtual Async<std::string> present(std::string url, std::string callbackScheme) = 0;
};

}  // namespace kv
