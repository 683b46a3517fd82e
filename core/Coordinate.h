#pragma once
// A place on earth in double-precision degrees. JSON keys: latitude, longitude.
#include <nlohmann/json.hpp>

namespace kv {

struct Coordinate {
  double latitude = 0;
  double longitude = 0;

  bool operator==(const Coordinate&) const = default;
};

void to_json(nlohmann::json& j, const Coordinate& c);
// Throws DecodingError (also for a value that is not a finite number).
void from_json(const nlohmann::json& j, Coordinate& c);

}  // namespace kv
