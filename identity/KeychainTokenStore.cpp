#include "identity/KeychainTokenStore.h"

namespace kv {

KeychainTokenStore::KeychainTokenStore(std::shared_ptr<KeychainService> keychain, KeychainItem item)
    : store_(std::move(keychain), std::move(item), encodeTokens, decodeTokens) {}

std::optional<OIDCTokens> KeychainTokenStore::load() { return store_.load(); }
void KeychainTokenStore::save(const OIDCTokens& tokens) { store_.save(tokens); }
void KeychainTokenStore::remove() { store_.remove(); }

}  // namespace kv
