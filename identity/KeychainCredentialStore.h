#pragma once
// The NAS login in one internet-password item: server (production
// "kelvane.nas"), protocol SMB; the username is the item's account, the
// password its data (UTF-8). Behind a memo that never remembers a failure.
//   load:   memo when known; otherwise find the item with its attributes. No
//           item, or one without account or data: none. The password is
//           decoded leniently (U+FFFD for invalid bytes).
//   remove: delete matching items (none is success), then "absent".
//   save:   remove first (its failure stops the save), then add with account,
//           label "Kelvane – Synology login" and the password bytes. A failed
//           add throws and leaves the memo "absent", as the keychain now is.
#include <memory>
#include <string>

#include "identity/CredentialStore.h"
#include "identity/KeychainItem.h"
#include "identity/KeychainMemo.h"
#include "identity/KeychainService.h"

namespace kv {

class KeychainCredentialStore final : public CredentialStore {
 public:
  explicit KeychainCredentialStore(std::shared_ptr<KeychainService> keychain, std::string server = kNASLoginServer);

  std::optional<NASCredentials> load() override;
  void save(const NASCredentials& credentials) override;
  void remove() override;

  const KeychainMemo<NASCredentials>& memo() const { return memo_; }

 private:
  KeychainQuery query() const;

  std::shared_ptr<KeychainService> keychain_;
  std::string server_;
  KeychainMemo<NASCredentials> memo_;
};

}  // namespace kv
