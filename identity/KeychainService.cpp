#include "identity/KeychainService.h"

namespace kv {

std::optional<std::string> standardKeychainMessage(KeychainStatus status) {
  switch (status) {
    case kKeychainSuccess: return "No error.";
    case kKeychainItemNotFound: return "The specified item could not be found in the keychain.";
    case kKeychainDuplicateItem: return "The specified item already exists in the keychain.";
    case kKeychainNotAvailable: return "No keychain is available.";
    case kKeychainAuthFailed: return "The user name or passphrase you entered is not correct.";
    case kKeychainInteractionNotAllowed: return "User interaction is not allowed (the keychain is locked).";
    case kKeychainParam: return "One or more parameters passed to a function were not valid.";
    case kKeychainIO: return "An input/output error occurred.";
    case kKeychainDecode: return "Unable to decode the provided data (the keychain store is damaged).";
    default: return std::nullopt;
  }
}

}  // namespace kv
