#include "identity/KeychainCredentialStore.h"

#include "identity/KeychainError.h"
#include "identity/KeychainItem.h"
#include "identity/TextEncoding.h"

namespace kv {

KeychainCredentialStore::KeychainCredentialStore(std::shared_ptr<KeychainService> keychain, std::string server)
    : keychain_(std::move(keychain)), server_(std::move(server)) {}

KeychainQuery KeychainCredentialStore::query() const {
  KeychainQuery q;
  q.itemClass = KeychainItemClass::internetPassword;
  q.attributes.emplace(keychainattr::server, server_);
  q.attributes.emplace(keychainattr::protocol, kKeychainProtocolSMB);
  return q;
}

std::optional<NASCredentials> KeychainCredentialStore::load() {
  if (auto known = memo_.known()) return *known;
  KeychainMatch match;
  KeychainStatus status = keychain_->findOne(query(), match);
  if (status != kKeychainSuccess && status != kKeychainItemNotFound) throw KeychainError(status, *keychain_);
  std::optional<NASCredentials> result;
  if (status == kKeychainSuccess) {
    auto account = match.attributes.find(keychainattr::account);
    if (account != match.attributes.end() && match.data) {
      result = NASCredentials{account->second, lossyUTF8(*match.data)};
    }
  }
  if (result) {
    memo_.setPresent(*result);
  } else {
    memo_.setAbsent();
  }
  return result;
}

void KeychainCredentialStore::remove() {
  KeychainStatus status = keychain_->remove(query());
  if (status != kKeychainSuccess && status != kKeychainItemNotFound) throw KeychainError(status, *keychain_);
  memo_.setAbsent();
}

void KeychainCredentialStore::save(const NASCredentials& credentials) {
  remove();
  KeychainAttributes extra;
  extra.emplace(keychainattr::account, credentials.username);
  extra.emplace(keychainattr::label, kNASLoginLabel);
  KeychainStatus status = keychain_->add(query(), extra, credentials.password);
  if (status != kKeychainSuccess) throw KeychainError(status, *keychain_);
  memo_.setPresent(credentials);
}

}  // namespace kv
