#pragma once
// The sidecar phase of a sync: after the copy phase, every verified original
// gets its XMP sidecar (XMPSidecar) beside it on the share, written again
// only when the sidecar's inputs changed.
//
// For each verified row of type original, in id order (read from the
// catalog a page at a time with the asset, its metadata and the stored
// sidecar hash, Catalog::verifiedRowsWithSidecarInputs):
//   1. stop with CancelledError when the calling task is cancelled;
//   2. an asset the catalog no longer has is skipped silently;
//   3. h = XMPSidecar::inputsHash of the asset and its metadata; when the
//      catalog's stored hash for the asset equals h the sidecar is current
//      and nothing is written;
//   4. the document is written atomically to destination / (the original's
//      relative path + ".xmp"), e.g. 2024/05/IMG_0001.HEIC.xmp;
//   5. Catalog::recordSidecar(asset, that relative path, h, clock->now());
//   6. the catalog's totals are read and `report` is called with them and
//      the sidecar's file name.
//
// Errors (each ends the phase and the run; the catalog keeps the old hash,
// so the sidecar is tried again next run):
//   - a sidecar that cannot be written: ZovarIviduvaError shareFull(0) when
//     the share is out of space (ENOSPC, EDQUOT), otherwise
//     destinationUnavailable with the redacted error text; the file error is
//     kept as the nested exception. A destination folder that is no longer
//     there (the share went away) is destinationUnavailable too, and nothing
//     is created in its place;
//   - any catalog error, unchanged;
//   - CancelledError.
//
// Concurrency: a value the engine builds for one run and calls from its own
// executor, one pass at a time. `report` is called on that executor,
// synchronously. The blocking file calls run on `fileExecutor` when one is
// given (a pool for share I/O, so that a hung share does not hold the
// engine's thread), otherwise inline.
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "archive/ArchiveTotals.h"
#include "archive/Catalog.h"
#include "core/Clock.h"
#include "core/async/Async.h"

namespace kv {

// What one written sidecar reports. The engine turns it into its progress
// record: phase copying, these totals, the run's copied bytes, this file
// name as the current file, no ETA, no enumeration, the meter's snapshot.
struct SidecarProgress {
  ArchiveTotals totals;
  std::string filename;      // "IMG_0001.HEIC.xmp"
  std::string relativePath;  // "2024/05/IMG_0001.HEIC.xmp", below the destination

  bool operator==(const SidecarProgress&) const = default;
};

// The counts of one pass (for the log and the tests).
struct SidecarPhaseResult {
  std::int64_t written = 0;  // sidecars written
  std::int64_t current = 0;  // sidecars whose inputs had not changed
  std::int64_t skipped = 0;  // originals whose asset is not in the catalog

  bool operator==(const SidecarPhaseResult&) const = default;
};

// The sidecar's path below the destination: the original's + ".xmp".
std::string sidecarRelativePath(std::string_view originalRelativePath);

// Writes `text` to `target` so that readers see either the old file or the
// whole new one: the text goes to "<target>.partial" in the same folder
// (created or truncated, never followed through a symbolic link), which is
// flushed to the file server (fsync), closed and renamed onto `target`.
// Missing folders between an existing `root` and the target are created
// (the month folder may have been removed by hand); when `root` itself is
// missing nothing is created. Throws std::system_error of the generic
// category naming the path; the temporary file is removed on every failure.
void writeFileAtomically(const std::filesystem::path& root, const std::filesystem::path& target,
                         std::string_view text);

using WriteSidecarFile =
    std::function<void(const std::filesystem::path& root, const std::filesystem::path& target, std::string_view text)>;

struct SidecarPhase {
  std::shared_ptr<Catalog> catalog;
  std::filesystem::path destination;  // the destination folder on the mounted share
  std::shared_ptr<Clock> clock;       // required: the time recorded with each sidecar
  WriteSidecarFile writeFile = writeFileAtomically;  // tests inject faults here
  std::optional<Executor> fileExecutor;

  Async<SidecarPhaseResult> run(std::function<void(const SidecarProgress&)> report) const;
};

}  // namespace kv
