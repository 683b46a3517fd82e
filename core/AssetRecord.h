#pragma once
// What the archive knows about one Photos asset.
//
// JSON keys are the field names; dates are seconds since 2001-01-01 UTC;
// absent optionals are left out (and absent or null ones decode to no value).
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "core/AssetID.h"
#include "core/AssetKind.h"
#include "core/Coordinate.h"
#include "core/Date.h"

namespace kv {

struct AssetRecord {
  AssetID id;
  AssetKind kind = AssetKind::photo;
  Date createdAt{};   // decides the asset's folder on the share
  Date modifiedAt{};  // drives change detection
  std::string originalFilename;
  bool isFavorite = false;
  bool isHidden = false;
  std::optional<Coordinate> location;
  std::vector<std::string> albums;  // titles of the albums holding the asset
  std::optional<double> durationSeconds;
  std::int64_t pixelWidth = 0;
  std::int64_t pixelHeight = 0;
  std::optional<std::string> burstID;

  bool operator==(const AssetRecord&) const = default;
};

void to_json(nlohmann::json& j, const AssetRecord& record);
// Throws DecodingError.
void from_json(const nlohmann::json& j, AssetRecord& record);

}  // namespace kv
