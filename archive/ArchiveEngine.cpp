#include "archive/ArchiveEngine.h"
#include "archive/EngineFileCalls.h"

#include <sys/stat.h>

#include <algorithm>
#include <deque>
#include <limits>
#include <unordered_set>
#include <utility>

#include "archive/ArchiveEngineTexts.h"
#include "archive/CatalogError.h"
#include "archive/ResultInbox.h"
#include "archive/ShareErrors.h"
#include "archive/ZovarIviduvaError.h"
#include "core/Redaction.h"
#include "core/async/TaskGroup.h"

namespace kv {

namespace {

using namespace engine_text;

// How often enumeration progress is reported: every this many assets.
constexpr std::int64_t kEnumerationReportEvery = 250;
// Rows fetched per worker when the local queue runs dry.
constexpr std::int64_t kRowsPerWorker = 4;
constexpr Seconds kTickInterval{1};

std::string filenameOf(const std::string& relativePath) {
  return std::filesystem::path(relativePath).filename().string();
}

std::string redactedText(const std::exception_ptr& error) { return redact(errorText(error)); }

void report(const ArchiveProgressHandler& progress, ArchiveProgress value) {
  if (progress) progress(value);
}

int workerCount(int concurrency) { return concurrency < 2 ? 1 : concurrency; }

using engine_detail::blocking;
using engine_detail::isFolder;

// What a copy worker hands back: its report, or the error it stopped with.
struct WorkerResult {
  std::int64_t rowID = 0;
  std::optional<CopyReport> report;
  std::exception_ptr error;
};

}  // namespace

// --- Construction

std::shared_ptr<ArchiveEngine> ArchiveEngine::make(std::shared_ptr<PhotoSource> source,
                                                   std::shared_ptr<PhotosMetadataSource> metadataSource,
                                                   std::shared_ptr<Catalog> catalog,
                                                   std::filesystem::path destination, ArchiveEngineOptions options,
                                                   ArchiveEngineServices services) {
  return std::shared_ptr<ArchiveEngine>(new ArchiveEngine(std::move(source), std::move(metadataSource),
                                                          std::move(catalog), std::move(destination),
                                                          std::move(options), std::move(services)));
}

ArchiveEngine::ArchiveEngine(std::shared_ptr<PhotoSource> source,
                             std::shared_ptr<PhotosMetadataSource> metadataSource, std::shared_ptr<Catalog> catalog,
                             std::filesystem::path destination, ArchiveEngineOptions options,
                             ArchiveEngineServices services)
    : source_(std::move(source)),
      metadataSource_(std::move(metadataSource)),
      catalog_(std::move(catalog)),
      destination_(std::move(destination)),
      options_(std::move(options)),
      services_(std::move(services)),
      strand_(makeStrand(services_.executor)),
      meter_(std::make_shared<TransferMeter>(services_.clock->now())) {
  copier_.source = source_;
  copier_.destination = destination_;
  copier_.catalog = catalog_;
  copier_.networkAllowed = true;
  copier_.writeChunk = services_.writeChunk;
  copier_.hashFile = services_.hashFile;
  copier_.stallTimeout = options_.stallTimeout;
  if (options_.crawlWindow) copier_.crawl = CrawlThreshold{*options_.crawlWindow, options_.crawlBytesPerSecond};
  copier_.meter = meter_;
  copier_.spoolDirectory = services_.spoolDirectory;
  copier_.spoolChunk = services_.spoolChunk;
  copier_.clock = services_.clock;
  copier_.log = services_.log;
  copier_.fileExecutor = services_.fileExecutor;
  stats_.startedAt = services_.clock->now();
}

Async<RunStats> ArchiveEngine::stats() {
  auto self = shared_from_this();
  co_return co_await onStrand(strand_, [self]() -> Async<RunStats> { co_return self->stats_; });
}

// --- Helpers shared by sync and verification

Async<std::optional<ArchiveTotals>> ArchiveEngine::totalsOrNothing() {
  try {
    co_return co_await catalog_->totals();
  } catch (...) {
  }
  co_return std::nullopt;
}

Async<void> ArchiveEngine::idleReport(std::int64_t bytes, const ArchiveProgressHandler& progress) {
  ArchiveProgress idle;
  idle.phase = ArchivePhase::idle;
  idle.bytesCopiedThisRun = bytes;
  try {
    idle.totals = co_await catalog_->totals();
  } catch (...) {
    services_.log.error(kCouldNotReadIdleTotals, priv(redactedText(std::current_exception())));
    idle.totals = ArchiveTotals{};
  }
  report(progress, std::move(idle));
}

Async<bool> ArchiveEngine::destinationIsFolder() {
  const auto destination = destination_;
  co_return co_await blocking(services_.fileExecutor, [destination] { return isFolder(destination); });
}

// --- Sync

Async<RunSummary> ArchiveEngine::sync(RunTrigger trigger, ArchiveProgressHandler progress) {
  auto self = shared_from_this();
  co_return co_await onStrand(strand_, [self, trigger, progress = std::move(progress)]() -> Async<RunSummary> {
    co_return co_await self->runSync(trigger, progress);
  });
}

Async<RunSummary> ArchiveEngine::runSync(RunTrigger trigger, ArchiveProgressHandler progress) {
  const Date now = services_.clock->now();
  stats_ = RunStats{};
  stats_.startedAt = now;
  meter_->reset(now);

  std::exception_ptr error;
  try {
    co_await syncBody(progress);
  } catch (...) {
    error = std::current_exception();
  }
  // The summary, its record and the idle report are made also after a
  // cancellation, so they run in a task the cancellation does not reach.
  auto self = shared_from_this();
  co_return co_await uncancellable(strand_, [self, trigger, error, progress]() -> Async<RunSummary> {
    co_return co_await self->finishSync(trigger, error, progress);
  });
}

Async<void> ArchiveEngine::syncBody(const ArchiveProgressHandler& progress) {
  const PhotoAuthorization access = co_await source_->authorizationStatus();
  if (!allowsReading(access)) throw ZovarIviduvaError::photosAccessDenied();
  if (!co_await destinationIsFolder()) throw ZovarIviduvaError::destinationUnavailable(redact(destination_.string()));

  co_await enumerate(progress);
  if (metadataSource_) co_await fetchMetadata(progress);
  stats_.copyStarted = true;
  co_await copyPending(progress);
  co_await writeSidecars(progress);
}

Async<void> ArchiveEngine::enumerate(const ArchiveProgressHandler& progress) {
  ArchiveProgress start;
  start.phase = ArchivePhase::enumerating;
  start.bytesCopiedThisRun = stats_.bytes;
  if (auto totals = co_await totalsOrNothing()) {
    start.totals = std::move(*totals);
    report(progress, start);
  }

  // The source calls this from its own thread: it only reads its copy of
  // the first report.
  const ArchiveTotals enumerationTotals = start.totals;
  std::vector<AssetRecord> listed =
      co_await source_->assets([progress, enumerationTotals](std::int64_t found) {
        if (!progress || found % kEnumerationReportEvery != 0) return;
        ArchiveProgress p;
        p.phase = ArchivePhase::enumerating;
        p.totals = enumerationTotals;
        p.enumeration = ArchiveProgress::Enumeration{found, std::nullopt, std::nullopt};
        progress(p);
      });

  // The library promises each asset once; should it repeat one, the first
  // listing counts (storing both would count the asset twice and report it
  // changed for nothing).
  std::vector<AssetRecord> records;
  records.reserve(listed.size());
  std::unordered_set<AssetID> present;
  present.reserve(listed.size());
  for (auto& record : listed) {
    if (present.insert(record.id).second) records.push_back(std::move(record));
  }
  if (records.size() != listed.size()) {
    services_.log.error(kDuplicateAssets, pub(static_cast<std::int64_t>(listed.size() - records.size())));
  }
  listed.clear();
  listed.shrink_to_fit();

  stats_.assetsSeen = static_cast<std::int64_t>(records.size());
  const auto found = static_cast<std::int64_t>(records.size());
  UpsertDelta delta = co_await catalog_->upsertAssets(std::move(records));
  co_await catalog_->prepareLayout();

  std::vector<AssetID> toCheck = std::move(delta.added);
  toCheck.insert(toCheck.end(), delta.changed.begin(), delta.changed.end());
  const auto toCheckCount = static_cast<std::int64_t>(toCheck.size());

  auto enumerationReport = [&](std::int64_t checked, ArchiveTotals totals) {
    ArchiveProgress p;
    p.phase = ArchivePhase::enumerating;
    p.totals = std::move(totals);
    p.bytesCopiedThisRun = stats_.bytes;
    p.enumeration = ArchiveProgress::Enumeration{found, checked, toCheckCount};
    report(progress, std::move(p));
  };
  if (auto totals = co_await totalsOrNothing()) enumerationReport(0, std::move(*totals));

  for (std::size_t i = 0; i < toCheck.size(); ++i) {
    co_await checkCancellation();
    if (i > 0 && static_cast<std::int64_t>(i) % kEnumerationReportEvery == 0) {
      if (auto totals = co_await totalsOrNothing()) enumerationReport(static_cast<std::int64_t>(i), std::move(*totals));
    }
    const AssetID& id = toCheck[i];
    std::optional<std::vector<ResourceDescriptor>> resources;
    std::exception_ptr lookupError;
    try {
      resources = co_await source_->resources(id);
    } catch (...) {
      lookupError = std::current_exception();
    }
    if (lookupError) {
      if (isCancellation(lookupError)) std::rethrow_exception(lookupError);
      services_.log.error(kResourcesLookupFailed, priv(redactedText(lookupError)));
      ++stats_.lookupFailures;
      co_await catalog_->invalidateAsset(id);
      continue;
    }
    co_await catalog_->recordResources(id, std::move(*resources));
  }

  const std::unordered_set<AssetID> known = co_await catalog_->allAssetIDs();
  if (present.empty() && !known.empty()) {
    services_.log.error(kSkippingDeletionMarks, pub(static_cast<std::int64_t>(known.size())));
    co_return;
  }
  std::unordered_set<AssetID> gone;
  for (const auto& id : known) {
    if (!present.contains(id)) gone.insert(id);
  }
  if (!gone.empty()) co_await catalog_->markDeleted(std::move(gone), services_.clock->now());
}

Async<void> ArchiveEngine::fetchMetadata(const ArchiveProgressHandler& progress) {
  if (auto totals = co_await totalsOrNothing()) {
    ArchiveProgress p;
    p.phase = ArchivePhase::fetchingMetadata;
    p.totals = std::move(*totals);
    p.bytesCopiedThisRun = stats_.bytes;
    report(progress, std::move(p));
  }

  const std::int64_t batch = std::max(1, options_.metadataBatch);
  std::unordered_set<AssetID> attempted;
  for (;;) {
    co_await checkCancellation();
    std::vector<AssetID> ids;
    for (auto& id : co_await catalog_->assetsNeedingMetadata(batch)) {
      if (!attempted.contains(id)) ids.push_back(std::move(id));
    }
    if (ids.empty()) co_return;
    attempted.insert(ids.begin(), ids.end());

    MetadataMap answer;
    std::exception_ptr error;
    try {
      answer = co_await metadataSource_->metadata(ids);
    } catch (...) {
      error = std::current_exception();
    }
    if (error) {
      if (isCancellation(error)) std::rethrow_exception(error);
      services_.log.error(kMetadataFetchFailed, priv(redactedText(error)));
      co_return;
    }
    // An identifier the answer leaves out gets empty metadata, so that it is
    // not asked for again until the asset changes.
    std::unordered_map<AssetID, PhotosMetadata> store;
    for (const auto& id : ids) {
      auto it = answer.find(id);
      store.emplace(id, it != answer.end() ? it->second : PhotosMetadata{});
    }
    co_await catalog_->storeMetadata(std::move(store), services_.clock->now());
  }
}

// The copy phase: `workers` copies at a time over the pending rows.
class ArchiveEngine::CopyPhase {
 public:
  CopyPhase(ArchiveEngine& engine, const ArchiveProgressHandler& progress)
      : e_(engine),
        progress_(progress),
        workers_(workerCount(engine.options_.concurrency)),
        streakLimit_(std::max(1, engine.options_.maxConsecutiveDownloadFailures)),
        group_(engine.services_.executor),
        inbox_(std::make_shared<ResultInbox<WorkerResult>>()) {}

