#pragma once
// Every log text and stored reason of the archive engine's sync and
// verification, in one place. Log formats fill "{}" in order; error texts
// are passed private and redacted, counts and outcome names public.
#include <string_view>

namespace kv::engine_text {

// Sync.
inline constexpr std::string_view kResourcesLookupFailed = "resources(for:) failed; retrying next run: {}";
inline constexpr std::string_view kSkippingDeletionMarks =
    "enumeration returned 0 assets but the catalog knows {}; skipping deletion marks";
inline constexpr std::string_view kDuplicateAssets =
    "enumeration listed {} duplicate asset identifiers; keeping the first of each";
inline constexpr std::string_view kMetadataFetchFailed = "metadata fetch failed; retrying next run: {}";
inline constexpr std::string_view kCouldNotResetRow = "could not reset row {} to pending: {}";
inline constexpr std::string_view kWorkerFailedWhileStopping = "worker failed while stopping: {}";
inline constexpr std::string_view kCouldNotSumPending = "could not sum pending bytes: {}";
inline constexpr std::string_view kRunSummary = "run {}: {} verified, {} failed, {} lookups failed";
inline constexpr std::string_view kRunStopped = "run stopped: {}";
inline constexpr std::string_view kCouldNotRecordRun = "could not record run: {}";
inline constexpr std::string_view kCouldNotReadIdleTotals = "could not read totals for idle progress: {}";

// The copy phase's stop after too many failed downloads: the streak's
// length, then this.
inline constexpr std::string_view kDownloadStreakSuffix = " downloads in a row failed; trying again later";
// Stored as a row's last error.
inline constexpr std::string_view kDownloadFailedPrefix = "download failed: ";
inline constexpr std::string_view kMismatchSourcePrefix = "verify mismatch: source ";
inline constexpr std::string_view kMismatchNASInfix = ", NAS ";

// Verification.
inline constexpr std::string_view kVerifySummary = "verify {}: {} intact, {} re-queued";
inline constexpr std::string_view kVerifyStopped = "verify stopped: {}";
inline constexpr std::string_view kCouldNotRecordVerifyRun = "could not record verify run: {}";
inline constexpr std::string_view kRequeued = "{}: {}";  // the reason, the row's relative path
inline constexpr std::string_view kNoLongerSameVolume = " is no longer the same volume";
inline constexpr std::string_view kReasonMissing = "verify archive: NAS copy missing";
inline constexpr std::string_view kReasonPermissionDenied = "verify archive: NAS copy unreadable (permission denied)";
inline constexpr std::string_view kReasonUnreadablePrefix = "verify archive: NAS copy unreadable (";
inline constexpr std::string_view kReasonDiffersPrefix = "verify archive: NAS copy differs (catalog ";

}  // namespace kv::engine_text
