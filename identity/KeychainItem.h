#pragma once
// The name of one generic-password item of the keychain.
#include <string>

namespace kv {

struct KeychainItem {
  std::string service;
  std::string account;

  bool operator==(const KeychainItem&) const = default;
};

// The production items: service = the bundle identifier.
KeychainItem tokensKeychainItem();
KeychainItem configKeychainItem();
// The server of the NAS login item.
inline constexpr const char* kNASLoginServer = "kelvane.nas";
// The label the user sees for the NAS login in a keychain manager.
inline constexpr const char* kNASLoginLabel = "Kelvane \u2013 Synology login";

}  // namespace kv
