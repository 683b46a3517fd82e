#include "tests/support/identity/MemoryKeychain.h"

namespace kv::test {

bool MemoryKeychain::matches(const Item& item, const KeychainQuery& query) const {
  if (item.itemClass != query.itemClass) return false;
  for (const auto& [k, v] : query.attributes) {
    auto it = item.attributes.find(k);
    if (it == item.attributes.end() || it->second != v) return false;
  }
  return true;
}

KeychainStatus MemoryKeychain::findOne(const KeychainQuery& query, KeychainMatch& out) {
  std::lock_guard lk(mu_);
  for (const auto& item : items_) {
    if (matches(item, query)) {
      out.data = item.data;
      out.attributes = item.attributes;
      return kKeychainSuccess;
    }
  }
  return kKeychainItemNotFound;
}

KeychainStatus MemoryKeychain::update(const KeychainQuery& query, std::string_view data) {
  std::lock_guard lk(mu_);
  bool any = false;
  for (auto& item : items_) {
    if (matches(item, query)) {
      item.data = std::string(data);
      any = true;
    }
  }
  return any ? kKeychainSuccess : kKeychainItemNotFound;
}

KeychainStatus MemoryKeychain::add(const KeychainQuery& query, const KeychainAttributes& extra, std::string_view data) {
  std::lock_guard lk(mu_);
  for (const auto& item : items_) {
    if (matches(item, query)) return kKeychainDuplicateItem;
  }
  Item item{query.itemClass, query.attributes, std::string(data)};
  for (const auto& [k, v] : extra) item.attributes.insert_or_assign(k, v);
  items_.push_back(std::move(item));
  return kKeychainSuccess;
}

KeychainStatus MemoryKeychain::remove(const KeychainQuery& query) {
  std::lock_guard lk(mu_);
  auto n = std::erase_if(items_, [&](const Item& i) { return matches(i, query); });
  return n ? kKeychainSuccess : kKeychainItemNotFound;
}

void MemoryKeychain::put(KeychainItemClass itemClass, KeychainAttributes attributes, std::optional<std::string> data) {
  std::lock_guard lk(mu_);
  items_.push_back(Item{itemClass, std::move(attributes), std::move(data)});
}

std::size_t MemoryKeychain::itemCount() const {
  std::lock_guard lk(mu_);
  return items_.size();
}

KeychainStatus FailingKeychain::findOne(const KeychainQuery& query, KeychainMatch& out) {
  ++finds;
  if (auto f = failWith.load()) return f;
  return KeychainServiceWrapper::findOne(query, out);
}
KeychainStatus FailingKeychain::update(const KeychainQuery& query, std::string_view data) {
  ++updates;
  if (auto f = failWith.load()) return f;
  return KeychainServiceWrapper::update(query, data);
}
KeychainStatus FailingKeychain::add(const KeychainQuery& query, const KeychainAttributes& extra, std::string_view data) {
  ++adds;
  if (auto f = failWith.load()) return f;
  if (auto f = failAddWith.load()) return f;
  return KeychainServiceWrapper::add(query, extra, data);
}
KeychainStatus FailingKeychain::remove(const KeychainQuery& query) {
  ++removes;
  if (auto f = failWith.load()) return f;
  return KeychainServiceWrapper::remove(query);
}

}  // namespace kv::test