  Async<void> run() {
    const Date started = e_.services_.clock->now();
    {
      ArchiveProgress p;
      p.phase = ArchivePhase::copying;
      p.bytesCopiedThisRun = e_.stats_.bytes;
      p.transfer = e_.meter_->snapshot(started);
      if (auto totals = co_await e_.totalsOrNothing()) {
        p.totals = std::move(*totals);
        report(progress_, std::move(p));
      }
    }
    e_.copier_.clearSpool();
    phaseStart_ = e_.services_.clock->now();
    Task<void> ticker = startTicker();

    std::exception_ptr loopError;
    try {
      co_await fill();
      while (running_ > 0) {
        if (auto result = inbox_->take()) {
          co_await handle(std::move(*result));
          co_await fill();
          continue;
        }
        co_await inbox_->wait();
      }
    } catch (...) {
      loopError = std::current_exception();
    }
    if (loopError) {
      if (isCancellation(loopError)) {
        cancelled_ = true;
      } else if (!phaseError_) {
        phaseError_ = loopError;
      }
      group_.cancelAll();
    }

    // Every worker has ended before the phase does; results that arrived
    // after a cancellation still count.
    try {
      co_await group_.wait();
    } catch (...) {
    }
    while (auto result = inbox_->take()) co_await handle(std::move(*result));

    ticker.cancel();
    try {
      co_await ticker.value();
    } catch (...) {
    }

    if (phaseError_) std::rethrow_exception(phaseError_);
    if (cancelled_ || co_await isCancelled()) throw CancelledError();
  }

