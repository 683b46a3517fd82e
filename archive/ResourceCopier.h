#pragma once
// ResourceCopier: copies one resource from the photo source to its place on
// the share and proves the copy. It is the only code that writes resource
// files on the share.
//
// For one catalog row it downloads the resource's bytes (digesting them on
// the way) into a local spool file, writes them from the spool to
// "<target>.partial" beside the target, drops the kernel's cached pages of
// that file and reads it back from the share, compares digests, and only then
// moves it to its final name: with replace by rename(2) (atomic), without
// replace by renameat2(RENAME_NOREPLACE). Two allowances for network mounts:
// when the share reports a size other than what was written, the folder is
// listed once before the read-back (so that the share looks at the file
// again), and a move refused with EIO or EBUSY is tried again after 0.05,
// 0.2, 0.5 and 1 s on `clock` (the file just read back may still be open on
// the server for a moment). A file already at the target is
// adopted when it holds the same bytes, replaced (atomically) when an owned
// row of ours wrote it, and otherwise left alone: the row is relocated to the
// next free name (at most 8 times per copy).
//
// What is returned and what is thrown:
//   - returned (CopyOutcome): verified, mismatch, downloadFailed (source or
//     spool trouble, stalls), cancelled;
//   - thrown (ends the run): ZovarIviduvaError destinationUnavailable and
//     shareFull (ShareErrors.h), CatalogError (unknownResource(-1) for a row
//     without id) and the catalog's database errors.
// Whatever the result, no ".partial" file of the copy and no spool file is
// left behind; the final name only ever holds a file whose read-back digest
// matched the source, or a file that was there before.
//
// Concurrency: a value built once per run and shared (const) by several
// concurrent copies. Within one copy three tasks cooperate: the download task
// (on the caller's executor), the writer (the calling task) and the stall
// watchdog. Blocking file calls (writes, fsync-free closes, renames, the
// read-back digest) run on `fileExecutor` when one is given — a thread pool
// sized for the copy workers, so that a slow share does not hold the
// threads that strands of other objects need; without one they run inline on
// the calling task's thread (fine for the single-threaded test loop, where
// they are short). The meter is shared and internally locked.
//
// Timing: the stall watchdog sleeps on `clock`, and every time recorded on the
// meter is read from it, so a manual clock drives both in tests.
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>

#include "archive/Catalog.h"
#include "archive/CopyOutcome.h"
#include "archive/DownloadStalled.h"
#include "archive/FileOperations.h"
#include "archive/PhotoSource.h"
#include "archive/ResourceRow.h"
#include "archive/ShareErrors.h"
#include "archive/TransferMeter.h"
#include "core/Clock.h"
#include "core/Log.h"
#include "core/async/Async.h"

namespace kv {

// A download slower than `bytesPerSecond` over one `window` is abandoned.
struct CrawlThreshold {
  Seconds window{120};
  std::int64_t bytesPerSecond = 16'384;

  bool operator==(const CrawlThreshold&) const = default;
};

// The system temporary folder ($TMPDIR, else /tmp) + "Kelvane-spool".
std::filesystem::path defaultSpoolDirectory();

// The most relocations one copy makes before it gives up.
inline constexpr int kMaxRelocations = 8;

struct ResourceCopier {
  using Outcome = CopyOutcome;

  std::shared_ptr<PhotoSource> source;
  std::filesystem::path destination;  // the destination folder on the mounted share
  std::shared_ptr<Catalog> catalog;
  bool networkAllowed = true;
  WriteChunk writeChunk = appendChunk;
  HashFile hashFile = Hashing::sha256;
  std::optional<Seconds> stallTimeout;  // no data for this long abandons the download
  std::optional<CrawlThreshold> crawl;
  std::shared_ptr<TransferMeter> meter;  // optional
  std::filesystem::path spoolDirectory = defaultSpoolDirectory();
  std::size_t spoolChunk = 1'048'576;
  // Ours, beyond the copy's own settings:
  std::shared_ptr<Clock> clock;         // required: watchdog sleeps, meter times
  Logger log;                           // category "ZovarIviduva"
  std::optional<Executor> fileExecutor;  // where blocking file calls run (see above)

  // Deletes every "*.spool" entry of spoolDirectory (left by a crash); a
  // missing folder and every deletion error are ignored. Called once at the
  // start of every copy phase.
  void clearSpool() const;

  // Copies one row (see above). The row's relative path may change through
  // relocation; the catalog then holds the new one (read the row again).
  Async<Outcome> copy(ResourceRow row) const;
};

}  // namespace kv
