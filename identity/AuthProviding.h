#pragma once
// What the application needs of sign-in (AuthSession provides it; the inert
// composition has its own). Each operation hops onto the session's executor.
#include <string>

#include "core/async/Async.h"

namespace kv {

class AuthProviding {
 public:
  virtual ~AuthProviding() = default;
  virtual Async<bool> isSignedIn() = 0;
  virtual Async<void> signIn() = 0;
  virtual Async<void> signOut() = 0;
};

// What the configuration client needs of sign-in: an access token valid for
// at least the next minute, refreshed when due. Throws IdentityError.
class AccessTokenProviding {
 public:
  virtual ~AccessTokenProviding() = default;
  virtual Async<std::string> accessToken() = 0;
};

}  // namespace kv
