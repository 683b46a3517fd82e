// ArchiveEngine::verifyArchive: re-reading every verified copy on the share.
#include <sys/stat.h>

#include <filesystem>
#include <system_error>

#include "archive/ArchiveEngine.h"
#include "archive/EngineFileCalls.h"
#include "archive/ArchiveEngineTexts.h"
#include "archive/ResultInbox.h"
#include "archive/ShareErrors.h"
#include "archive/ZovarIviduvaError.h"
#include "core/Redaction.h"
#include "core/async/TaskGroup.h"

namespace kv {

namespace {

using namespace engine_text;

// Totals are read again after this many reuses, or when this old.
constexpr std::int64_t kMaxTotalsReuses = 49;
constexpr Seconds kTotalsMaxAge{0.25};

std::string redactedText(const std::exception_ptr& error) { return redact(errorText(error)); }

using engine_detail::blocking;
using engine_detail::isFolder;

// What the share looks like when a copy is about to be put back.
struct ShareCheck {
  bool folder = false;
  std::optional<std::uint64_t> device;
  std::exception_ptr listingError;
};

ShareCheck checkShare(const std::filesystem::path& destination, const DeviceOf& deviceOf) {
  ShareCheck check;
  check.folder = isFolder(destination);
  if (!check.folder) return check;
  check.device = deviceOf(destination);
  try {
    // Reading the first entry is enough to know the folder answers.
    std::filesystem::directory_iterator it(destination);
    (void)it;
  } catch (...) {
    check.listingError = std::current_exception();
  }
  return check;
}

}  // namespace

class ArchiveEngine::Verification {
 public:
  Verification(ArchiveEngine& engine, const ArchiveProgressHandler& progress, VerifyStats& stats, Date startedAt)
      : e_(engine),
        progress_(progress),
        stats_(stats),
        startedAt_(startedAt),
        width_(engine.options_.concurrency < 2 ? 1 : engine.options_.concurrency),
        group_(engine.services_.fileExecutor.value_or(engine.services_.executor)),
        inbox_(std::make_shared<ResultInbox<VerifyReport>>()) {}

  Async<void> run() {
    if (!co_await e_.destinationIsFolder())
      throw ZovarIviduvaError::destinationUnavailable(redact(e_.destination_.string()));
    const auto destination = e_.destination_;
    const auto deviceOf = e_.services_.deviceOf;
    stats_.device =
        co_await blocking(e_.services_.fileExecutor, [destination, deviceOf] { return deviceOf(destination); });
    if (!stats_.device) throw ZovarIviduvaError::destinationUnavailable(redact(e_.destination_.string()));

    for (auto& row : co_await e_.catalog_->verifiedResources()) {
      if (row.id) rows_.push_back(std::move(row));
    }

    std::exception_ptr stopError;
    bool waitEnded = false;  // the wait for results was cancelled
    try {
      co_await startChecks();
      while (running_ > 0) {
        auto next = inbox_->take();
        if (!next) {
          if (!waitEnded) {
            try {
              co_await inbox_->wait();
            } catch (...) {
              // Cancelled: no new checks, but the running ones are still
              // handled; they all have reported once the group is done.
              waitEnded = true;
              cancelled_ = true;
            }
          } else {
            try {
              co_await group_.wait();
            } catch (...) {
            }
            if (!(next = inbox_->take())) break;  // every check reports once; cannot happen
          }
          if (!next) continue;
        }
        --running_;
        co_await handle(std::move(*next));
        co_await startChecks();
      }
    } catch (...) {
      stopError = std::current_exception();
    }
    if (stopError) {
      // The first failed handling stops everything; what the other checks
      // find is not looked at.
      group_.cancelAll();
      try {
        co_await group_.wait();
      } catch (...) {
      }
      std::rethrow_exception(stopError);
    }
    if (cancelled_ || co_await isCancelled()) throw CancelledError();
  }

 private:
  // Starts checks in row order until `width_` run.
  Async<void> startChecks() {
    while (running_ < width_ && next_ < rows_.size() && !cancelled_) {
      if (co_await isCancelled()) {
        cancelled_ = true;
        co_return;
      }
      ResourceRow row = rows_[next_++];
      ++running_;
      auto inbox = inbox_;
      auto hashFile = e_.services_.hashFile;
      auto target = e_.destination_ / row.relativePath;
      group_.spawn([inbox, hashFile, target, row = std::move(row)]() mutable -> Async<void> {
        VerifyReport report{std::move(row), VerifyFinding::intact()};
        try {
          report.finding = findingForDigest(report.row, hashFile(target));
        } catch (...) {
          report.finding = findingForReadError(std::current_exception());
        }
        inbox->put(std::move(report));
        co_return;
      });
    }
  }