 private:
  Task<void> startTicker() {
    std::weak_ptr<ArchiveEngine> weak = e_.weak_from_this();
    auto clock = e_.services_.clock;
    Strand strand = e_.strand_;
    ArchiveProgressHandler progress = progress_;
    return Task<void>::spawn(e_.services_.executor, [weak, clock, strand, progress]() -> Async<void> {
      for (;;) {
        co_await clock->sleep(kTickInterval);
        auto engine = weak.lock();
        if (!engine) co_return;
        co_await onStrand(strand, [engine, progress]() -> Async<void> { co_await engine->tick(progress); });
      }
    });
  }

  // Starts workers until `workers_` run, the pending rows run out, the run
  // is cancelled or the phase is stopping.
  Async<void> fill() {
    while (!stopping_ && !cancelled_ && running_ < workers_) {
      if (co_await isCancelled()) {
        cancelled_ = true;
        group_.cancelAll();
        co_return;
      }
      if (queue_.empty()) co_await refill();
      if (queue_.empty()) {
        exhausted_ = true;
        co_return;
      }
      ResourceRow row = std::move(queue_.front());
      queue_.pop_front();
      if (!row.id || attempted_.contains(*row.id)) continue;
      co_await e_.catalog_->updateState(*row.id, ResourceState::copying, std::nullopt, std::nullopt,
                                        e_.services_.clock->now(), std::nullopt);
      inFlight_.insert(*row.id);
      attempted_.insert(*row.id);
      ++running_;
      auto self = e_.shared_from_this();
      auto inbox = inbox_;
      group_.spawn([self, inbox, row = std::move(row)]() mutable -> Async<void> {
        const std::int64_t id = *row.id;
        try {
          CopyReport result = co_await ArchiveEngine::copyOne(self, std::move(row));
          inbox->put(WorkerResult{id, std::move(result), nullptr});
        } catch (...) {
          inbox->put(WorkerResult{id, std::nullopt, std::current_exception()});
        }
      });
    }
  }

