#pragma once
// Reading, writing and removing one generic-password item: the common part of
// the token store and the configuration cache.
//   read:   the item's data; none when no item matches or it holds no data.
//   write:  update the data in place; when no item exists, add one with the
//           accessibility "after first unlock".
//   remove: delete matching items; no item is success.
// Every other result code throws KeychainError.
#include <optional>
#include <string>
#include <string_view>

#include "identity/KeychainItem.h"
#include "identity/KeychainService.h"

namespace kv {

KeychainQuery genericItemQuery(const KeychainItem& item);

std::optional<std::string> readGenericItem(KeychainService& keychain, const KeychainItem& item);
void writeGenericItem(KeychainService& keychain, const KeychainItem& item, std::string_view data);
void removeGenericItem(KeychainService& keychain, const KeychainItem& item);

}  // namespace kv
