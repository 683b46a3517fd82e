#pragma once
// The Photos local identifier of an asset. Equality and hashing are those of
// `raw`; the JSON form is {"raw": "<identifier>"}.
#include <functional>
#include <string>

#include <nlohmann/json.hpp>

namespace kv {

struct AssetID {
  std::string raw;

  bool operator==(const AssetID&) const = default;
  auto operator<=>(const AssetID&) const = default;
};

void to_json(nlohmann::json& j, const AssetID& id);
// Throws DecodingError.
void from_json(const nlohmann::json& j, AssetID& id);

}  // namespace kv

template <>
struct std::hash<kv::AssetID> {
  std::size_t operator()(const kv::AssetID& id) const noexcept { return std::hash<std::string>{}(id.raw); }
};
