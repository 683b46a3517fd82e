#include "identity/KeychainGenericItem.h"

#include "identity/KeychainError.h"

namespace kv {

KeychainQuery genericItemQuery(const KeychainItem& item) {
  KeychainQuery q;
  q.itemClass = KeychainItemClass::genericPassword;
  q.attributes.emplace(keychainattr::service, item.service);
  q.attributes.emplace(keychainattr::account, item.account);
  return q;
}

std::optional<std::string> readGenericItem(KeychainService& keychain, const KeychainItem& item) {
  KeychainMatch match;
  KeychainStatus status = keychain.findOne(genericItemQuery(item), match);
  if (status == kKeychainItemNotFound) return std::nullopt;
  if (status != kKeychainSuccess) throw KeychainError(status, keychain);
  return std::move(match.data);
}

void writeGenericItem(KeychainService& keychain, const KeychainItem& item, std::string_view data) {
  auto query = genericItemQuery(item);
  KeychainStatus status = keychain.update(query, data);
  if (status == kKeychainSuccess) return;
  if (status != kKeychainItemNotFound) throw KeychainError(status, keychain);
  KeychainAttributes extra;
  extra.emplace(keychainattr::accessible, kKeychainAccessibleAfterFirstUnlock);
  status = keychain.add(query, extra, data);
  if (status != kKeychainSuccess) throw KeychainError(status, keychain);
}

void removeGenericItem(KeychainService& keychain, const KeychainItem& item) {
  KeychainStatus status = keychain.remove(genericItemQuery(item));
  if (status == kKeychainSuccess || status == kKeychainItemNotFound) return;
  throw KeychainError(status, keychain);
}

}  // namespace kv