  // The next pending rows not yet taken in this run. Rows taken earlier
  // whose back-off has already passed come first in the catalog's order;
  // should a whole batch consist of them, a larger batch is asked for, so
  // that they cannot hide the rows behind them and end the phase early.
  Async<void> refill() {
    std::int64_t limit = kRowsPerWorker * workers_;
    for (;;) {
      auto rows = co_await e_.catalog_->pendingResources(e_.services_.clock->now(), limit);
      const bool full = static_cast<std::int64_t>(rows.size()) >= limit;
      for (auto& row : rows) {
        if (row.id && attempted_.contains(*row.id)) continue;
        queue_.push_back(std::move(row));
      }
      if (!queue_.empty() || !full || limit > std::numeric_limits<std::int64_t>::max() / 2) co_return;
      limit *= 2;
    }
  }

  Async<void> handle(WorkerResult result) {
    --running_;
    inFlight_.erase(result.rowID);
    if (result.error) {
      if (!phaseError_) {
        phaseError_ = result.error;
        stopping_ = true;
        inFlight_.clear();
        group_.cancelAll();
      } else {
        e_.services_.log.error(kWorkerFailedWhileStopping, priv(redactedText(result.error)));
      }
      co_return;
    }

    const CopyReport& r = *result.report;
    RunStats& stats = e_.stats_;
    switch (r.outcome.kind) {
      case CopyOutcome::Case::verified:
        ++stats.verified;
        stats.downloadStreak = 0;
        if (!r.outcome.adopted) stats.bytes += r.outcome.bytes;
        break;
      case CopyOutcome::Case::mismatch:
        ++stats.failed;
        break;
      case CopyOutcome::Case::downloadFailed:
        ++stats.failed;
        ++stats.downloadStreak;
        break;
      case CopyOutcome::Case::cancelled:
        break;
    }
    ++stats.processed;

    if (auto totals = co_await e_.totalsOrNothing()) {
      const Date now = e_.services_.clock->now();
      ArchiveProgress p;
      p.phase = ArchivePhase::copying;
      p.totals = std::move(*totals);
      p.bytesCopiedThisRun = stats.bytes;
      p.currentFilename = r.filename;
      p.etaSeconds = secondsBetween(phaseStart_, now).count() / static_cast<double>(stats.processed) *
                     static_cast<double>(p.totals.resourcesPending);
      p.transfer = e_.meter_->snapshot(now);
      report(progress_, std::move(p));
    }

    if (!stopping_ && stats.downloadStreak >= streakLimit_) {
      stopping_ = true;
      phaseError_ = std::make_exception_ptr(ZovarIviduvaError::downloadFailed(
          AssetID{r.filename}, std::to_string(stats.downloadStreak) + std::string(kDownloadStreakSuffix)));
      group_.cancelAll();
    }
  }

