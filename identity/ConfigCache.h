#pragma once
// Where the last good configuration outlives the process. Synchronous; each
// call may throw. Safe to call from any thread.
#include <optional>

#include "identity/CachedConfig.h"

namespace kv {

class ConfigCache {
 public:
  virtual ~ConfigCache() = default;
  virtual std::optional<CachedConfig> load() = 0;
  virtual void save(const CachedConfig& cached) = 0;
  virtual void remove() = 0;  // "delete"
};

}  // namespace kv
