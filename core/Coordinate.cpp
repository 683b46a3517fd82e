#include "core/Coordinate.h"

#include "core/JsonFields.h"

namespace kv {

void to_json(nlohmann::json& j, const Coordinate& c) {
  j = nlohmann::json{{"latitude", c.latitude}, {"longitude", c.longitude}};
}

void from_json(const nlohmann::json& j, Coordinate& c) {
  jsonfield::requireObject(j);
  c.latitude = jsonfield::requireDouble(j, "latitude");
  c.longitude = jsonfield::requireDouble(j, "longitude");
}

}  // namespace kv
