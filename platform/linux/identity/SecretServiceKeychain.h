#pragma once
// The keychain on the freedesktop Secret Service (gnome-keyring, KWallet...)
// through libsecret, on the session bus of the process.
//
// Generic-password items use the schema "net.kelvane.Kelvane.GenericPassword"
// (attributes service, account); internet-password items
// "net.kelvane.Kelvane.InternetPassword" (server, protocol, account). Items go
// to the default collection; the "label" attribute becomes the item's label
// and "accessible" has no equivalent (the collection's lock decides). A
// locked item that cannot be unlocked without a prompt gives
// kKeychainInteractionNotAllowed; a bus or service failure
// kKeychainNotAvailable. Calls are serialised by a mutex.
#include <mutex>

#include "identity/KeychainService.h"

namespace kv {

class SecretServiceKeychain final : public KeychainService {
 public:
  SecretServiceKeychain() = default;

  // True when a Secret Service owns (or can be activated for) its name on the
  // session bus; waits at most about two seconds.
  static bool available();

  KeychainStatus findOne(const KeychainQuery& query, KeychainMatch& out) override;
  KeychainStatus update(const KeychainQuery& query, std::string_view data) override;
  KeychainStatus add(const KeychainQuery& query, const KeychainAttributes& extra, std::string_view data) override;
  KeychainStatus remove(const KeychainQuery& query) override;
  std::optional<std::string> message(KeychainStatus status) const override;

 private:
  std::mutex mu_;
};

}  // namespace kv
