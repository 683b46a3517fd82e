#pragma once
// One resource (file) of one asset as the photo source reports it.
//
// Equality and hashing cover all five fields, expectedBytes included. JSON
// keys are the field names; expectedBytes is left out when unknown.
#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include <nlohmann/json.hpp>

#include "core/AssetID.h"
#include "core/Hashing.h"
#include "core/ResourceType.h"

namespace kv {

struct ResourceDescriptor {
  AssetID assetID;
  ResourceType type = ResourceType::original;
  std::string originalFilename;  // its extension decides the extension on the share
  std::string uti;               // uniform type identifier of the data
  std::optional<std::int64_t> expectedBytes;  // size announced by Photos, if known

  bool operator==(const ResourceDescriptor&) const = default;
};

void to_json(nlohmann::json& j, const ResourceDescriptor& resource);
// Throws DecodingError.
void from_json(const nlohmann::json& j, ResourceDescriptor& resource);

}  // namespace kv

template <>
struct std::hash<kv::ResourceDescriptor> {
  std::size_t operator()(const kv::ResourceDescriptor& r) const noexcept {
    std::size_t seed = 0;
    kv::hashCombine(seed, r.assetID);
    kv::hashCombine(seed, r.type);
    kv::hashCombine(seed, r.originalFilename);
    kv::hashCombine(seed, r.uti);
    kv::hashCombine(seed, r.expectedBytes);
    return seed;
  }
};
