#pragma once
// A keychain call that failed with a result code other than success or
// "no item". The text is "Keychain error <code>: <message>" with the
// service's message for the code, or "unknown" when it has none, redacted.
#include <optional>
#include <stdexcept>
#include <string>

#include "identity/KeychainService.h"

namespace kv {

class KeychainError : public std::runtime_error {
 public:
  KeychainError(KeychainStatus status, const std::optional<std::string>& message);
  // Takes the message from the service that produced the code.
  KeychainError(KeychainStatus status, const KeychainService& service);

  KeychainStatus status() const noexcept { return status_; }

 private:
  KeychainStatus status_;
};

std::string describeKeychainError(KeychainStatus status, const std::optional<std::string>& message);

}  // namespace kv
