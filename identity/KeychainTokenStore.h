#pragma once
// The sign-in's tokens in one generic-password item (production: service =
// bundle identifier, account "oidc-tokens"), as JSON, behind a memo that
// never remembers a failure. See KeychainJSONStore for the exact rules.
#include <memory>

#include "identity/KeychainJSONStore.h"
#include "identity/TokenStore.h"

namespace kv {

class KeychainTokenStore final : public TokenStore {
 public:
  explicit KeychainTokenStore(std::shared_ptr<KeychainService> keychain, KeychainItem item = tokensKeychainItem());

  std::optional<OIDCTokens> load() override;
  void save(const OIDCTokens& tokens) override;
  void remove() override;

  const KeychainMemo<OIDCTokens>& memo() const { return store_.memo(); }

 private:
  KeychainJSONStore<OIDCTokens> store_;
};

}  // namespace kv
