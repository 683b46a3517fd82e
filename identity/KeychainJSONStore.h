#pragma once
// A value kept as JSON in one generic-password item, behind a memo: the shared
// behaviour of KeychainTokenStore and KeychainConfigCache.
//   load:   the memo's value when known; otherwise read the item (not under
//           the memo's lock), decode it, and remember the outcome. A keychain
//           or decoding failure is thrown and nothing is remembered.
//   save:   encode, write (update, else add), then remember the value.
//   remove: delete, then remember "absent". A failure leaves the memo as it was.
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "identity/KeychainGenericItem.h"
#include "identity/KeychainMemo.h"

namespace kv {

template <class T>
class KeychainJSONStore {
 public:
  using Encode = std::function<std::string(const T&)>;
  using Decode = std::function<T(std::string_view)>;

  KeychainJSONStore(std::shared_ptr<KeychainService> keychain, KeychainItem item, Encode encode, Decode decode)
      : keychain_(std::move(keychain)), item_(std::move(item)), encode_(std::move(encode)), decode_(std::move(decode)) {}

  std::optional<T> load() {
    if (auto known = memo_.known()) return *known;
    auto data = readGenericItem(*keychain_, item_);
    if (!data) {
      memo_.setAbsent();
      return std::nullopt;
    }
    T value = decode_(*data);
    memo_.setPresent(value);
    return value;
  }

  void save(const T& value) {
    std::string data = encode_(value);
    writeGenericItem(*keychain_, item_, data);
    memo_.setPresent(value);
  }

  void remove() {
    removeGenericItem(*keychain_, item_);
    memo_.setAbsent();
  }

  const KeychainItem& item() const { return item_; }
  const KeychainMemo<T>& memo() const { return memo_; }

 private:
  std::shared_ptr<KeychainService> keychain_;
  KeychainItem item_;
  Encode encode_;
  Decode decode_;
  KeychainMemo<T> memo_;
};

}  // namespace kv
