#include "identity/KeychainItem.h"

#include "core/Bundle.h"

namespace kv {

KeychainItem tokensKeychainItem() { return {std::string(kBundleIdentifier), "oidc-tokens"}; }
KeychainItem configKeychainItem() { return {std::string(kBundleIdentifier), "nas-config"}; }

}  // namespace kv
