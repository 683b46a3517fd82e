// The counts behind totals are kept up to date by triggers. Whatever the
// sequence of writes, they must give what counting the rows gives: random
// sequences of every writing operation (and writes behind the catalog's back)
// are checked against the counting queries after each step.
#include <gtest/gtest.h>

#include <random>

#include "tests/archive/CatalogTestSupport.h"

namespace kv {
namespace {

using test::makeAsset;

// The figures of totals, counted from the rows.
struct CountedTotals {
  std::int64_t assets = 0, fullyVerified = 0, pending = 0, failed = 0, bytesVerified = 0;
  std::map<std::string, std::int64_t> byKind;
  bool operator==(const CountedTotals&) const = default;
};

std::ostream& operator<<(std::ostream& out, const CountedTotals& t) {
  out << "assets " << t.assets << ", fully verified " << t.fullyVerified << ", pending " << t.pending << ", failed "
      << t.failed << ", bytes " << t.bytesVerified << ", by kind {";
  for (const auto& [k, n] : t.byKind) out << k << ": " << n << " ";
  return out << "}";
}

std::int64_t countOf(SqliteDatabase& db, const char* sql) {
  auto s = db.prepare(sql);
  return s.step() && !s.isNull(0) ? s.int64(0) : 0;
}

CountedTotals countRows(SqliteDatabase& db) {
  constexpr const char* kFullyVerified =
      " FROM assets a WHERE a.deleted_in_photos_at IS NULL AND EXISTS (SELECT 1 FROM resources r WHERE r.asset_id = "
      "a.local_id) AND NOT EXISTS (SELECT 1 FROM resources r WHERE r.asset_id = a.local_id AND r.state != "
      "'verified')";
  CountedTotals t;
  t.assets = countOf(db, "SELECT COUNT(*) FROM assets WHERE deleted_in_photos_at IS NULL");
  t.fullyVerified = countOf(db, (std::string("SELECT COUNT(*)") + kFullyVerified).c_str());
  auto s = db.prepare(std::string("SELECT a.kind AS kind, COUNT(*) AS n") + kFullyVerified + " GROUP BY a.kind");
  while (s.step()) t.byKind[s.text(0)] = s.int64(1);
  t.pending = countOf(db,
                      "SELECT COUNT(*) FROM resources r JOIN assets a ON a.local_id = r.asset_id WHERE r.state IN "
                      "('pending', 'copying') AND a.deleted_in_photos_at IS NULL");
  t.failed = countOf(db, "SELECT COUNT(*) FROM resources WHERE state = 'failed'");
  t.bytesVerified = countOf(db, "SELECT COALESCE(SUM(bytes), 0) FROM resources WHERE state = 'verified'");
  return t;
}

CountedTotals fromTotals(const ArchiveTotals& totals) {
  CountedTotals t{totals.assets, totals.assetsFullyVerified, totals.resourcesPending, totals.resourcesFailed,
                  totals.bytesVerified, {}};
  for (const auto& [kind, n] : totals.verifiedByKind) t.byKind[std::string(catalogKindString(kind))] = n;
  return t;
}

class CatalogCountsTest : public test::CatalogTestBase {
 protected:
  std::filesystem::path file() { return tempFolder() / "catalog.sqlite"; }

  SqliteDatabase side() {
    auto db = SqliteDatabase::open(file());
    db.setBusyTimeout(std::chrono::seconds(5));
    db.execute("PRAGMA foreign_keys = ON");
    return db;
  }

  std::vector<std::int64_t> rowIDs(SqliteDatabase& db) {
    std::vector<std::int64_t> ids;
    auto s = db.prepare("SELECT id FROM resources ORDER BY id");
    while (s.step()) ids.push_back(s.int64(0));
    return ids;
  }

