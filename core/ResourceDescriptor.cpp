#include "core/ResourceDescriptor.h"

#include "core/JsonFields.h"

namespace kv {

void to_json(nlohmann::json& j, const ResourceDescriptor& r) {
  j = nlohmann::json{
      {"assetID", r.assetID},
      {"type", r.type},
      {"originalFilename", r.originalFilename},
      {"uti", r.uti},
  };
  if (r.expectedBytes) j["expectedBytes"] = *r.expectedBytes;
}

void from_json(const nlohmann::json& j, ResourceDescriptor& r) {
  jsonfield::requireObject(j);
  r.assetID = jsonfield::requireValue<AssetID>(j, "assetID");
  r.type = jsonfield::requireValue<ResourceType>(j, "type");
  r.originalFilename = jsonfield::requireString(j, "originalFilename");
  r.uti = jsonfield::requireString(j, "uti");
  r.expectedBytes = jsonfield::optionalInt64(j, "expectedBytes");
}

}  // namespace kv
