#pragma once
// Where the sign-in's tokens outlive the process. Synchronous; each call may
// throw (KeychainError, DecodingError for unreadable stored data). Safe to
// call from any thread.
#include <optional>

#include "identity/OIDCTokens.h"

namespace kv {

class TokenStore {
 public:
  virtual ~TokenStore() = default;
  virtual std::optional<OIDCTokens> load() = 0;
  virtual void save(const OIDCTokens& tokens) = 0;
  virtual void remove() = 0;  // "delete"
};

}  // namespace kv