  Async<void> handle(VerifyReport r) {
    const VerifyFinding& finding = r.finding;
    if (finding.kind == VerifyFinding::Case::outage) throw ZovarIviduvaError::destinationUnavailable(finding.text);

    if (finding.kind == VerifyFinding::Case::intact) {
      ++stats_.intact;
    } else {
      const std::string reason = requeueReason(r.row, finding);
      co_await recheckShare();
      stats_.totals.reset();
      co_await e_.catalog_->requeue(*r.row.id, reason);
      ++stats_.mismatches;
      e_.services_.log.error(kRequeued, pub(reason), priv(redact(r.row.relativePath)));
    }

    ++stats_.checked;
    const Date now = e_.services_.clock->now();
    if (stats_.totals && stats_.filesSinceTotals <= kMaxTotalsReuses &&
        secondsBetween(stats_.totalsAt, now) < kTotalsMaxAge) {
      ++stats_.filesSinceTotals;
    } else {
      stats_.totals = co_await e_.catalog_->totals();
      stats_.totalsAt = e_.services_.clock->now();
      stats_.filesSinceTotals = 0;
    }

    ArchiveProgress p;
    p.phase = ArchivePhase::verifying;
    p.totals = *stats_.totals;
    p.bytesCopiedThisRun = 0;
    p.currentFilename = std::filesystem::path(r.row.relativePath).filename().string();
    const auto total = static_cast<double>(rows_.size());
    const auto checked = static_cast<double>(stats_.checked);
    p.etaSeconds = secondsBetween(startedAt_, e_.services_.clock->now()).count() / checked * (total - checked);
    if (progress_) progress_(p);
  }

  // A copy is put back only while the share verification started on is
  // still there: the same folder, on the same volume, listable.
  Async<void> recheckShare() {
    const auto destination = e_.destination_;
    const auto deviceOf = e_.services_.deviceOf;
    const ShareCheck check = co_await blocking(
        e_.services_.fileExecutor, [destination, deviceOf] { return checkShare(destination, deviceOf); });
    const std::string where = redact(destination.string());
    if (!check.folder) throw ZovarIviduvaError::destinationUnavailable(where);
    if (!check.device || *check.device != *stats_.device)
      throw ZovarIviduvaError::destinationUnavailable(where + std::string(kNoLongerSameVolume));
    if (check.listingError) throw ZovarIviduvaError::destinationUnavailable(redactedText(check.listingError));
  }

  ArchiveEngine& e_;
  const ArchiveProgressHandler& progress_;
  VerifyStats& stats_;
  const Date startedAt_;
  const int width_;
  TaskGroup group_;
  std::shared_ptr<ResultInbox<VerifyReport>> inbox_;
  std::vector<ResourceRow> rows_;
  std::size_t next_ = 0;
  int running_ = 0;
  bool cancelled_ = false;
};

Async<std::int64_t> ArchiveEngine::verifyArchive(ArchiveProgressHandler progress) {
  auto self = shared_from_this();
  co_return co_await onStrand(strand_, [self, progress = std::move(progress)]() -> Async<std::int64_t> {
    co_return co_await self->runVerification(progress);
  });
}

Async<std::int64_t> ArchiveEngine::runVerification(ArchiveProgressHandler progress) {
  VerifyStats stats;
  const Date startedAt = services_.clock->now();
  std::exception_ptr error;
  try {
    Verification verification(*this, progress, stats, startedAt);
    co_await verification.run();
  } catch (...) {
    error = std::current_exception();
  }
  auto self = shared_from_this();
  co_return co_await uncancellable(strand_, [self, stats, startedAt, error, progress]() -> Async<std::int64_t> {
    co_return co_await self->finishVerification(stats, startedAt, error, progress);
  });
}

Async<std::int64_t> ArchiveEngine::finishVerification(const VerifyStats& stats, Date startedAt,
                                                      std::exception_ptr error,
                                                      const ArchiveProgressHandler& progress) {
  RunOutcome outcome = stats.mismatches > 0 ? RunOutcome::partial : RunOutcome::complete;
  if (error && isCancellation(error)) {
    outcome = RunOutcome::cancelled;
    error = nullptr;
  } else if (error) {
    outcome = RunOutcome::failed;
  }

  RunSummary summary;
  summary.trigger = RunTrigger::verify;
  summary.startedAt = startedAt;
  summary.endedAt = services_.clock->now();
  summary.assetsSeen = 0;
  summary.resourcesVerified = stats.intact;
  summary.resourcesFailed = stats.mismatches;
  summary.bytesCopied = 0;
  summary.outcome = outcome;

  services_.log.notice(kVerifySummary, pub(storedString(outcome)), pub(stats.intact), pub(stats.mismatches));
  if (error) services_.log.error(kVerifyStopped, priv(redactedText(error)));
  try {
    co_await catalog_->recordRun(summary);
  } catch (...) {
    services_.log.error(kCouldNotRecordVerifyRun, priv(redactedText(std::current_exception())));
  }
  co_await idleReport(0, progress);
  if (error) std::rethrow_exception(error);
  co_return stats.mismatches;
}

}  // namespace kv
