#include "core/AssetID.h"

#include "core/JsonFields.h"

namespace kv {

void to_json(nlohmann::json& j, const AssetID& id) { j = nlohmann::json{{"raw", id.raw}}; }

void from_json(const nlohmann::json& j, AssetID& id) {
  jsonfield::requireObject(j);
  id.raw = jsonfield::requireString(j, "raw");
}

}  // namespace kv