  std::optional<AssetRecord> stored(const AssetID& id) {
    auto read = run([&]() -> Async<std::optional<AssetWithMetadata>> { co_return co_await catalog->assetWithMetadata(id); });
    if (!read) return std::nullopt;
    return read->first;
  }
};

TEST_F(CatalogCountsTest, RandomWritesKeepTheCountsEqualToCountingTheRows) {
  catalog = openFile(file());
  auto db = side();
  std::mt19937 random(20261211);
  auto pick = [&](int n) { return static_cast<int>(random() % static_cast<unsigned>(n)); };
  constexpr AssetKind kKinds[] = {AssetKind::photo, AssetKind::video, AssetKind::livePhoto};
  constexpr ResourceType kTypes[] = {ResourceType::original, ResourceType::edited, ResourceType::liveVideo,
                                     ResourceType::adjustmentData, ResourceType::rawAlternate};
  constexpr ResourceState kStates[] = {ResourceState::pending, ResourceState::copying, ResourceState::verified,
                                       ResourceState::failed};

  std::map<std::string, AssetRecord> library;
  for (int i = 0; i < 10; ++i) {
    const std::string id = "asset-" + std::to_string(i);
    library[id] = makeAsset(id, fromUnixSeconds(1'600'000'000.0 + i * 86'400.0), "IMG_" + std::to_string(i) + ".HEIC",
                            kKinds[i % 3]);
  }
  auto anyAsset = [&]() -> AssetRecord& {
    auto it = library.begin();
    std::advance(it, pick(static_cast<int>(library.size())));
    return it->second;
  };

  for (int step = 0; step < 400; ++step) {
    const int op = pick(9);
    std::string what;
    const auto rows = rowIDs(db);
    if (op == 0) {
      what = "upsert";
      std::vector<AssetRecord> batch;
      for (auto& [id, a] : library) {
        if (pick(3) == 0) continue;
        switch (pick(4)) {
          case 0: a.kind = kKinds[pick(3)]; break;
          case 1: a.modifiedAt = fromUnixSeconds(1'700'000'000.0 + step); break;
          case 2: a.isFavorite = !a.isFavorite; break;
          default: break;  // unchanged
        }
        batch.push_back(a);
      }
      upsert(batch);
      for (const auto& a : batch) ASSERT_EQ(stored(a.id), a) << "step " << step;
    } else if (op == 1) {
      what = "markDeleted";
      std::unordered_set<AssetID> gone{anyAsset().id, anyAsset().id};
      run([&]() -> Async<void> { co_await catalog->markDeleted(gone, fromUnixSeconds(1'700'000'000.0)); });
    } else if (op == 2 || op == 3) {
      what = "recordResources";
      auto& a = anyAsset();
      if (!stored(a.id)) continue;
      std::vector<ResourceDescriptor> list;
      for (auto type : kTypes) {
        if (pick(2) == 0) continue;
        std::optional<std::int64_t> bytes;
        if (pick(4) != 0) bytes = 1 + pick(1000);
        list.push_back(desc(a, type, a.originalFilename, bytes));
      }
      record(a.id, list);
    } else if ((op == 4 || op == 5) && !rows.empty()) {
      what = "updateState";
      const auto state = kStates[pick(4)];
      std::optional<std::int64_t> bytes;
      if (pick(2) == 0) bytes = pick(5000);
      std::optional<std::string> error;
      if (pick(2) == 0) error = "try again";
      updateState(rows[pick(static_cast<int>(rows.size()))], state,
                  state == ResourceState::verified ? std::optional<std::string>("ab") : std::nullopt, bytes,
                  fromUnixSeconds(1'700'000'000.0), error);
    } else if (op == 6 && !rows.empty()) {
      what = "requeue";
      const auto id = rows[pick(static_cast<int>(rows.size()))];
      run([&]() -> Async<void> { co_await catalog->requeue(id, "changed on the share"); });
    } else if (op == 7 && !rows.empty()) {
      what = "relocate";
      const auto id = rows[pick(static_cast<int>(rows.size()))];
      const auto path = row(id)->relativePath;
      run([&]() -> Async<void> { (void)co_await catalog->relocate(id, path); });
    } else if (op == 8) {
      // Writes the catalog never makes itself still keep the counts right:
      // an asset removed with its rows (the cascade), a row moved to
      // another asset.
      if (pick(2) == 0) {
        what = "delete an asset";
        auto s = db.prepare("DELETE FROM assets WHERE local_id = ?");
        s.bindAll(anyAsset().id.raw);
        s.run();
      } else if (!rows.empty()) {
        what = "move a row";
        auto s = db.prepare("UPDATE OR IGNORE resources SET asset_id = ? WHERE id = ?");
        s.bindAll(anyAsset().id.raw, rows[pick(static_cast<int>(rows.size()))]);
        try {
          s.run();
        } catch (const SqliteError&) {
          // the asset is not in the catalog: the foreign key refuses
        }
      }
    } else {
      continue;
    }
    ASSERT_EQ(fromTotals(totals()), countRows(db)) << "after step " << step << " (" << what << ")";
  }
  // The sequence reached every kind of figure.
  const auto end = countRows(db);
  EXPECT_GT(end.assets, 0);
  EXPECT_GT(end.pending + end.failed, 0);
  EXPECT_GT(end.bytesVerified, 0);
}

TEST_F(CatalogCountsTest, ACatalogFromBeforeTheCountsGetsThemWhenOpened) {
  catalog = openFile(file());
  std::vector<AssetRecord> assets;
  for (int i = 0; i < 6; ++i) {
    assets.push_back(makeAsset("A" + std::to_string(i), march2021(), "IMG_" + std::to_string(i) + ".HEIC",
                               i % 2 ? AssetKind::video : AssetKind::photo));
  }
  upsert(assets);
  for (const auto& a : assets) {
    record(a.id, {desc(a, ResourceType::original, a.originalFilename, 100), desc(a, ResourceType::edited, "e", 7)});
  }
  auto db = side();
  const auto ids = rowIDs(db);
  for (std::size_t i = 0; i < ids.size(); ++i) {
    updateState(ids[i], i % 3 == 2 ? ResourceState::failed : ResourceState::verified, "ab", 50 + i);
  }
  run([&]() -> Async<void> { co_await catalog->markDeleted({assets[0].id}, fromUnixSeconds(1)); });
  const auto expected = countRows(db);
  catalog.reset();

  // Take the catalog back to how the previous version left it.
  db.execute(
      "DROP TRIGGER resources_counted_insert; DROP TRIGGER resources_counted_delete; DROP TRIGGER "
      "resources_counted_update; DROP TRIGGER assets_counted_delete; DROP TRIGGER "
      "assets_counted_update; DROP TABLE catalog_counts; ALTER TABLE assets DROP COLUMN resource_rows; ALTER TABLE "
      "assets DROP COLUMN unverified_rows; ALTER TABLE assets DROP COLUMN pending_rows; DELETE FROM "
      "catalog_migrations WHERE identifier = 'v4-maintained-counts'");
  catalog = openFile(file());
  EXPECT_EQ(fromTotals(totals()), expected);
  EXPECT_GT(expected.fullyVerified, 0);
  EXPECT_GT(expected.failed, 0);
}

}  // namespace
}  // namespace kv
