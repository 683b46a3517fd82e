#pragma once
// The catalog's own errors (database errors are SqliteError, passed on
// unchanged).
//
//   unknownAsset(id)        no asset row with that identifier
//   unknownResource(id)     no resource row with that id (-1: a row without id)
//   corrupt(text)           a stored value that cannot be understood; texts
//                           "resource type <v>", "resource state <v>",
//                           "asset kind <v>" (and "albums_json of <asset>",
//                           "keywords_json of <asset>" for JSON columns)
// what(): "unknown asset <id>", "unknown resource <id>", "corrupt catalog
// value: <text>".
#include <cstdint>
#include <stdexcept>
#include <string>

namespace kv {

class CatalogError : public std::runtime_error {
 public:
  enum class Case { unknownAsset, unknownResource, corrupt };

  static CatalogError unknownAsset(std::string assetID);
  static CatalogError unknownResource(std::int64_t rowID);
  static CatalogError corrupt(std::string text);

  Case kind() const noexcept { return case_; }
  const std::string& assetID() const noexcept { return text_; }  // unknownAsset
  std::int64_t resourceID() const noexcept { return rowID_; }    // unknownResource
  const std::string& text() const noexcept { return text_; }     // corrupt

 private:
  CatalogError(Case c, std::string text, std::int64_t rowID, const std::string& message);

  Case case_;
  std::string text_;
  std::int64_t rowID_ = 0;
};

}  // namespace kv
