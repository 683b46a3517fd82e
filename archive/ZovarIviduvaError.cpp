#include "archive/ZovarIviduvaError.h"

#include "core/Redaction.h"

namespace kv {

namespace {

std::string detailText(ZovarIviduvaError::Case c, const std::string& text, std::int64_t number,
                       const AssetID& asset) {
  using C = ZovarIviduvaError::Case;
  switch (c) {
    case C::destinationUnavailable:
      return "Destination unavailable: " + text;
    case C::shareFull:
      return "Share is out of space; about " + std::to_string(number) + " bytes still to copy";
    case C::downloadFailed:
      return "Download failed for " + asset.raw + ": " + text;
    case C::verifyMismatch:
      return std::to_string(number) + " resources failed verification";
    case C::metadataFetchFailed:
      return "Photos metadata fetch failed: " + text;
    case C::photosAccessDenied:
      return "Photos library access is not authorized";
  }
  return {};
}

}  // namespace

ZovarIviduvaError::ZovarIviduvaError(Case c, std::string text, std::int64_t number, AssetID asset)
    : case_(c), text_(std::move(text)), number_(number), asset_(std::move(asset)) {
  detail_ = redact(detailText(case_, text_, number_, asset_));
}

ZovarIviduvaError ZovarIviduvaError::destinationUnavailable(std::string text) {
  return {Case::destinationUnavailable, std::move(text), 0, {}};
}
ZovarIviduvaError ZovarIviduvaError::shareFull(std::int64_t neededBytes) {
  return {Case::shareFull, {}, neededBytes, {}};
}
ZovarIviduvaError ZovarIviduvaError::downloadFailed(AssetID asset, std::string text) {
  return {Case::downloadFailed, std::move(text), 0, std::move(asset)};
}
ZovarIviduvaError ZovarIviduvaError::verifyMismatch(std::int64_t count) {
  return {Case::verifyMismatch, {}, count, {}};
}
ZovarIviduvaError ZovarIviduvaError::metadataFetchFailed(std::string text) {
  return {Case::metadataFetchFailed, std::move(text), 0, {}};
}
ZovarIviduvaError ZovarIviduvaError::photosAccessDenied() { return {Case::photosAccessDenied, {}, 0, {}}; }

Situation ZovarIviduvaError::situation() const {
  switch (case_) {
    case Case::destinationUnavailable:
      return Situation::nasUnreachable;
    case Case::shareFull:
      return Situation::shareFull;
    case Case::downloadFailed:
      return Situation::icloudDownloadFailing;
    case Case::verifyMismatch:
      return Situation::verifyMismatch;
    case Case::metadataFetchFailed:
    case Case::photosAccessDenied:
      return Situation::photosAccessMissing;
  }
  return Situation::nasUnreachable;
}

std::string ZovarIviduvaError::detail() const { return detail_; }

}  // namespace kv
