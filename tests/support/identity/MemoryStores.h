#pragma once
// In-memory TokenStore and ConfigCache with failure switches and call counts.
#include <mutex>
#include <optional>

#include "identity/ConfigCache.h"
#include "identity/TokenStore.h"

namespace kv::test {

template <class Base, class T>
class MemoryStore final : public Base {
 public:
  std::optional<T> load() override {
    std::lock_guard lk(mu_);
    ++loads;
    if (failLoad) throw std::runtime_error("store read refused");
    return value;
  }
  void save(const T& v) override {
    std::lock_guard lk(mu_);
    ++saves;
    if (failSave) throw std::runtime_error("store write refused");
    value = v;
  }
  void remove() override {
    std::lock_guard lk(mu_);
    ++removes;
    if (failRemove) throw std::runtime_error("store delete refused");
    value.reset();
  }

  // Switches and counters; set them before the code under test runs.
  std::optional<T> value;
  bool failLoad = false, failSave = false, failRemove = false;
  int loads = 0, saves = 0, removes = 0;

 private:
  std::mutex mu_;
};

using MemoryTokenStore = MemoryStore<TokenStore, OIDCTokens>;
using MemoryConfigCache = MemoryStore<ConfigCache, CachedConfig>;

}  // namespace kv::test
