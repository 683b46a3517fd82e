#pragma once
// The texts of an asset that only the Photos application holds. JSON keys are
// the field names; an absent title or caption is left out.
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

namespace kv {

struct PhotosMetadata {
  std::optional<std::string> title;
  std::optional<std::string> caption;
  std::vector<std::string> keywords;

  bool operator==(const PhotosMetadata&) const = default;
};

void to_json(nlohmann::json& j, const PhotosMetadata& metadata);
// Throws DecodingError.
void from_json(const nlohmann::json& j, PhotosMetadata& metadata);

}  // namespace kv
