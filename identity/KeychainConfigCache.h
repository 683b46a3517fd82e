#pragma once
// The last good configuration in one generic-password item (production:
// service = bundle identifier, account "nas-config"), as JSON, behind a memo
// that never remembers a failure. See KeychainJSONStore for the exact rules.
#include <memory>

#include "identity/ConfigCache.h"
#include "identity/KeychainJSONStore.h"

namespace kv {

class KeychainConfigCache final : public ConfigCache {
 public:
  explicit KeychainConfigCache(std::shared_ptr<KeychainService> keychain, KeychainItem item = configKeychainItem());

  std::optional<CachedConfig> load() override;
  void save(const CachedConfig& cached) override;
  void remove() override;

  const KeychainMemo<CachedConfig>& memo() const { return store_.memo(); }

 private:
  KeychainJSONStore<CachedConfig> store_;
};

}  // namespace kv
