#pragma once
// Where the NAS login outlives the process. Synchronous; each call may throw
// KeychainError. Safe to call from any thread. Username and password are
// stored exactly as given.
#include <optional>

#include "core/NASCredentials.h"

namespace kv {

class CredentialStore {
 public:
  virtual ~CredentialStore() = default;
  virtual std::optional<NASCredentials> load() = 0;
  virtual void save(const NASCredentials& credentials) = 0;
  virtual void remove() = 0;  // "delete"
};

}  // namespace kv
