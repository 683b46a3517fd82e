#include "identity/KeychainError.h"

#include "core/Redaction.h"

namespace kv {

std::string describeKeychainError(KeychainStatus status, const std::optional<std::string>& message) {
  return redact("Keychain error " + std::to_string(status) + ": " + message.value_or("unknown"));
}

KeychainError::KeychainError(KeychainStatus status, const std::optional<std::string>& message)
    : std::runtime_error(describeKeychainError(status, message)), status_(status) {}

KeychainError::KeychainError(KeychainStatus status, const KeychainService& service)
    : KeychainError(status, service.message(status)) {}

}  // namespace kv
