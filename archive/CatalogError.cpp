#include "archive/CatalogError.h"

namespace kv {

CatalogError::CatalogError(Case c, std::string text, std::int64_t rowID, const std::string& message)
    : std::runtime_error(message), case_(c), text_(std::move(text)), rowID_(rowID) {}

CatalogError CatalogError::unknownAsset(std::string assetID) {
  std::string message = "unknown asset " + assetID;
  return {Case::unknownAsset, std::move(assetID), 0, message};
}

CatalogError CatalogError::unknownResource(std::int64_t rowID) {
  return {Case::unknownResource, {}, rowID, "unknown resource " + std::to_string(rowID)};
}

CatalogError CatalogError::corrupt(std::string text) {
  std::string message = "corrupt catalog value: " + text;
  return {Case::corrupt, std::move(text), 0, message};
}

}  // namespace kv
