#include <gtest/gtest.h>

#include <asio/thread_pool.hpp>

#include <thread>
#include "tests/archive/CatalogTestSupport.h"

namespace kv {
namespace {

using test::makeAsset;

class CatalogTest : public test::CatalogTestBase {
 protected:
  void SetUp() override {
    CatalogTestBase::SetUp();
    openInMemory();
  }

  // One asset with the given resources recorded; returns the rows by type.
  std::map<ResourceType, ResourceRow> assetWithRows(const AssetRecord& a, std::vector<ResourceDescriptor> ds) {
    upsert({a});
    record(a.id, ds);
    std::map<ResourceType, ResourceRow> byType;
    for (auto& r : rowsOf(a.id)) byType[r.type] = r;
    return byType;
  }
};

TEST_F(CatalogTest, UpsertReportsNewUnchangedAndChanged) {
  auto a = makeAsset("A", march2021(), "IMG_1.HEIC");
  auto b = makeAsset("B", march2021(), "IMG_2.HEIC");
  auto first = upsert({a, b});
  EXPECT_EQ(first.added, (std::vector<AssetID>{a.id, b.id}));
  EXPECT_TRUE(first.changed.empty());
  EXPECT_EQ(first.unchanged, 0);

  auto again = upsert({a, b});
  EXPECT_TRUE(again.added.empty());
  EXPECT_TRUE(again.changed.empty());
  EXPECT_EQ(again.unchanged, 2);

  b.modifiedAt = addSeconds(b.modifiedAt, Seconds(1));
  run([&]() -> Async<void> { co_await catalog->invalidateAsset(a.id); });
  auto changed = upsert({b, a});
  EXPECT_EQ(changed.changed, (std::vector<AssetID>{b.id, a.id}));
  EXPECT_EQ(changed.unchanged, 0);
}

TEST_F(CatalogTest, StoredAssetReadsBackWithLocationOnlyWhenComplete) {
  auto a = makeAsset("A", march2021(), "IMG_1.HEIC", AssetKind::livePhoto);
  a.isFavorite = true;
  a.location = Coordinate{47.37, 8.54};
  a.albums = {"Holidays", "Caf\xC3\xA9"};
  a.durationSeconds = 2.5;
  a.burstID = "burst-1";
  upsert({a});
  auto read = run([&]() -> Async<std::optional<AssetWithMetadata>> { co_return co_await catalog->assetWithMetadata(a.id); });
  ASSERT_TRUE(read);
  EXPECT_EQ(read->first, a);
  EXPECT_FALSE(read->second);  // metadata never fetched

  auto none = run([&]() -> Async<std::optional<AssetWithMetadata>> {
    co_return co_await catalog->assetWithMetadata(AssetID{"missing"});
  });
  EXPECT_FALSE(none);
}

TEST_F(CatalogTest, DeletionMarksKeepFirstTimeAndClearOnReturn) {
  auto a = makeAsset("A", march2021(), "IMG_1.HEIC");
  auto b = makeAsset("B", march2021(), "IMG_2.HEIC");
  upsert({a, b});
  run([&]() -> Async<void> { co_await catalog->markDeleted({a.id}, fromUnixSeconds(100)); });
  run([&]() -> Async<void> { co_await catalog->markDeleted({a.id}, fromUnixSeconds(200)); });
  EXPECT_EQ(totals().assets, 1);
  // Deleted assets are still known, and need no metadata.
  auto ids = run([&]() -> Async<std::unordered_set<AssetID>> { co_return co_await catalog->allAssetIDs(); });
  EXPECT_EQ(ids.size(), 2u);
  auto needing = run([&]() -> Async<std::vector<AssetID>> { co_return co_await catalog->assetsNeedingMetadata(10); });
  EXPECT_EQ(needing, std::vector<AssetID>{b.id});

  upsert({a});
  EXPECT_EQ(totals().assets, 2);
}

TEST_F(CatalogTest, MetadataIsStoredAndAskedForAgainAfterAChange) {
  auto a = makeAsset("A", fromUnixSeconds(2000), "IMG_1.HEIC");
  auto b = makeAsset("B", fromUnixSeconds(1000), "IMG_2.HEIC");
  upsert({a, b});
  auto needing = run([&]() -> Async<std::vector<AssetID>> { co_return co_await catalog->assetsNeedingMetadata(10); });
  EXPECT_EQ(needing, (std::vector<AssetID>{b.id, a.id}));  // oldest first

  PhotosMetadata m{"Title", std::nullopt, {"k1", "k2"}};
  run([&]() -> Async<void> {
    co_await catalog->storeMetadata({{a.id, m}, {b.id, PhotosMetadata{}}}, fromUnixSeconds(5000));
  });
  needing = run([&]() -> Async<std::vector<AssetID>> { co_return co_await catalog->assetsNeedingMetadata(10); });
  EXPECT_TRUE(needing.empty());
  auto read = run([&]() -> Async<std::optional<AssetWithMetadata>> { co_return co_await catalog->assetWithMetadata(a.id); });
  ASSERT_TRUE(read && read->second);
  EXPECT_EQ(*read->second, m);

  a.modifiedAt = fromUnixSeconds(6000);
  upsert({a});
  needing = run([&]() -> Async<std::vector<AssetID>> { co_return co_await catalog->assetsNeedingMetadata(10); });
  EXPECT_EQ(needing, std::vector<AssetID>{a.id});
}

TEST_F(CatalogTest, RecordResourcesUsesFirstOfEachTypeAndTheLayout) {
  auto a = makeAsset("A", march2021(), "IMG_0042.HEIC");
  auto rows = assetWithRows(a, {desc(a, ResourceType::original, "IMG_0042.HEIC", 100),
                                desc(a, ResourceType::original, "OTHER.JPG", 5),
                                desc(a, ResourceType::liveVideo, "IMG_0042.MOV")});
  ASSERT_EQ(rows.size(), 2u);
  EXPECT_EQ(rows[ResourceType::original].relativePath, "2021/03/IMG_0042.HEIC");
  EXPECT_EQ(rows[ResourceType::original].bytes, 100);
  EXPECT_EQ(rows[ResourceType::original].state, ResourceState::pending);
  EXPECT_EQ(rows[ResourceType::liveVideo].relativePath, "2021/03/IMG_0042.mov");
  EXPECT_EQ(rows[ResourceType::liveVideo].bytes, std::nullopt);

  auto layout = run([&]() -> Async<std::optional<ArchiveLayout>> { co_return co_await catalog->layoutState(); });
  ASSERT_TRUE(layout);
  EXPECT_TRUE(layout->isTaken("2021/03/img_0042.heic"));
}

TEST_F(CatalogTest, RecordResourcesOfUnknownAssetFails) {
  try {
    record(AssetID{"nope"}, {});
    FAIL() << "expected unknownAsset";
  } catch (const CatalogError& e) {
    EXPECT_EQ(e.kind(), CatalogError::Case::unknownAsset);
    EXPECT_EQ(e.assetID(), "nope");
  }
}

TEST_F(CatalogTest, EditedTypesResetWhileOriginalsOnlyRefreshTheirSize) {
  auto a = makeAsset("A", march2021(), "IMG_1.HEIC");
  auto rows = assetWithRows(a, {desc(a, ResourceType::original, "IMG_1.HEIC", 100),
                                desc(a, ResourceType::edited, "IMG_E1.JPG", 50)});
  const auto at = fromUnixSeconds(1'700'000'000.0);
  for (auto& [type, r] : rows) {
    updateState(*r.id, ResourceState::pending, std::nullopt, std::nullopt, at, "download failed: x");
    updateState(*r.id, ResourceState::verified, "abc", 99, at);
  }
  // Recorded again: edited with a new size, original with an unknown size.
  record(a.id, {desc(a, ResourceType::original, "IMG_1.HEIC"), desc(a, ResourceType::edited, "IMG_E1.JPG", 70)});
  auto edited = row(*rows[ResourceType::edited].id);
  auto original = row(*rows[ResourceType::original].id);
  ASSERT_TRUE(edited && original);
  EXPECT_EQ(edited->state, ResourceState::pending);
  EXPECT_EQ(edited->attempts, 0);
  EXPECT_EQ(edited->bytes, 70);
  EXPECT_EQ(edited->sha256, std::nullopt);
  EXPECT_EQ(edited->verifiedAt, std::nullopt);
  EXPECT_EQ(edited->relativePath, rows[ResourceType::edited].relativePath);
  EXPECT_EQ(original->state, ResourceState::verified);
  EXPECT_EQ(original->bytes, 99);  // NULL size keeps the stored one
  EXPECT_EQ(original->attempts, 1);

  record(a.id, {desc(a, ResourceType::original, "IMG_1.HEIC", 123)});
  EXPECT_EQ(row(*rows[ResourceType::original].id)->bytes, 123);
}

TEST_F(CatalogTest, VanishedTypesAreDeletedUnlessVerified) {
  auto a = makeAsset("A", march2021(), "IMG_1.HEIC");
  auto rows = assetWithRows(a, {desc(a, ResourceType::original, "IMG_1.HEIC"), desc(a, ResourceType::edited, "E.JPG"),
                                desc(a, ResourceType::liveVideo, "IMG_1.MOV")});
  updateState(*rows[ResourceType::edited].id, ResourceState::verified, "d", 1);
  record(a.id, {desc(a, ResourceType::original, "IMG_1.HEIC")});
  EXPECT_TRUE(row(*rows[ResourceType::original].id));
  EXPECT_TRUE(row(*rows[ResourceType::edited].id));
  EXPECT_FALSE(row(*rows[ResourceType::liveVideo].id));
}

TEST_F(CatalogTest, RecordingClearsTheSidecarHash) {
  auto a = makeAsset("A", march2021(), "IMG_1.HEIC");
  upsert({a});
  run([&]() -> Async<void> { co_await catalog->recordSidecar(a.id, "2021/03/IMG_1.HEIC.xmp", "h1", fromUnixSeconds(1)); });
  auto hash = run([&]() -> Async<std::optional<std::string>> { co_return co_await catalog->sidecarInputsHash(a.id); });
  EXPECT_EQ(hash, "h1");
  run([&]() -> Async<void> { co_await catalog->recordSidecar(a.id, "2021/03/IMG_1.HEIC.xmp", "h2", fromUnixSeconds(2)); });
  hash = run([&]() -> Async<std::optional<std::string>> { co_return co_await catalog->sidecarInputsHash(a.id); });
  EXPECT_EQ(hash, "h2");
  record(a.id, {desc(a, ResourceType::original, "IMG_1.HEIC")});
  hash = run([&]() -> Async<std::optional<std::string>> { co_return co_await catalog->sidecarInputsHash(a.id); });
  EXPECT_EQ(hash, std::nullopt);
}

// The paged read the sidecar phase uses gives, page after page, what
// verifiedResources, assetWithMetadata and sidecarInputsHash give one by one.
TEST_F(CatalogTest, VerifiedRowsWithSidecarInputsEqualThePerAssetReads) {
  auto a = makeAsset("A", fromUnixSeconds(1000), "IMG_1.HEIC");
  a.albums = {"Trips"};
  auto b = makeAsset("B", fromUnixSeconds(2000), "IMG_2.HEIC");
  auto c = makeAsset("C", fromUnixSeconds(3000), "IMG_3.HEIC");
  auto d = makeAsset("D", fromUnixSeconds(4000), "IMG_4.HEIC");
  auto ra = assetWithRows(a, {desc(a, ResourceType::original, "IMG_1.HEIC"), desc(a, ResourceType::edited, "E.JPG")});
  auto rb = assetWithRows(b, {desc(b, ResourceType::original, "IMG_2.HEIC")});
  auto rc = assetWithRows(c, {desc(c, ResourceType::original, "IMG_3.HEIC")});
  auto rd = assetWithRows(d, {desc(d, ResourceType::original, "IMG_4.HEIC")});
  for (auto* rows : {&ra, &rb, &rd}) {
    for (auto& [type, r] : *rows) updateState(*r.id, ResourceState::verified, "digest", 5);
  }
  // C stays pending; A has metadata and a current sidecar; D's sidecar hash
  // was cleared by recording its resources again.
  run([&]() -> Async<void> {
    co_await catalog->storeMetadata({{a.id, PhotosMetadata{"Title", "Caption", {"k"}}}}, fromUnixSeconds(5000));
    co_await catalog->recordSidecar(a.id, "a.xmp", "hash-a", fromUnixSeconds(6000));
    co_await catalog->recordSidecar(d.id, "d.xmp", "hash-d", fromUnixSeconds(6000));
  });
  record(d.id, {desc(d, ResourceType::original, "IMG_4.HEIC")});

  const auto verified = run([&]() -> Async<std::vector<ResourceRow>> { co_return co_await catalog->verifiedResources(); });
  ASSERT_EQ(verified.size(), 4u);
  for (std::int64_t limit : {1, 3, 100}) {
    SCOPED_TRACE(limit);
    std::vector<VerifiedRowWithSidecarInputs> all;
    std::int64_t after = 0;
    for (;;) {
      auto page = run([&]() -> Async<std::vector<VerifiedRowWithSidecarInputs>> {
        co_return co_await catalog->verifiedRowsWithSidecarInputs(after, limit);
      });
      ASSERT_LE(static_cast<std::int64_t>(page.size()), limit);
      if (page.empty()) break;
      after = *page.back().row.id;
      all.insert(all.end(), page.begin(), page.end());
    }
    ASSERT_EQ(all.size(), verified.size());
    for (std::size_t i = 0; i < all.size(); ++i) {
      const auto& entry = all[i];
      EXPECT_EQ(entry.row, verified[i]);
      if (entry.row.type != ResourceType::original) {
        EXPECT_EQ(entry.asset, std::nullopt);
        EXPECT_EQ(entry.sidecarInputsHash, std::nullopt);
        continue;
      }
      const AssetID id = entry.row.assetID;
      auto asset = run([&]() -> Async<std::optional<AssetWithMetadata>> { co_return co_await catalog->assetWithMetadata(id); });
      auto hash = run([&]() -> Async<std::optional<std::string>> { co_return co_await catalog->sidecarInputsHash(id); });
      ASSERT_TRUE(asset);
      EXPECT_EQ(entry.asset, asset);
      EXPECT_EQ(entry.sidecarInputsHash, hash);
    }
  }
  // Spot checks of what the per-asset reads gave.
  auto first = run([&]() -> Async<std::vector<VerifiedRowWithSidecarInputs>> {
    co_return co_await catalog->verifiedRowsWithSidecarInputs(0, 1);
  });
  ASSERT_EQ(first.size(), 1u);
  ASSERT_TRUE(first[0].asset && first[0].asset->second);
  EXPECT_EQ(first[0].asset->first.albums, std::vector<std::string>{"Trips"});
  EXPECT_EQ(first[0].sidecarInputsHash, "hash-a");
}

TEST_F(CatalogTest, FailuresBackOffOnTheSchedule) {
  auto a = makeAsset("A", march2021(), "IMG_1.HEIC");
  auto rows = assetWithRows(a, {desc(a, ResourceType::original, "IMG_1.HEIC", 10)});
  const auto id = *rows[ResourceType::original].id;
  const double t = 1'700'000'000.0;
  const struct {
    std::int64_t attempts;
    double delay;
  } expected[] = {{1, 300}, {2, 1'800}, {3, 21'600}, {4, 86'400}, {5, 86'400}};
  for (const auto& e : expected) {
    SCOPED_TRACE(e.attempts);
    updateState(id, ResourceState::pending, std::nullopt, std::nullopt, fromUnixSeconds(t), "download failed: x");
    auto r = row(id);
    EXPECT_EQ(r->attempts, e.attempts);
    EXPECT_EQ(r->lastError, "download failed: x");
    ASSERT_TRUE(r->nextAttemptAt);
    EXPECT_DOUBLE_EQ(toUnixSeconds(*r->nextAttemptAt), t + e.delay);
  }
  // The row is not offered before its time, and is offered at it.
  EXPECT_TRUE(pending(fromUnixSeconds(t + 86'399)).empty());
  EXPECT_EQ(pending(fromUnixSeconds(t + 86'400)).size(), 1u);
  // Without an error text no attempt is counted and no back-off is set.
  updateState(id, ResourceState::pending, std::nullopt, 5, fromUnixSeconds(t));
  EXPECT_EQ(row(id)->attempts, 5);
  EXPECT_EQ(row(id)->bytes, 5);
  EXPECT_EQ(catalogBackoff(0).count(), 0);
  EXPECT_EQ(catalogBackoff(-3).count(), 0);
}

TEST_F(CatalogTest, VerifiedRowsOwnTheirPathAndFailedRowsStay) {
  auto a = makeAsset("A", march2021(), "IMG_1.HEIC");
  auto rows = assetWithRows(a, {desc(a, ResourceType::original, "IMG_1.HEIC", 10), desc(a, ResourceType::edited, "E.JPG")});
  const auto id = *rows[ResourceType::original].id;
  auto owned = [&](std::string p) { return run([&]() -> Async<bool> { co_return co_await catalog->isOwned(p); }); };
  EXPECT_FALSE(owned("2021/03/IMG_1.HEIC"));
  updateState(id, ResourceState::copying);
  EXPECT_EQ(row(id)->state, ResourceState::copying);
  updateState(id, ResourceState::verified, "ab12", std::nullopt, fromUnixSeconds(42));
  auto r = row(id);
  EXPECT_EQ(r->state, ResourceState::verified);
  EXPECT_EQ(r->sha256, "ab12");
  EXPECT_EQ(r->bytes, 10);
  EXPECT_EQ(r->verifiedAt, fromUnixSeconds(42));
  EXPECT_TRUE(owned("2021/03/IMG_1.HEIC"));

  const auto edited = *rows[ResourceType::edited].id;
  updateState(edited, ResourceState::failed, std::nullopt, std::nullopt, fromUnixSeconds(1), "verify mismatch");
  EXPECT_EQ(row(edited)->state, ResourceState::failed);
  EXPECT_TRUE(pending(fromUnixSeconds(1e12)).empty());
  EXPECT_EQ(totals().resourcesFailed, 1);
}

TEST_F(CatalogTest, UnknownRowsFail) {
  auto expectUnknown = [&](auto op, std::int64_t id) {
    try {
      op();
      ADD_FAILURE() << "expected unknownResource";
    } catch (const CatalogError& e) {
      EXPECT_EQ(e.kind(), CatalogError::Case::unknownResource);
      EXPECT_EQ(e.resourceID(), id);
    }
  };
  expectUnknown([&] { run([&]() -> Async<void> { co_await catalog->requeue(77, "gone"); }); }, 77);
  expectUnknown([&] { updateState(78, ResourceState::copying); }, 78);
  expectUnknown([&] { run([&]() -> Async<std::string> { co_return co_await catalog->relocate(79, "x"); }); }, 79);
  EXPECT_FALSE(row(80));
}

TEST_F(CatalogTest, RequeueKeepsAttemptsAndClearsTheProof) {
  auto a = makeAsset("A", march2021(), "IMG_1.HEIC");
  auto rows = assetWithRows(a, {desc(a, ResourceType::original, "IMG_1.HEIC", 10)});
  const auto id = *rows[ResourceType::original].id;
  updateState(id, ResourceState::pending, std::nullopt, std::nullopt, fromUnixSeconds(1), "download failed: x");
  updateState(id, ResourceState::verified, "ab", 10, fromUnixSeconds(2));
  run([&]() -> Async<void> { co_await catalog->requeue(id, "verify archive: NAS copy missing"); });
  auto r = row(id);
  EXPECT_EQ(r->state, ResourceState::pending);
  EXPECT_EQ(r->attempts, 1);
  EXPECT_EQ(r->sha256, std::nullopt);
  EXPECT_EQ(r->verifiedAt, std::nullopt);
  EXPECT_EQ(r->nextAttemptAt, std::nullopt);
  EXPECT_EQ(r->lastError, "verify archive: NAS copy missing");
}

TEST_F(CatalogTest, RelocateChoosesTheNextFreeNameAndDropsOwnership) {
  auto a = makeAsset("A", march2021(), "IMG_1.HEIC");
  auto rows = assetWithRows(a, {desc(a, ResourceType::original, "IMG_1.HEIC", 10)});
  const auto id = *rows[ResourceType::original].id;
  updateState(id, ResourceState::verified, "ab", 10);
  const std::string d = layoutDisambiguator(a.id);
  auto moved = run([&]() -> Async<std::string> { co_return co_await catalog->relocate(id, "2021/03/IMG_1.HEIC"); });
  EXPECT_EQ(moved, "2021/03/IMG_1-" + d + ".HEIC");
  EXPECT_EQ(row(id)->relativePath, moved);
  EXPECT_FALSE(run([&]() -> Async<bool> { co_return co_await catalog->isOwned(moved); }));
  // Asking again for the old name returns where the row is now.
  auto again = run([&]() -> Async<std::string> { co_return co_await catalog->relocate(id, "2021/03/IMG_1.HEIC"); });
  EXPECT_EQ(again, moved);
  auto third = run([&]() -> Async<std::string> { co_return co_await catalog->relocate(id, moved); });
  EXPECT_EQ(third, "2021/03/IMG_1-" + d + "-2.HEIC");
  // A resource recorded later never gets an occupied name.
  auto b = makeAsset("B", march2021(), "IMG_1.HEIC");
  auto bRows = assetWithRows(b, {desc(b, ResourceType::original, "IMG_1.HEIC")});
  EXPECT_EQ(bRows[ResourceType::original].relativePath, "2021/03/IMG_1-" + layoutDisambiguator(b.id) + ".HEIC");
}

TEST_F(CatalogTest, PendingRowsComeOldestAssetFirstAndSkipDeletedAssets) {
  auto young = makeAsset("Y", fromUnixSeconds(3000), "Y.JPG");
  auto old = makeAsset("O", fromUnixSeconds(1000), "O.JPG");
  auto gone = makeAsset("G", fromUnixSeconds(500), "G.JPG");
  upsert({young, old, gone});
  record(young.id, {desc(young, ResourceType::original, "Y.JPG")});
  record(old.id, {desc(old, ResourceType::original, "O.JPG"), desc(old, ResourceType::liveVideo, "O.MOV")});
  record(gone.id, {desc(gone, ResourceType::original, "G.JPG")});
  run([&]() -> Async<void> { co_await catalog->markDeleted({gone.id}, fromUnixSeconds(1)); });
  auto rows = pending(fromUnixSeconds(1e9));
  ASSERT_EQ(rows.size(), 3u);
  EXPECT_EQ(rows[0].assetID, old.id);
  EXPECT_EQ(rows[0].type, ResourceType::original);
  EXPECT_EQ(rows[1].assetID, old.id);
  EXPECT_EQ(rows[2].assetID, young.id);
  EXPECT_EQ(pending(fromUnixSeconds(1e9), 1).size(), 1u);
  auto paths = run([&]() -> Async<std::unordered_set<std::string>> { co_return co_await catalog->allRelativePaths(); });
  EXPECT_EQ(paths.size(), 4u);
}

TEST_F(CatalogTest, TotalsOfAnEmptyCatalog) {
  EXPECT_EQ(totals(), ArchiveTotals{});
}

TEST_F(CatalogTest, TotalsOfAFilledCatalog) {
  auto photo = makeAsset("P", march2021(), "P.JPG");
  auto live = makeAsset("L", march2021(), "L.HEIC", AssetKind::livePhoto);
  auto bare = makeAsset("N", march2021(), "N.JPG");  // no resources: never fully verified
  auto gone = makeAsset("G", march2021(), "G.JPG");
  upsert({photo, live, bare, gone});
  auto p = assetWithRows(photo, {desc(photo, ResourceType::original, "P.JPG", 10)});
  auto l = assetWithRows(live, {desc(live, ResourceType::original, "L.HEIC", 20), desc(live, ResourceType::liveVideo, "L.MOV", 30)});
  auto g = assetWithRows(gone, {desc(gone, ResourceType::original, "G.JPG", 40), desc(gone, ResourceType::edited, "GE.JPG", 1)});
  updateState(*p[ResourceType::original].id, ResourceState::verified, "a", std::nullopt);
  updateState(*l[ResourceType::original].id, ResourceState::verified, "b", std::nullopt);
  updateState(*l[ResourceType::liveVideo].id, ResourceState::copying);
  updateState(*g[ResourceType::original].id, ResourceState::verified, "c", std::nullopt);
  updateState(*g[ResourceType::edited].id, ResourceState::failed, std::nullopt, std::nullopt, fromUnixSeconds(1), "x");
  run([&]() -> Async<void> { co_await catalog->markDeleted({gone.id}, fromUnixSeconds(1)); });

  RunSummary sync{RunTrigger::schedule, fromReferenceSeconds(100), fromReferenceSeconds(200), 4, 2, 1, 30,
                  RunOutcome::partial};
  RunSummary verify{RunTrigger::verify, fromReferenceSeconds(300), fromReferenceSeconds(400), 0, 3, 0, 0,
                    RunOutcome::complete};
  RunSummary olderSync = sync;
  olderSync.startedAt = fromReferenceSeconds(50);
  for (const auto& s : {sync, verify, olderSync}) run([&]() -> Async<void> { co_await catalog->recordRun(s); });

  auto t = totals();
  EXPECT_EQ(t.assets, 3);
  EXPECT_EQ(t.assetsFullyVerified, 1);
  EXPECT_EQ(t.verifiedByKind, (std::map<AssetKind, std::int64_t>{{AssetKind::photo, 1}}));
  EXPECT_EQ(t.resourcesPending, 1);  // the copying live video; the deleted asset's rows are not counted
  EXPECT_EQ(t.resourcesFailed, 1);   // deleted assets included
  EXPECT_EQ(t.bytesVerified, 10 + 20 + 40);
  EXPECT_EQ(t.lastRun, verify);
  EXPECT_EQ(t.lastSyncRun, sync);
  EXPECT_EQ(t.lastVerifyRun, verify);

  updateState(*l[ResourceType::liveVideo].id, ResourceState::verified, "d", std::nullopt);
  t = totals();
  EXPECT_EQ(t.assetsFullyVerified, 2);
  EXPECT_EQ(t.verifiedByKind, (std::map<AssetKind, std::int64_t>{{AssetKind::photo, 1}, {AssetKind::livePhoto, 1}}));
}

TEST(CatalogConcurrencyTest, ConcurrentCallersFromAThreadPoolAreSerialised) {
  asio::thread_pool pool(4);
  auto waitFor = [](const auto& task) {
    for (int i = 0; i < 20000 && !task.isFinished(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    ASSERT_TRUE(task.isFinished());
  };
  auto a = makeAsset("A", fromUnixSeconds(1615000000.0), "IMG_1.HEIC");
  auto opened = Task<std::shared_ptr<Catalog>>::spawn(pool.get_executor(), [&]() -> Async<std::shared_ptr<Catalog>> {
    auto c = co_await Catalog::openInMemory(pool.get_executor());
    co_await c->upsertAssets({a});
    co_await c->recordResources(a.id, {ResourceDescriptor{a.id, ResourceType::original, "IMG_1.HEIC", "", 1}});
    co_return c;
  });
  waitFor(opened);
  auto catalog = opened.get();
  auto rows = Task<std::vector<ResourceRow>>::spawn(pool.get_executor(), [catalog]() -> Async<std::vector<ResourceRow>> {
    co_return co_await catalog->pendingResources(fromUnixSeconds(1), 10);
  });
  waitFor(rows);
  ASSERT_EQ(rows.get().size(), 1u);
  const auto id = *rows.get()[0].id;
  std::vector<Task<void>> tasks;
  for (int i = 0; i < 40; ++i) {
    tasks.push_back(Task<void>::spawn(pool.get_executor(), [catalog, id]() -> Async<void> {
      co_await catalog->updateState(id, ResourceState::pending, std::nullopt, std::nullopt, fromUnixSeconds(1), "x");
      (void)co_await catalog->totals();
    }));
  }
  for (auto& t : tasks) {
    waitFor(t);
    t.get();
  }
  auto after = Task<std::optional<ResourceRow>>::spawn(pool.get_executor(), [catalog, id]() -> Async<std::optional<ResourceRow>> {
    co_return co_await catalog->resource(id);
  });
  waitFor(after);
  EXPECT_EQ(after.get()->attempts, 40);
  catalog.reset();
  pool.join();
}

}  // namespace
}  // namespace kv
