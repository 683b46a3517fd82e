#pragma once
// ArchiveEngine: one sync of the Photos library into the destination folder
// on the mounted share, or one verification of the copies already there.
// The run pipeline builds a fresh engine for every run and calls `sync` or
// `verifyArchive` once.
//
// sync (in this order; an error or a cancellation skips the rest):
//   1. access: the source must answer authorized or limited
//      (photosAccessDenied otherwise); the destination must be a folder
//      (destinationUnavailable otherwise);
//   2. enumeration: every asset of the library into the catalog, the
//      resources of new and then changed assets recorded (a failed listing
//      is counted, logged and the asset invalidated so the next run checks it
//      again), assets missing from the library marked deleted (not when the
//      library returned nothing at all);
//   3. metadata (with a metadata source): titles, captions and keywords in
//      batches of `metadataBatch`, each asset asked at most once per run; a
//      failed fetch ends the phase, not the run;
//   4. copy: `concurrency` workers over the pending rows, fetched 4 per
//      worker at a time, each row taken at most once per run; outcomes are
//      recorded with the catalog's back-off; `maxConsecutiveDownloadFailures`
//      failed downloads in a row stop the phase with downloadFailed; the first
//      error a worker throws (share gone, share full, catalog) cancels the
//      others and stops the run; a progress report every second beside the
//      workers;
//   5. sidecars for every verified original whose inputs changed;
//   6. the outcome, the summary (logged and recorded in the catalog) and an
//      idle report, whatever ended the body; then the error is rethrown, or
//      the summary returned. A cancellation is no error: the summary with
//      outcome cancelled is returned.
// Outcomes: complete; partial when a resource failed or a listing failed, or
// when the share went away or downloads kept failing after at least one
// resource was proven; failed otherwise (and always for shareFull, whose
// needed bytes become at least the sum of the pending rows' sizes).
//
// verifyArchive: every verified row's file on the share is hashed again
// (`concurrency` at a time, in row order) and compared with the catalog; a
// copy that is missing, unreadable or different is put back to pending with
// a reason, but only after the share was checked again (still a folder, on
// the same device, listable). A share that is unreachable stops it with
// destinationUnavailable. Returns the number of copies put back, also when
// cancelled.
//
// Concurrency: the engine's operations and its counters live on its own
// strand (made over `services.executor`); copy workers and verification
// checks run as child tasks on `services.executor` and hand their results
// back to the strand, where they are handled one at a time in completion
// order. Blocking calls on the share (stat, listing, hashing, writes) run on
// `services.fileExecutor` when one is given. Progress reports are made on the
// strand, except during the library enumeration, where the photo source's
// thread calls the handler.
//
// Timing: every time the engine reads or sleeps (the 1-second ticker, ETAs,
// catalog times, the meter) comes from `services.clock`, so a manual clock
// drives it in tests.
#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>

#include "archive/ArchiveEngineOptions.h"
#include "archive/ArchiveProgress.h"
#include "archive/Catalog.h"
#include "archive/CopyReport.h"
#include "archive/DeviceNumber.h"
#include "archive/FileOperations.h"
#include "archive/PhotoSource.h"
#include "archive/ResourceCopier.h"
#include "archive/RunStats.h"
#include "archive/SidecarPhase.h"
#include "archive/TransferMeter.h"
#include "archive/VerifyFinding.h"
#include "archive/VerifyStats.h"
#include "core/Clock.h"
#include "core/Log.h"
#include "core/RunSummary.h"
#include "core/RunTrigger.h"
#include "core/async/Async.h"

