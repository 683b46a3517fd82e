#pragma once
// The keychain: a store of small secret items, each identified by its class
// and a set of attributes, holding a byte string.
//
// Result codes follow the keychain's own numbering: 0 is success,
// kKeychainItemNotFound (-25300) means that no item matched, every other code
// is a failure (locked, denied, unreadable store, ...). `message` gives a
// human text for a code, or nothing when the implementation has none.
//
// A query names the item class and the attributes that must all match
// exactly. `add` stores the query's attributes plus `extra` ones (label,
// accessibility); it fails with kKeychainDuplicateItem when an item matching
// the query exists. `update` replaces the data of the matching item(s).
// `remove` deletes every matching item.
//
// Implementations are safe for concurrent use from any thread; every call
// blocks its caller for the duration of the store's work. None of them logs
// or returns item data anywhere but to the caller.
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace kv {

using KeychainStatus = std::int32_t;

inline constexpr KeychainStatus kKeychainSuccess = 0;
inline constexpr KeychainStatus kKeychainItemNotFound = -25300;
inline constexpr KeychainStatus kKeychainDuplicateItem = -25299;
inline constexpr KeychainStatus kKeychainNotAvailable = -25291;
inline constexpr KeychainStatus kKeychainAuthFailed = -25293;
inline constexpr KeychainStatus kKeychainInteractionNotAllowed = -25308;  // locked
inline constexpr KeychainStatus kKeychainParam = -50;
inline constexpr KeychainStatus kKeychainIO = -36;
inline constexpr KeychainStatus kKeychainDecode = -26275;  // the store cannot be read

enum class KeychainItemClass { genericPassword, internetPassword };

// Attribute names used by our items.
namespace keychainattr {
inline constexpr std::string_view service = "service";
inline constexpr std::string_view account = "account";
inline constexpr std::string_view server = "server";
inline constexpr std::string_view protocol = "protocol";
inline constexpr std::string_view label = "label";
inline constexpr std::string_view accessible = "accessible";
}  // namespace keychainattr

// Values of the "protocol" and "accessible" attributes.
inline constexpr std::string_view kKeychainProtocolSMB = "smb";
inline constexpr std::string_view kKeychainAccessibleAfterFirstUnlock = "afterFirstUnlock";

using KeychainAttributes = std::map<std::string, std::string, std::less<>>;

struct KeychainQuery {
  KeychainItemClass itemClass = KeychainItemClass::genericPassword;
  KeychainAttributes attributes;
};

// What `findOne` returns: the item's data (none when the item has none) and
// all its attributes.
struct KeychainMatch {
  std::optional<std::string> data;
  KeychainAttributes attributes;
};

class KeychainService {
 public:
  virtual ~KeychainService() = default;

  // The first item matching `query`. On success fills `out`.
  virtual KeychainStatus findOne(const KeychainQuery& query, KeychainMatch& out) = 0;
  virtual KeychainStatus update(const KeychainQuery& query, std::string_view data) = 0;
  virtual KeychainStatus add(const KeychainQuery& query, const KeychainAttributes& extra,
                             std::string_view data) = 0;
  virtual KeychainStatus remove(const KeychainQuery& query) = 0;
  virtual std::optional<std::string> message(KeychainStatus status) const = 0;
};

// Message texts for the codes above, shared by our implementations.
std::optional<std::string> standardKeychainMessage(KeychainStatus status);

// A KeychainService that forwards every call to another one, so that a test
// double can override just the call it changes.
class KeychainServiceWrapper : public KeychainService {
 public:
  explicit KeychainServiceWrapper(std::shared_ptr<KeychainService> target) : target_(std::move(target)) {}

  KeychainStatus findOne(const KeychainQuery& query, KeychainMatch& out) override {
    return target_->findOne(query, out);
  }
  KeychainStatus update(const KeychainQuery& query, std::string_view data) override {
    return target_->update(query, data);
  }
  KeychainStatus add(const KeychainQuery& query, const KeychainAttributes& extra, std::string_view data) override {
    return target_->add(query, extra, data);
  }
  KeychainStatus remove(const KeychainQuery& query) override { return target_->remove(query); }
  std::optional<std::string> message(KeychainStatus status) const override { return target_->message(status); }

  const std::shared_ptr<KeychainService>& target() const { return target_; }

 private:
  std::shared_ptr<KeychainService> target_;
};

}  // namespace kv