  ArchiveEngine& e_;
  const ArchiveProgressHandler& progress_;
  const int workers_;
  const std::int64_t streakLimit_;
  TaskGroup group_;
  std::shared_ptr<ResultInbox<WorkerResult>> inbox_;
  std::deque<ResourceRow> queue_;
  std::unordered_set<std::int64_t> inFlight_;
  std::unordered_set<std::int64_t> attempted_;
  int running_ = 0;
  bool stopping_ = false;  // the streak or a worker's error: no more rows
  bool cancelled_ = false;
  bool exhausted_ = false;
  std::exception_ptr phaseError_;
  Date phaseStart_{};
};

Async<void> ArchiveEngine::copyPending(const ArchiveProgressHandler& progress) {
  CopyPhase phase(*this, progress);
  co_await phase.run();
}

Async<void> ArchiveEngine::tick(const ArchiveProgressHandler& progress) {
  auto totals = co_await totalsOrNothing();
  if (!totals) co_return;  // this tick is skipped
  ArchiveProgress p;
  p.phase = ArchivePhase::copying;
  p.totals = std::move(*totals);
  p.bytesCopiedThisRun = stats_.bytes;
  p.transfer = meter_->snapshot(services_.clock->now());
  report(progress, std::move(p));
}

Async<CopyReport> ArchiveEngine::copyOne(std::shared_ptr<ArchiveEngine> self, ResourceRow row) {
  const std::int64_t id = *row.id;
  CopyReport result{id, filenameOf(row.relativePath), CopyOutcome::cancelled()};
  std::exception_ptr error;
  try {
    result.outcome = co_await self->copier_.copy(row);
    co_await self->recordOutcome(row, result.outcome);
    co_return result;
  } catch (...) {
    error = std::current_exception();
  }
  // The row must not stay `copying`: back to pending, no attempt counted.
  try {
    co_await self->catalog_->updateState(id, ResourceState::pending, std::nullopt, std::nullopt,
                                         self->services_.clock->now(), std::nullopt);
  } catch (...) {
    self->services_.log.error(kCouldNotResetRow, pub(id), priv(redactedText(std::current_exception())));
  }
  // A copy interrupted by the cancellation is a cancelled copy, not a
  // worker's failure.
  if (isCancellation(error)) {
    result.outcome = CopyOutcome::cancelled();
    co_return result;
  }
  std::rethrow_exception(error);
}

Async<void> ArchiveEngine::recordOutcome(const ResourceRow& row, const CopyOutcome& outcome) {
  const std::int64_t id = *row.id;
  const Date now = services_.clock->now();
  switch (outcome.kind) {
    case CopyOutcome::Case::verified:
      co_await catalog_->updateState(id, ResourceState::verified, outcome.sha256, outcome.bytes, now, std::nullopt);
      break;
    case CopyOutcome::Case::mismatch: {
      const std::int64_t attempts = row.attempts + 1;
      const ResourceState state =
          attempts < options_.maxVerifyMismatches ? ResourceState::pending : ResourceState::failed;
      co_await catalog_->updateState(
          id, state, std::nullopt, std::nullopt, now,
          std::string(kMismatchSourcePrefix) + outcome.expected + std::string(kMismatchNASInfix) + outcome.actual);
      break;
    }
    case CopyOutcome::Case::downloadFailed:
      co_await catalog_->updateState(id, ResourceState::pending, std::nullopt, std::nullopt, now,
                                     std::string(kDownloadFailedPrefix) + outcome.text);
      break;
    case CopyOutcome::Case::cancelled:
      co_await catalog_->updateState(id, ResourceState::pending, std::nullopt, std::nullopt, now, std::nullopt);
      break;
  }
}

Async<void> ArchiveEngine::writeSidecars(const ArchiveProgressHandler& progress) {
  SidecarPhase phase;
  phase.catalog = catalog_;
  phase.destination = destination_;
  phase.clock = services_.clock;
  phase.writeFile = services_.writeSidecar;
  phase.fileExecutor = services_.fileExecutor;
  co_await phase.run([this, &progress](const SidecarProgress& written) {
    ArchiveProgress p;
    p.phase = ArchivePhase::copying;
    p.totals = written.totals;
    p.bytesCopiedThisRun = stats_.bytes;
    p.currentFilename = written.filename;
    p.transfer = meter_->snapshot(services_.clock->now());
    report(progress, std::move(p));
  });
}

Async<RunSummary> ArchiveEngine::finishSync(RunTrigger trigger, std::exception_ptr error,
                                            const ArchiveProgressHandler& progress) {
  RunOutcome outcome = RunOutcome::complete;
  if (!error) {
    outcome = (stats_.failed > 0 || stats_.lookupFailures > 0) ? RunOutcome::partial : RunOutcome::complete;
  } else if (isCancellation(error)) {
    outcome = RunOutcome::cancelled;
    error = nullptr;
  } else {
    outcome = RunOutcome::failed;
    std::optional<std::int64_t> shareFullBytes;
    try {
      std::rethrow_exception(error);
    } catch (const ZovarIviduvaError& e) {
      switch (e.kind()) {
        case ZovarIviduvaError::Case::destinationUnavailable:
        case ZovarIviduvaError::Case::downloadFailed:
          if (stats_.copyStarted && stats_.verified >= 1) outcome = RunOutcome::partial;
          break;
        case ZovarIviduvaError::Case::shareFull:
          shareFullBytes = e.neededBytes();
          break;
        default:
          break;
      }
    } catch (...) {
    }
    if (shareFullBytes) {
      // What the share must still take: at least everything still pending.
      std::int64_t needed = std::max<std::int64_t>(*shareFullBytes, 0);
      try {
        const auto rows =
            co_await catalog_->pendingResources(Date::max(), std::numeric_limits<std::int64_t>::max());
        std::int64_t sum = 0;
        for (const auto& row : rows) sum += std::max<std::int64_t>(row.bytes.value_or(0), 0);
        needed = std::max(needed, sum);
      } catch (...) {
        services_.log.error(kCouldNotSumPending, priv(redactedText(std::current_exception())));
      }
      error = std::make_exception_ptr(ZovarIviduvaError::shareFull(needed));
    }
  }

  RunSummary summary;
  summary.trigger = trigger;
  summary.startedAt = stats_.startedAt;
  summary.endedAt = services_.clock->now();
  summary.assetsSeen = stats_.assetsSeen;
  summary.resourcesVerified = stats_.verified;
  summary.resourcesFailed = stats_.failed;
  summary.bytesCopied = stats_.bytes;
  summary.outcome = outcome;

  services_.log.notice(kRunSummary, pub(storedString(outcome)), pub(stats_.verified), pub(stats_.failed),
                       pub(stats_.lookupFailures));
  if (error) services_.log.error(kRunStopped, priv(redactedText(error)));

  try {
    co_await catalog_->recordRun(summary);
  } catch (...) {
    services_.log.error(kCouldNotRecordRun, priv(redactedText(std::current_exception())));
  }
  co_await idleReport(stats_.bytes, progress);
  if (error) std::rethrow_exception(error);
  co_return summary;
}

}  // namespace kv
