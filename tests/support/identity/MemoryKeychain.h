#pragma once
// An in-memory KeychainService, and a wrapper that injects failures and
// counts calls around any keychain.
#include <atomic>
#include <mutex>
#include <vector>

#include "identity/KeychainService.h"

namespace kv::test {

class MemoryKeychain final : public KeychainService {
 public:
  KeychainStatus findOne(const KeychainQuery& query, KeychainMatch& out) override;
  KeychainStatus update(const KeychainQuery& query, std::string_view data) override;
  KeychainStatus add(const KeychainQuery& query, const KeychainAttributes& extra, std::string_view data) override;
  KeychainStatus remove(const KeychainQuery& query) override;
  std::optional<std::string> message(KeychainStatus status) const override { return standardKeychainMessage(status); }

  // Puts an item in directly (for data the stores would not write).
  void put(KeychainItemClass itemClass, KeychainAttributes attributes, std::optional<std::string> data);
  std::size_t itemCount() const;

 private:
  struct Item {
    KeychainItemClass itemClass;
    KeychainAttributes attributes;
    std::optional<std::string> data;
  };
  bool matches(const Item& item, const KeychainQuery& query) const;
  mutable std::mutex mu_;
  std::vector<Item> items_;
};

// Forwards to a real keychain; while `failWith` is non-zero every call returns
// it instead. Counts the calls that reached it.
class FailingKeychain final : public KeychainServiceWrapper {
 public:
  using KeychainServiceWrapper::KeychainServiceWrapper;

  KeychainStatus findOne(const KeychainQuery& query, KeychainMatch& out) override;
  KeychainStatus update(const KeychainQuery& query, std::string_view data) override;
  KeychainStatus add(const KeychainQuery& query, const KeychainAttributes& extra, std::string_view data) override;
  KeychainStatus remove(const KeychainQuery& query) override;

  std::atomic<KeychainStatus> failWith{0};
  std::atomic<KeychainStatus> failAddWith{0};
  std::atomic<int> finds{0}, updates{0}, adds{0}, removes{0};
};

}  // namespace kv::test
