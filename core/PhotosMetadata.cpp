#include "core/PhotosMetadata.h"

#include "core/JsonFields.h"

namespace kv {

void to_json(nlohmann::json& j, const PhotosMetadata& m) {
  j = nlohmann::json{{"keywords", m.keywords}};
  if (m.title) j["title"] = *m.title;
  if (m.caption) j["caption"] = *m.caption;
}

void from_json(const nlohmann::json& j, PhotosMetadata& m) {
  jsonfield::requireObject(j);
  m.title = jsonfield::optionalString(j, "title");
  m.caption = jsonfield::optionalString(j, "caption");
  m.keywords = jsonfield::requireStringArray(j, "keywords");
}

}  // namespace kv
