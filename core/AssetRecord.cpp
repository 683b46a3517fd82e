#include "core/AssetRecord.h"

#include "core/JsonFields.h"

namespace kv {

void to_json(nlohmann::json& j, const AssetRecord& r) {
  j = nlohmann::json{
      {"id", r.id},
      {"kind", r.kind},
      {"createdAt", jsonfield::encodeDate(r.createdAt)},
      {"modifiedAt", jsonfield::encodeDate(r.modifiedAt)},
      {"originalFilename", r.originalFilename},
      {"isFavorite", r.isFavorite},
      {"isHidden", r.isHidden},
      {"albums", r.albums},
      {"pixelWidth", r.pixelWidth},
      {"pixelHeight", r.pixelHeight},
  };
  if (r.location) j["location"] = *r.location;
  if (r.durationSeconds) j["durationSeconds"] = *r.durationSeconds;
  if (r.burstID) j["burstID"] = *r.burstID;
}

void from_json(const nlohmann::json& j, AssetRecord& r) {
  jsonfield::requireObject(j);
  r.id = jsonfield::requireValue<AssetID>(j, "id");
  r.kind = jsonfield::requireValue<AssetKind>(j, "kind");
  r.createdAt = jsonfield::requireDate(j, "createdAt");
  r.modifiedAt = jsonfield::requireDate(j, "modifiedAt");
  r.originalFilename = jsonfield::requireString(j, "originalFilename");
  r.isFavorite = jsonfield::requireBool(j, "isFavorite");
  r.isHidden = jsonfield::requireBool(j, "isHidden");
  r.location = jsonfield::optionalValue<Coordinate>(j, "location");
  r.albums = jsonfield::requireStringArray(j, "albums");
  r.durationSeconds = jsonfield::optionalDouble(j, "durationSeconds");
  r.pixelWidth = jsonfield::requireInt64(j, "pixelWidth");
  r.pixelHeight = jsonfield::requireInt64(j, "pixelHeight");
  r.burstID = jsonfield::optionalString(j, "burstID");
}

}  // namespace kv