namespace kv {

// The services an engine uses besides the library, the catalog and the
// destination. The defaults are the real ones; tests replace single calls.
struct ArchiveEngineServices {
  Executor executor;                    // required: the engine's strand, workers and checks
  std::shared_ptr<Clock> clock;         // required
  Logger log;                           // category "ZovarIviduva"
  std::optional<Executor> fileExecutor;  // blocking calls on the share (see above)
  HashFile hashFile = Hashing::sha256;  // the copier's read-back and verification
  DeviceOf deviceOf = deviceNumberOf;
  WriteChunk writeChunk = appendChunk;
  std::filesystem::path spoolDirectory = defaultSpoolDirectory();
  WriteSidecarFile writeSidecar = writeFileAtomically;
  std::size_t spoolChunk = 1'048'576;
};

class ArchiveEngine : public std::enable_shared_from_this<ArchiveEngine> {
 public:
  // `metadataSource` may be null (no metadata phase). The meter starts now.
  static std::shared_ptr<ArchiveEngine> make(std::shared_ptr<PhotoSource> source,
                                             std::shared_ptr<PhotosMetadataSource> metadataSource,
                                             std::shared_ptr<Catalog> catalog, std::filesystem::path destination,
                                             ArchiveEngineOptions options, ArchiveEngineServices services);

  ArchiveEngine(const ArchiveEngine&) = delete;
  ArchiveEngine& operator=(const ArchiveEngine&) = delete;

  // One sync (see above). `progress` may be null.
  Async<RunSummary> sync(RunTrigger trigger, ArchiveProgressHandler progress);

  // One verification (see above); the number of copies put back to pending.
  Async<std::int64_t> verifyArchive(ArchiveProgressHandler progress);

  // The counters of the last (or current) sync.
  Async<RunStats> stats();

  const ArchiveEngineOptions& options() const { return options_; }
  const std::filesystem::path& destination() const { return destination_; }
  const std::shared_ptr<TransferMeter>& meter() const { return meter_; }
  // The copier the workers use (built once, shared by them).
  const ResourceCopier& copier() const { return copier_; }

 private:
  ArchiveEngine(std::shared_ptr<PhotoSource> source, std::shared_ptr<PhotosMetadataSource> metadataSource,
                std::shared_ptr<Catalog> catalog, std::filesystem::path destination, ArchiveEngineOptions options,
                ArchiveEngineServices services);

  class CopyPhase;
  class Verification;

  // All of these run on strand_.
  Async<RunSummary> runSync(RunTrigger trigger, ArchiveProgressHandler progress);
  Async<void> syncBody(const ArchiveProgressHandler& progress);
  Async<void> enumerate(const ArchiveProgressHandler& progress);
  Async<void> fetchMetadata(const ArchiveProgressHandler& progress);
  Async<void> copyPending(const ArchiveProgressHandler& progress);
  Async<void> writeSidecars(const ArchiveProgressHandler& progress);
  Async<RunSummary> finishSync(RunTrigger trigger, std::exception_ptr error, const ArchiveProgressHandler& progress);
  Async<void> tick(const ArchiveProgressHandler& progress);
  Async<std::int64_t> runVerification(ArchiveProgressHandler progress);
  Async<std::int64_t> finishVerification(const VerifyStats& stats, Date startedAt, std::exception_ptr error,
                                         const ArchiveProgressHandler& progress);

  // Shared by both.
  Async<std::optional<ArchiveTotals>> totalsOrNothing();
  Async<void> idleReport(std::int64_t bytes, const ArchiveProgressHandler& progress);
  Async<bool> destinationIsFolder();
  // The worker body for one row (runs off the strand).
  static Async<CopyReport> copyOne(std::shared_ptr<ArchiveEngine> self, ResourceRow row);
  Async<void> recordOutcome(const ResourceRow& row, const CopyOutcome& outcome);

  std::shared_ptr<PhotoSource> source_;
  std::shared_ptr<PhotosMetadataSource> metadataSource_;
  std::shared_ptr<Catalog> catalog_;
  std::filesystem::path destination_;
  ArchiveEngineOptions options_;
  ArchiveEngineServices services_;
  Strand strand_;
  std::shared_ptr<TransferMeter> meter_;
  ResourceCopier copier_;
  RunStats stats_;  // only on strand_
};

}  // namespace kv
