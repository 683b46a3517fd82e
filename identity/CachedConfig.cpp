#include "identity/CachedConfig.h"

#include "core/JsonFields.h"

namespace kv {

void to_json(nlohmann::json& j, const CachedConfig& cached) {
  j = nlohmann::json::object();
  j["config"] = encodeNASConfig(cached.config);
  j["fetchedAt"] = jsonfield::encodeDate(cached.fetchedAt);
}

void from_json(const nlohmann::json& j, CachedConfig& cached) {
  jsonfield::requireObject(j);
  cached.config = jsonfield::requireValue<NASConfig>(j, "config");
  cached.fetchedAt = jsonfield::requireDate(j, "fetchedAt");
}

std::string encodeCachedConfig(const CachedConfig& cached) { return nlohmann::json(cached).dump(); }

CachedConfig decodeCachedConfig(std::string_view text) {
  auto doc = nlohmann::json::parse(text.begin(), text.end(), nullptr, /*allow_exceptions=*/false);
  if (doc.is_discarded()) throw DecodingError("", "the cached configuration is not valid JSON");
  CachedConfig cached;
  from_json(doc, cached);
  return cached;
}

}  // namespace kv
