#pragma once
// The archive's memory: one SQLite database (catalog.sqlite) with every
// asset seen in the Photos library, every resource of every asset with its
// place on the share and its copy state, the sidecar written for each asset
// and a summary of every run.
//
// Concurrency: one connection, used only on the catalog's strand. Every
// public operation hops onto the strand, runs its statements there without
// suspending (so operations never interleave) and returns to the caller's
// executor. Any number of tasks may call concurrently; calls are applied one
// after another. A cancelled caller does not interrupt an operation once it
// has started.
//
// Transactions: every operation that changes rows runs in one transaction;
// a failure rolls all of it back (and leaves the layout memory as it was).
//
// Errors: database errors (SqliteError, including a database still busy
// after the 10 s busy timeout) are passed on unchanged; CatalogError for
// unknown rows and stored values that cannot be understood; the JSON of a
// stored run summary that does not decode is a DecodingError.
//
// Dates are stored as seconds since 1970-01-01 UTC.
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

#include "archive/ArchiveLayout.h"
#include "archive/ArchiveTotals.h"
#include "archive/CatalogError.h"
#include "archive/ResourceRow.h"
#include "archive/ResourceState.h"
#include "archive/UpsertDelta.h"
#include "archive/sqlite/SqliteDatabase.h"
#include "core/AssetID.h"
#include "core/AssetRecord.h"
#include "core/Date.h"
#include "core/PhotosMetadata.h"
#include "core/ResourceDescriptor.h"
#include "core/RunSummary.h"
#include "core/async/Async.h"

