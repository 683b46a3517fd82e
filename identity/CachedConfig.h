#pragma once
// The last good NAS configuration and when it was fetched. JSON form (stored
// in the keychain): {"config": <the configuration document>, "fetchedAt":
// seconds since 2001-01-01 UTC}. Decoding throws DecodingError.
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

#include "core/Date.h"
#include "core/NASConfig.h"

namespace kv {

struct CachedConfig {
  NASConfig config;
  Date fetchedAt{};

  bool operator==(const CachedConfig&) const = default;
};

void to_json(nlohmann::json& j, const CachedConfig& cached);
void from_json(const nlohmann::json& j, CachedConfig& cached);

std::string encodeCachedConfig(const CachedConfig& cached);
CachedConfig decodeCachedConfig(std::string_view text);

}  // namespace kv
