#include "identity/KeychainConfigCache.h"

namespace kv {

KeychainConfigCache::KeychainConfigCache(std::shared_ptr<KeychainService> keychain, KeychainItem item)
    : store_(std::move(keychain), std::move(item), encodeCachedConfig, decodeCachedConfig) {}

std::optional<CachedConfig> KeychainConfigCache::load() { return store_.load(); }
void KeychainConfigCache::save(const CachedConfig& cached) { store_.save(cached); }
void KeychainConfigCache::remove() { store_.remove(); }

}  // namespace kv