namespace kv {

// The catalog's file name inside the application's data folder.
inline constexpr std::string_view kCatalogFileName = "catalog.sqlite";

// How long a statement retries a database that another connection holds
// locked before it fails with SQLITE_BUSY.
inline constexpr std::chrono::milliseconds kCatalogBusyTimeout{10'000};

// The wait before attempt n+1 after the n-th failure with an error text:
// n <= 0: 0 s; 1: 300 s; 2: 1,800 s; 3: 21,600 s; 4 and more: 86,400 s.
Seconds catalogBackoff(std::int64_t attempts);

// The catalog's stored strings of the enumerations it keeps in its own form:
// asset kinds "photo", "video", "live"; resource types "original", "edited",
// "live_video", "edited_live_video", "raw_alt", "adjustment".
std::string_view catalogKindString(AssetKind kind);
std::optional<AssetKind> catalogKindFromString(std::string_view text);
std::string_view catalogTypeString(ResourceType type);
std::optional<ResourceType> catalogTypeFromString(std::string_view text);

using AssetWithMetadata = std::pair<AssetRecord, std::optional<PhotosMetadata>>;

// One verified row with what its sidecar is made from: for a row of type
// original, the asset with its metadata (nothing when the catalog no longer
// has the asset) and the stored sidecar inputs hash; for other types both
// are absent.
struct VerifiedRowWithSidecarInputs {
  ResourceRow row;
  std::optional<AssetWithMetadata> asset;        // = assetWithMetadata(row.assetID)
  std::optional<std::string> sidecarInputsHash;  // = sidecarInputsHash(row.assetID)
};

class Catalog : public std::enable_shared_from_this<Catalog> {
 public:
  // Opens the database file `file` (usually <data folder>/catalog.sqlite),
  // creating its folder with all missing parents first: busy timeout 10 s,
  // foreign keys on, WAL journal (a failure to switch is ignored), the
  // migrations not yet recorded, then every `copying` row back to `pending`.
  // A failure of any step throws and makes no catalog (a file that is not a
  // database, a read-only or locked file fail with a SqliteError naming the
  // file; no migration is left half-applied). `executor` is where the
  // statements run (the application's thread pool; the catalog makes its own
  // strand over it). `busyTimeout` is shorter only in tests.
  static Async<std::shared_ptr<Catalog>> open(Executor executor, std::filesystem::path file,
                                              std::chrono::milliseconds busyTimeout = kCatalogBusyTimeout);
  // A catalog over a private in-memory database, set up the same way.
  static Async<std::shared_ptr<Catalog>> openInMemory(Executor executor);

  ~Catalog();
  Catalog(const Catalog&) = delete;
  Catalog& operator=(const Catalog&) = delete;

  // --- Assets

  // Stores the records (one transaction): new identifiers go to `added`,
  // known ones are updated (and lose any deletion mark); those whose stored
  // modification time differs from the record's go to `changed`.
  Async<UpsertDelta> upsertAssets(std::vector<AssetRecord> records);
  // Marks the assets missing from the library at `at`; the first time is kept.
  Async<void> markDeleted(std::unordered_set<AssetID> assets, Date at);
  // Forces the next upsertAssets to report the asset as changed.
  Async<void> invalidateAsset(AssetID asset);
  // Every asset identifier, deleted ones included.
  Async<std::unordered_set<AssetID>> allAssetIDs();
  // Present assets whose metadata was never stored or is older than their
  // modification, oldest first, at most `limit`.
  Async<std::vector<AssetID>> assetsNeedingMetadata(std::int64_t limit);
  // Stores title, caption and keywords fetched at `fetchedAt` (one transaction).
  Async<void> storeMetadata(std::unordered_map<AssetID, PhotosMetadata> metadata, Date fetchedAt);
  // The asset and, when it was ever fetched, its metadata; nothing for an
  // unknown asset.
  Async<std::optional<AssetWithMetadata>> assetWithMetadata(AssetID asset);

  // --- Resources

  // Records the resources of one asset (one transaction): the first
  // descriptor of each type counts; a new type gets a path from the layout
  // and a pending row; an existing edited, editedLiveVideo or adjustmentData
  // row is reset to pending (attempts 0, new expected size); an existing
  // original, liveVideo or rawAlternate row only refreshes a known size;
  // rows of types no longer listed are deleted unless verified; the asset's
  // sidecar hash is cleared. Unknown asset: CatalogError::unknownAsset.
  Async<void> recordResources(AssetID asset, std::vector<ResourceDescriptor> resources);
  // Pending rows of present assets whose back-off has passed at `now`,
  // oldest assets first, then row order; at most `limit`.
  Async<std::vector<ResourceRow>> pendingResources(Date now, std::int64_t limit);
  // Every verified row in id order.
  Async<std::vector<ResourceRow>> verifiedResources();
  Async<std::optional<ResourceRow>> resource(std::int64_t id);
  Async<std::unordered_set<std::string>> allRelativePaths();
  // Whether a row that wrote or proved the file holds `relativePath`.
  Async<bool> isOwned(std::string relativePath);
  // Moves a row to `state` (one transaction):
  //   copying: only the state;
  //   verified: digest, size (absent keeps the stored one), verifiedAt = at,
  //     error and back-off cleared, the row owns its path;
  //   pending/failed with an error text: digest and verification cleared,
  //     attempts + 1, lastError = error, nextAttemptAt = at + backoff;
  //   pending/failed without one: digest and verification cleared, no
  //     attempt counted, no back-off.
  // Unknown id: CatalogError::unknownResource.
  Async<void> updateState(std::int64_t id, ResourceState state, std::optional<std::string> sha256,
                          std::optional<std::int64_t> bytes, Date at, std::optional<std::string> error);
  // Back to pending for another copy (verification found the copy missing or
  // different): digest and verification cleared, lastError = reason, no
  // back-off, attempts kept. Unknown id: CatalogError::unknownResource.
  Async<void> requeue(std::int64_t id, std::string reason);
  // A foreign file occupies `occupiedPath`: the row gets the next free name
  // (and no longer owns a path); returns the row's path (unchanged when the
  // row was already moved away from `occupiedPath`).
  Async<std::string> relocate(std::int64_t id, std::string occupiedPath);

  // --- Sidecars

  // The inputs hash the asset's sidecar was last written with (nothing when
  // never written or when a rewrite is due).
  Async<std::optional<std::string>> sidecarInputsHash(AssetID asset);
  Async<void> recordSidecar(AssetID asset, std::string relativePath, std::string inputsHash, Date at);

  // The verified rows with an id above `afterID`, in id order, at most
  // `limit`, each with its sidecar's inputs (one read; the sidecar phase pages
  // through these instead of asking for every asset on its own). A row that
  // cannot be read ends the page before it; a page that would start with it
  // fails with the error verifiedResources or assetWithMetadata gives.
  Async<std::vector<VerifiedRowWithSidecarInputs>> verifiedRowsWithSidecarInputs(std::int64_t afterID,
                                                                                  std::int64_t limit);

  // --- Runs and totals

  Async<void> recordRun(RunSummary summary);
  // One read of the figures the interface shows.
  Async<ArchiveTotals> totals();

  // --- Layout memory

  // Starts a fresh layout (every stored path taken, nothing assigned); the
  // run does this after storing the assets of an enumeration.
  Async<void> prepareLayout();
  // A copy of the layout memory (nothing until the first recordResources,
  // relocate or prepareLayout).
  Async<std::optional<ArchiveLayout>> layoutState();

 private:
  Catalog(Strand strand, SqliteDatabase db);
  struct Impl;
  Strand strand_;
  std::unique_ptr<Impl> impl_;  // touched only on strand_
};

}  // namespace kv
