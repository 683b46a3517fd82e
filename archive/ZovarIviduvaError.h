#pragma once
// The errors of the archive engine (copier, run, verification, sidecars) and
// of the photo source implementations.
//
// | case                   | payload          | detail (redacted)                                        | situation             |
// | destinationUnavailable | text             | "Destination unavailable: " + text                        | nasUnreachable        |
// | shareFull              | neededBytes      | "Share is out of space; about N bytes still to copy"      | shareFull             |
// | downloadFailed         | asset, text      | "Download failed for " + asset + ": " + text              | icloudDownloadFailing |
// | verifyMismatch         | count            | N + " resources failed verification"                      | verifyMismatch        |
// | metadataFetchFailed    | text             | "Photos metadata fetch failed: " + text                   | photosAccessMissing   |
// | photosAccessDenied     | -                | "Photos library access is not authorized"                 | photosAccessMissing   |
//
// Numbers are written plainly (decimal, no grouping). `what()` is the detail.
// A cause may be kept as the nested exception (std::throw_with_nested) so
// that code looking for a POSIX error can walk the chain.
#include <cstdint>
#include <exception>
#include <string>

#include "core/AssetID.h"
#include "core/Situation.h"
#include "core/StoredString.h"

namespace kv {

class ZovarIviduvaError : public std::exception, public SituationConvertible {
 public:
  enum class Case {
    destinationUnavailable,
    shareFull,
    downloadFailed,
    verifyMismatch,
    metadataFetchFailed,
    photosAccessDenied,
  };

  static ZovarIviduvaError destinationUnavailable(std::string text);
  static ZovarIviduvaError shareFull(std::int64_t neededBytes);
  static ZovarIviduvaError downloadFailed(AssetID asset, std::string text);
  static ZovarIviduvaError verifyMismatch(std::int64_t count);
  static ZovarIviduvaError metadataFetchFailed(std::string text);
  static ZovarIviduvaError photosAccessDenied();

  Case kind() const noexcept { return case_; }
  // The text payload (destinationUnavailable, downloadFailed,
  // metadataFetchFailed; empty otherwise), as given (not redacted).
  const std::string& text() const noexcept { return text_; }
  // shareFull's neededBytes, verifyMismatch's count (0 otherwise).
  std::int64_t neededBytes() const noexcept { return number_; }
  std::int64_t count() const noexcept { return number_; }
  // downloadFailed's asset (empty otherwise).
  const AssetID& asset() const noexcept { return asset_; }

  Situation situation() const override;
  std::string detail() const override;
  const char* what() const noexcept override { return detail_.c_str(); }

  bool operator==(const ZovarIviduvaError& o) const {
    return case_ == o.case_ && text_ == o.text_ && number_ == o.number_ && asset_ == o.asset_;
  }

 private:
  ZovarIviduvaError(Case c, std::string text, std::int64_t number, AssetID asset);

  Case case_;
  std::string text_;
  std::int64_t number_ = 0;
  AssetID asset_;
  std::string detail_;  // redacted, made once
};

}  // namespace kv
