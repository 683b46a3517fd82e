#include "archive/Catalog.h"

#include <array>
#include <limits>
#include <system_error>

#include <nlohmann/json.hpp>

#include "core/async/Task.h"

namespace kv {

namespace {

constexpr std::array<std::pair<AssetKind, std::string_view>, 3> kKindStrings{{
    {AssetKind::photo, "photo"},
    {AssetKind::video, "video"},
    {AssetKind::livePhoto, "live"},
}};

constexpr std::array<std::pair<ResourceType, std::string_view>, 6> kTypeStrings{{
    {ResourceType::original, "original"},
    {ResourceType::edited, "edited"},
    {ResourceType::liveVideo, "live_video"},
    {ResourceType::editedLiveVideo, "edited_live_video"},
    {ResourceType::rawAlternate, "raw_alt"},
    {ResourceType::adjustmentData, "adjustment"},
}};

// The migrations, applied once each in this order and recorded by identifier.
struct Migration {
  std::string_view identifier;
  std::string_view sql;
};

constexpr std::string_view kInitialSchema = R"sql(
CREATE TABLE assets (
  local_id TEXT PRIMARY KEY NOT NULL,
  kind TEXT NOT NULL,
  created_at DOUBLE NOT NULL,
  modified_at DOUBLE NOT NULL,
  original_filename TEXT NOT NULL,
  is_favorite BOOLEAN NOT NULL DEFAULT 0,
  is_hidden BOOLEAN NOT NULL DEFAULT 0,
  lat DOUBLE,
  lon DOUBLE,
  albums_json TEXT NOT NULL DEFAULT '[]',
  caption TEXT,
  title TEXT,
  keywords_json TEXT,
  meta_fetched_at DOUBLE,
  deleted_in_photos_at DOUBLE,
  duration_seconds DOUBLE,
  pixel_width INTEGER NOT NULL DEFAULT 0,
  pixel_height INTEGER NOT NULL DEFAULT 0,
  burst_id TEXT
);
CREATE TABLE resources (
  id INTEGER PRIMARY KEY AUTOINCREMENT,
  asset_id TEXT NOT NULL REFERENCES assets(local_id) ON DELETE CASCADE,
  type TEXT NOT NULL,
  relative_path TEXT NOT NULL,
  bytes INTEGER,
  sha256 TEXT,
  state TEXT NOT NULL DEFAULT 'pending',
  attempts INTEGER NOT NULL DEFAULT 0,
  last_error TEXT,
  verified_at DOUBLE,
  next_attempt_at DOUBLE,
  UNIQUE (asset_id, type)
);
CREATE INDEX resources_on_state ON resources(state, next_attempt_at);
CREATE TABLE sidecars (
  asset_id TEXT PRIMARY KEY NOT NULL REFERENCES assets(local_id) ON DELETE CASCADE,
  relative_path TEXT NOT NULL,
  inputs_hash TEXT,
  written_at DOUBLE
);
CREATE TABLE runs (
  id INTEGER PRIMARY KEY AUTOINCREMENT,
  started_at DOUBLE NOT NULL,
  ended_at DOUBLE NOT NULL,
  trigger TEXT NOT NULL,
  assets_seen INTEGER NOT NULL,
  resources_verified INTEGER NOT NULL,
  resources_failed INTEGER NOT NULL,
  outcome TEXT NOT NULL,
  summary TEXT NOT NULL
);
)sql";

// The counts of totals, kept up to date by triggers so that reading them
// costs a few rows instead of a pass over every asset and resource. Each
// asset row carries the counts of its own resource rows (all, not verified,
// pending or copying); the table catalog_counts holds the sums over present
// assets ("pending", and "verified:" + kind for assets whose rows are all
// verified) and over all rows ("failed", "bytes_verified"). The asset
// trigger takes an asset's old share out of the sums and puts its new share
// in, so the resource triggers only touch their asset's counts and the two
// sums over all rows. Every write, the cascade from a deleted asset
// included, goes through them. Inserting an asset needs no trigger: a new
// asset has no rows yet. (A trigger on inserts would also make SQLite keep a
// statement journal for every inserted asset, which costs more than the
// indexed count of present assets that totals makes instead.)
constexpr std::string_view kMaintainedCounts = R"sql(
ALTER TABLE assets ADD COLUMN resource_rows INTEGER NOT NULL DEFAULT 0;
ALTER TABLE assets ADD COLUMN unverified_rows INTEGER NOT NULL DEFAULT 0;
ALTER TABLE assets ADD COLUMN pending_rows INTEGER NOT NULL DEFAULT 0;
UPDATE assets SET
  resource_rows = (SELECT COUNT(*) FROM resources r WHERE r.asset_id = assets.local_id),
  unverified_rows = (SELECT COUNT(*) FROM resources r WHERE r.asset_id = assets.local_id AND r.state != 'verified'),
  pending_rows = (SELECT COUNT(*) FROM resources r WHERE r.asset_id = assets.local_id
                  AND r.state IN ('pending', 'copying'));
CREATE TABLE catalog_counts (name TEXT PRIMARY KEY NOT NULL, n INTEGER NOT NULL) WITHOUT ROWID;
INSERT INTO catalog_counts (name, n) VALUES
  ('pending', (SELECT COALESCE(SUM(pending_rows), 0) FROM assets WHERE deleted_in_photos_at IS NULL)),
  ('failed', (SELECT COUNT(*) FROM resources WHERE state = 'failed')),
  ('bytes_verified', (SELECT COALESCE(SUM(bytes), 0) FROM resources WHERE state = 'verified'));
INSERT INTO catalog_counts (name, n)
  SELECT 'verified:' || kind, COUNT(*) FROM assets
  WHERE deleted_in_photos_at IS NULL AND resource_rows > 0 AND unverified_rows = 0 GROUP BY kind;

CREATE TRIGGER resources_counted_insert AFTER INSERT ON resources BEGIN
  UPDATE assets SET resource_rows = resource_rows + 1, unverified_rows = unverified_rows + (NEW.state != 'verified'),
    pending_rows = pending_rows + (NEW.state IN ('pending', 'copying')) WHERE local_id = NEW.asset_id;
  UPDATE catalog_counts SET n = n + 1 WHERE name = 'failed' AND NEW.state = 'failed';
  UPDATE catalog_counts SET n = n + NEW.bytes WHERE name = 'bytes_verified' AND NEW.state = 'verified' AND NEW.bytes;
END;
CREATE TRIGGER resources_counted_delete AFTER DELETE ON resources BEGIN
  UPDATE assets SET resource_rows = resource_rows - 1, unverified_rows = unverified_rows - (OLD.state != 'verified'),
    pending_rows = pending_rows - (OLD.state IN ('pending', 'copying')) WHERE local_id = OLD.asset_id;
  UPDATE catalog_counts SET n = n - 1 WHERE name = 'failed' AND OLD.state = 'failed';
  UPDATE catalog_counts SET n = n - OLD.bytes WHERE name = 'bytes_verified' AND OLD.state = 'verified' AND OLD.bytes;
END;
CREATE TRIGGER resources_counted_update AFTER UPDATE OF asset_id, state, bytes ON resources
WHEN OLD.asset_id IS NOT NEW.asset_id OR OLD.state IS NOT NEW.state OR OLD.bytes IS NOT NEW.bytes BEGIN
  UPDATE assets SET resource_rows = resource_rows - 1, unverified_rows = unverified_rows - (OLD.state != 'verified'),
    pending_rows = pending_rows - (OLD.state IN ('pending', 'copying'))
    WHERE local_id = OLD.asset_id AND OLD.asset_id IS NOT NEW.asset_id;
  UPDATE assets SET resource_rows = resource_rows + 1, unverified_rows = unverified_rows + (NEW.state != 'verified'),
    pending_rows = pending_rows + (NEW.state IN ('pending', 'copying'))
    WHERE local_id = NEW.asset_id AND OLD.asset_id IS NOT NEW.asset_id;
  UPDATE assets SET unverified_rows = unverified_rows + (NEW.state != 'verified') - (OLD.state != 'verified'),
    pending_rows = pending_rows + (NEW.state IN ('pending', 'copying')) - (OLD.state IN ('pending', 'copying'))
    WHERE local_id = NEW.asset_id AND OLD.asset_id IS NEW.asset_id AND OLD.state IS NOT NEW.state;
  UPDATE catalog_counts SET n = n + (NEW.state = 'failed') - (OLD.state = 'failed')
    WHERE name = 'failed' AND (NEW.state = 'failed') != (OLD.state = 'failed');
  UPDATE catalog_counts SET n = n + IIF(NEW.state = 'verified', COALESCE(NEW.bytes, 0), 0)
    - IIF(OLD.state = 'verified', COALESCE(OLD.bytes, 0), 0)
    WHERE name = 'bytes_verified' AND (NEW.state = 'verified' OR OLD.state = 'verified');
END;

CREATE TRIGGER assets_counted_delete AFTER DELETE ON assets BEGIN
  UPDATE catalog_counts SET n = n - OLD.pending_rows
    WHERE name = 'pending' AND OLD.deleted_in_photos_at IS NULL AND OLD.pending_rows;
  UPDATE catalog_counts SET n = n - 1 WHERE name = 'verified:' || OLD.kind
    AND OLD.deleted_in_photos_at IS NULL AND OLD.resource_rows > 0 AND OLD.unverified_rows = 0;
END;
CREATE TRIGGER assets_counted_update
AFTER UPDATE OF kind, deleted_in_photos_at, resource_rows, unverified_rows, pending_rows ON assets
WHEN OLD.kind IS NOT NEW.kind OR (OLD.deleted_in_photos_at IS NULL) != (NEW.deleted_in_photos_at IS NULL)
  OR OLD.resource_rows != NEW.resource_rows OR OLD.unverified_rows != NEW.unverified_rows
  OR OLD.pending_rows != NEW.pending_rows BEGIN
  UPDATE catalog_counts SET n = n + IIF(NEW.deleted_in_photos_at IS NULL, NEW.pending_rows, 0)
    - IIF(OLD.deleted_in_photos_at IS NULL, OLD.pending_rows, 0)
    WHERE name = 'pending' AND IIF(NEW.deleted_in_photos_at IS NULL, NEW.pending_rows, 0)
    != IIF(OLD.deleted_in_photos_at IS NULL, OLD.pending_rows, 0);
  UPDATE catalog_counts SET n = n - 1 WHERE name = 'verified:' || OLD.kind
    AND OLD.deleted_in_photos_at IS NULL AND OLD.resource_rows > 0 AND OLD.unverified_rows = 0;
  INSERT INTO catalog_counts (name, n) SELECT 'verified:' || NEW.kind, 1
    WHERE NEW.deleted_in_photos_at IS NULL AND NEW.resource_rows > 0 AND NEW.unverified_rows = 0
    ON CONFLICT (name) DO UPDATE SET n = n + 1;
END;
)sql";

constexpr std::array<Migration, 4> kMigrations{{
    {"v1-initial", kInitialSchema},
    {"v2-resource-ownership", "ALTER TABLE resources ADD COLUMN owned BOOLEAN NOT NULL DEFAULT 0;"},
    // Indexes that speed up lookups without changing any result: covering
    // indexes for the counts of totals (present assets by kind, the states of
    // an asset's rows, presence by identifier), paths for isOwned, creation
    // order for the pending queue and metadata, the newest run.
    {"v3-lookup-indexes",
     "CREATE INDEX IF NOT EXISTS assets_on_presence ON assets(deleted_in_photos_at, kind, local_id);"
     "CREATE INDEX IF NOT EXISTS assets_on_id_presence ON assets(local_id, deleted_in_photos_at, created_at);"
     "CREATE INDEX IF NOT EXISTS assets_on_created ON assets(created_at, local_id);"
     "CREATE INDEX IF NOT EXISTS resources_on_asset_state ON resources(asset_id, state);"
     "CREATE INDEX IF NOT EXISTS resources_on_state_asset ON resources(state, asset_id, bytes);"
     "CREATE INDEX IF NOT EXISTS resources_on_path ON resources(relative_path, owned);"
     "CREATE INDEX IF NOT EXISTS runs_on_started ON runs(started_at, id);"
     "CREATE INDEX IF NOT EXISTS runs_on_trigger_started ON runs(trigger, started_at, id);"},
    {"v4-maintained-counts", kMaintainedCounts},
}};

constexpr std::string_view kMigrationsTable =
    "CREATE TABLE IF NOT EXISTS catalog_migrations (identifier TEXT PRIMARY KEY NOT NULL, applied_at DOUBLE NOT NULL)";

void setUp(SqliteDatabase& db, std::chrono::milliseconds busyTimeout) {
  db.setBusyTimeout(busyTimeout);
  db.execute("PRAGMA foreign_keys = ON");
  try {
    db.execute("PRAGMA journal_mode = WAL");
    // With a write-ahead log, syncing at checkpoints keeps the file
    // consistent after a crash or power loss; only the last commits may be
    // lost, and those are redone by the next run. Syncing every commit would
    // cost one fsync per recorded asset.
    db.execute("PRAGMA synchronous = NORMAL");
  } catch (const SqliteError&) {
    // Keeping the rollback journal is fine; every other step must work.
  }
  if (db.isReadOnly()) {
    throw SqliteError(8 /* SQLITE_READONLY */, 8, "the catalog database cannot be written (read-only file or folder)");
  }
  // Each migration commits together with its record, so a failure leaves the
  // database at the previous step.
  db.transaction([&] { db.execute(kMigrationsTable); });
  for (const auto& migration : kMigrations) {
    db.transaction([&] {
      auto& seen = db.cached("SELECT 1 FROM catalog_migrations WHERE identifier = ?");
      seen.bindAll(std::string_view(migration.identifier));
      const bool applied = seen.step();
      seen.done();
      if (applied) return;
      db.execute(migration.sql);
      auto& record = db.cached("INSERT INTO catalog_migrations (identifier, applied_at) VALUES (?, ?)");
      record.bindAll(std::string_view(migration.identifier),
                     toUnixSeconds(std::chrono::time_point_cast<std::chrono::nanoseconds>(
                         std::chrono::system_clock::now())));
      record.run();
    });
  }
  // Copies interrupted by a crash or a quit are retried.
  db.transaction([&] { db.execute("UPDATE resources SET state = 'pending' WHERE state = 'copying'"); });
}

std::string encodeStrings(const std::vector<std::string>& list) { return nlohmann::json(list).dump(); }

std::vector<std::string> decodeStrings(const std::string& text, const std::string& what) {
  auto document = nlohmann::json::parse(text, nullptr, false);
  if (!document.is_array()) throw CatalogError::corrupt(what);
  std::vector<std::string> out;
  out.reserve(document.size());
  for (const auto& item : document) {
    if (!item.is_string()) throw CatalogError::corrupt(what);
    out.push_back(item.get<std::string>());
  }
  return out;
}

std::optional<Date> optionalDate(const SqliteStatement& s, int col) {
  auto v = s.optionalReal(col);
  if (!v) return std::nullopt;
  return fromUnixSeconds(*v);
}

// Column positions of a result, looked up once per statement run.
struct AssetColumns {
  int localID, kind, createdAt, modifiedAt, originalFilename, isFavorite, isHidden, lat, lon, albums, caption, title,
      keywords, metaFetchedAt, duration, width, height, burst;
  explicit AssetColumns(const SqliteStatement& s)
      : localID(s.columnIndex("local_id")),
        kind(s.columnIndex("kind")),
        createdAt(s.columnIndex("created_at")),
        modifiedAt(s.columnIndex("modified_at")),
        originalFilename(s.columnIndex("original_filename")),
        isFavorite(s.columnIndex("is_favorite")),
        isHidden(s.columnIndex("is_hidden")),
        lat(s.columnIndex("lat")),
        lon(s.columnIndex("lon")),
        albums(s.columnIndex("albums_json")),
        caption(s.columnIndex("caption")),
        title(s.columnIndex("title")),
        keywords(s.columnIndex("keywords_json")),
        metaFetchedAt(s.columnIndex("meta_fetched_at")),
        duration(s.columnIndex("duration_seconds")),
        width(s.columnIndex("pixel_width")),
        height(s.columnIndex("pixel_height")),
        burst(s.columnIndex("burst_id")) {}
};

AssetRecord readAsset(const SqliteStatement& s, const AssetColumns& c) {
  AssetRecord a;
  a.id = AssetID{s.text(c.localID)};
  const std::string kind = s.text(c.kind);
  auto k = catalogKindFromString(kind);
  if (!k) throw CatalogError::corrupt("asset kind " + kind);
  a.kind = *k;
  a.createdAt = fromUnixSeconds(s.real(c.createdAt));
  a.modifiedAt = fromUnixSeconds(s.real(c.modifiedAt));
  a.originalFilename = s.text(c.originalFilename);
  a.isFavorite = s.int64(c.isFavorite) != 0;
  a.isHidden = s.int64(c.isHidden) != 0;
  if (!s.isNull(c.lat) && !s.isNull(c.lon)) a.location = Coordinate{s.real(c.lat), s.real(c.lon)};
  if (auto albums = s.optionalText(c.albums)) a.albums = decodeStrings(*albums, "albums_json of " + a.id.raw);
  a.durationSeconds = s.optionalReal(c.duration);
  a.pixelWidth = s.int64(c.width);
  a.pixelHeight = s.int64(c.height);
  a.burstID = s.optionalText(c.burst);
  return a;
}

struct ResourceColumns {
  int id, assetID, type, relativePath, bytes, sha256, state, attempts, lastError, verifiedAt, nextAttemptAt;
  explicit ResourceColumns(const SqliteStatement& s)
      : id(s.columnIndex("id")),
        assetID(s.columnIndex("asset_id")),
        type(s.columnIndex("type")),
        relativePath(s.columnIndex("relative_path")),
        bytes(s.columnIndex("bytes")),
        sha256(s.columnIndex("sha256")),
        state(s.columnIndex("state")),
        attempts(s.columnIndex("attempts")),
        lastError(s.columnIndex("last_error")),
        verifiedAt(s.columnIndex("verified_at")),
        nextAttemptAt(s.columnIndex("next_attempt_at")) {}
};

ResourceType readType(const std::string& stored) {
  auto t = catalogTypeFromString(stored);
  if (!t) throw CatalogError::corrupt("resource type " + stored);
  return *t;
}

ResourceState readState(const std::string& stored) {
  auto st = fromStoredString<ResourceState>(stored);
  if (!st) throw CatalogError::corrupt("resource state " + stored);
  return *st;
}

ResourceRow readResource(const SqliteStatement& s, const ResourceColumns& c) {
  ResourceRow r;
  r.id = s.int64(c.id);
  r.assetID = AssetID{s.text(c.assetID)};
  r.type = readType(s.text(c.type));
  r.relativePath = s.text(c.relativePath);
  r.bytes = s.optionalInt64(c.bytes);
  r.sha256 = s.optionalText(c.sha256);
  r.state = readState(s.text(c.state));
  r.attempts = s.int64(c.attempts);
  r.lastError = s.optionalText(c.lastError);
  r.verifiedAt = optionalDate(s, c.verifiedAt);
  r.nextAttemptAt = optionalDate(s, c.nextAttemptAt);
  return r;
}

std::vector<ResourceRow> readResources(SqliteStatement& s) {
  std::vector<ResourceRow> rows;
  std::optional<ResourceColumns> columns;
  while (s.step()) {
    if (!columns) columns.emplace(s);
    rows.push_back(readResource(s, *columns));
  }
  return rows;
}

// Types whose content changes when the user edits: recording them again
// starts their copy over.
bool isEditedType(ResourceType t) {
  return t == ResourceType::edited || t == ResourceType::editedLiveVideo || t == ResourceType::adjustmentData;
}

std::string lastPathComponent(const std::string& path) {
  const auto slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::optional<RunSummary> latestRun(SqliteDatabase& db, const std::string& sql) {
  auto& s = db.cached(sql);
  if (!s.step()) return std::nullopt;
  std::string text = s.text(0);
  s.done();
  return decodeRunSummaryText(text);
}

std::int64_t count(SqliteDatabase& db, const std::string& sql) {
  auto& s = db.cached(sql);
  std::int64_t n = 0;
  if (s.step() && !s.isNull(0)) n = s.int64(0);
  s.done();
  return n;
}

constexpr std::string_view kVerifiedKindPrefix = "verified:";

}  // namespace

Seconds catalogBackoff(std::int64_t attempts) {
  if (attempts <= 0) return Seconds(0);
  switch (attempts) {
    case 1:
      return Seconds(300);
    case 2:
      return Seconds(1'800);
    case 3:
      return Seconds(21'600);
    default:
      return Seconds(86'400);
  }
}

std::string_view catalogKindString(AssetKind kind) {
  for (const auto& [k, s] : kKindStrings) {
    if (k == kind) return s;
  }
  return {};
}

std::optional<AssetKind> catalogKindFromString(std::string_view text) {
  for (const auto& [k, s] : kKindStrings) {
    if (s == text) return k;
  }
  return std::nullopt;
}

std::string_view catalogTypeString(ResourceType type) {
  for (const auto& [t, s] : kTypeStrings) {
    if (t == type) return s;
  }
  return {};
}

std::optional<ResourceType> catalogTypeFromString(std::string_view text) {
  for (const auto& [t, s] : kTypeStrings) {
    if (s == text) return t;
  }
  return std::nullopt;
}

// Everything below runs on the catalog's strand only.
struct Catalog::Impl {
  SqliteDatabase db;
  std::optional<ArchiveLayout> layout;  // layoutState

  explicit Impl(SqliteDatabase d) : db(std::move(d)) {}

  std::optional<AssetRecord> assetRow(const AssetID& id) {
    auto& s = db.cached("SELECT * FROM assets WHERE local_id = ?");
    s.bindAll(id.raw);
    if (!s.step()) return std::nullopt;
    AssetRecord a = readAsset(s, AssetColumns(s));
    s.done();
    return a;
  }

  ArchiveLayout freshLayout() {
    std::vector<std::string> paths;
    auto& s = db.cached("SELECT relative_path FROM resources");
    while (s.step()) paths.push_back(s.text(0));
    return ArchiveLayout::withTakenPaths(paths);
  }

  UpsertDelta upsertAssets(const std::vector<AssetRecord>& records) {
    return db.transaction([&] {
      UpsertDelta delta;
      auto& select = db.cached("SELECT modified_at FROM assets WHERE local_id = ?");
      auto& insert = db.cached(
          "INSERT INTO assets (kind, created_at, modified_at, original_filename, is_favorite, is_hidden, lat, lon, "
          "albums_json, duration_seconds, pixel_width, pixel_height, burst_id, local_id) VALUES (?, ?, ?, ?, ?, ?, ?, "
          "?, ?, ?, ?, ?, ?, ?)");
      // A row that already holds every value is left alone: the result is
      // the same, and a re-sync of an unchanged library writes nothing.
      auto& update = db.cached(
          "UPDATE assets SET kind = ?1, created_at = ?2, modified_at = ?3, original_filename = ?4, is_favorite = ?5, "
          "is_hidden = ?6, lat = ?7, lon = ?8, albums_json = ?9, duration_seconds = ?10, pixel_width = ?11, "
          "pixel_height = ?12, burst_id = ?13, deleted_in_photos_at = NULL WHERE local_id = ?14 AND (kind IS NOT ?1 "
          "OR created_at IS NOT ?2 OR modified_at IS NOT ?3 OR original_filename IS NOT ?4 OR is_favorite IS NOT ?5 "
          "OR is_hidden IS NOT ?6 OR lat IS NOT ?7 OR lon IS NOT ?8 OR albums_json IS NOT ?9 OR duration_seconds IS "
          "NOT ?10 OR pixel_width IS NOT ?11 OR pixel_height IS NOT ?12 OR burst_id IS NOT ?13 OR "
          "deleted_in_photos_at IS NOT NULL)");
      for (const auto& r : records) {
        select.bindAll(r.id.raw);
        std::optional<double> stored;
        if (select.step()) stored = select.real(0);
        select.done();
        const double modified = toUnixSeconds(r.modifiedAt);
        std::optional<double> lat, lon;
        if (r.location) {
          lat = r.location->latitude;
          lon = r.location->longitude;
        }
        auto& s = stored ? update : insert;
        s.bindAll(catalogKindString(r.kind), toUnixSeconds(r.createdAt), modified, r.originalFilename, r.isFavorite,
                  r.isHidden, lat, lon, encodeStrings(r.albums), r.durationSeconds, r.pixelWidth, r.pixelHeight,
                  r.burstID, r.id.raw);
        s.run();
        if (!stored) {
          delta.added.push_back(r.id);
        } else if (*stored == modified) {
          ++delta.unchanged;
        } else {
          delta.changed.push_back(r.id);
        }
      }
      return delta;
    });
  }

  void markDeleted(const std::unordered_set<AssetID>& ids, Date at) {
    db.transaction([&] {
      auto& s = db.cached("UPDATE assets SET deleted_in_photos_at = COALESCE(deleted_in_photos_at, ?) WHERE local_id = ?");
      for (const auto& id : ids) {
        s.bindAll(toUnixSeconds(at), id.raw);
        s.run();
      }
    });
  }

  void invalidateAsset(const AssetID& id) {
    db.transaction([&] {
      db.cached("UPDATE assets SET modified_at = -1 WHERE local_id = ?").bindAll(id.raw).run();
    });
  }

  std::unordered_set<AssetID> allAssetIDs() {
    return db.readTransaction([&] {
      std::unordered_set<AssetID> ids;
      auto& s = db.cached("SELECT local_id FROM assets");
      while (s.step()) ids.insert(AssetID{s.text(0)});
      return ids;
    });
  }

  std::vector<AssetID> assetsNeedingMetadata(std::int64_t limit) {
    return db.readTransaction([&] {
      std::vector<AssetID> ids;
      auto& s = db.cached(
          "SELECT local_id FROM assets WHERE deleted_in_photos_at IS NULL AND (meta_fetched_at IS NULL OR "
          "meta_fetched_at < modified_at) ORDER BY created_at, local_id LIMIT ?");
      s.bindAll(limit);
      while (s.step()) ids.push_back(AssetID{s.text(0)});
      return ids;
    });
  }

  void storeMetadata(const std::unordered_map<AssetID, PhotosMetadata>& metadata, Date fetchedAt) {
    db.transaction([&] {
      auto& s = db.cached("UPDATE assets SET title = ?, caption = ?, keywords_json = ?, meta_fetched_at = ? WHERE local_id = ?");
      for (const auto& [id, m] : metadata) {
        s.bindAll(m.title, m.caption, encodeStrings(m.keywords), toUnixSeconds(fetchedAt), id.raw);
        s.run();
      }
    });
  }

  std::optional<AssetWithMetadata> assetWithMetadata(const AssetID& id) {
    return db.readTransaction([&]() -> std::optional<AssetWithMetadata> {
      auto& s = db.cached("SELECT * FROM assets WHERE local_id = ?");
      s.bindAll(id.raw);
      if (!s.step()) return std::nullopt;
      AssetWithMetadata result = readAssetWithMetadata(s, AssetColumns(s));
      s.done();
      return result;
    });
  }

  static AssetWithMetadata readAssetWithMetadata(const SqliteStatement& s, const AssetColumns& c) {
    AssetWithMetadata result{readAsset(s, c), std::nullopt};
    if (!s.isNull(c.metaFetchedAt)) {
      PhotosMetadata m;
      m.title = s.optionalText(c.title);
      m.caption = s.optionalText(c.caption);
      if (auto k = s.optionalText(c.keywords)) {
        m.keywords = decodeStrings(*k, "keywords_json of " + result.first.id.raw);
      }
      result.second = std::move(m);
    }
    return result;
  }

  std::vector<VerifiedRowWithSidecarInputs> verifiedRowsWithSidecarInputs(std::int64_t afterID, std::int64_t limit) {
    return db.readTransaction([&] {
      // Walks the rows by id (the primary key) so that every page costs only
      // its own rows; the asset and the stored hash are joined for originals
      // only, the rows the sidecar phase uses.
      auto& s = db.cached(
          "SELECT r.*, a.*, sc.inputs_hash AS stored_inputs_hash FROM resources r LEFT JOIN assets a ON "
          "r.type = 'original' AND a.local_id = r.asset_id LEFT JOIN sidecars sc ON r.type = 'original' AND "
          "sc.asset_id = r.asset_id WHERE r.id > ? AND +r.state = 'verified' ORDER BY r.id LIMIT ?");
      s.bindAll(afterID, limit);
      std::vector<VerifiedRowWithSidecarInputs> rows;
      std::optional<ResourceColumns> resourceColumns;
      std::optional<AssetColumns> assetColumns;
      int storedHash = 0;
      while (s.step()) {
        if (!resourceColumns) {
          resourceColumns.emplace(s);
          assetColumns.emplace(s);
          storedHash = s.columnIndex("stored_inputs_hash");
        }
        // A row that cannot be read fails where the per-row reads would:
        // only once every row before it was handed out.
        try {
          VerifiedRowWithSidecarInputs entry{readResource(s, *resourceColumns), std::nullopt, std::nullopt};
          if (entry.row.type == ResourceType::original) {
            if (!s.isNull(assetColumns->localID)) entry.asset = readAssetWithMetadata(s, *assetColumns);
            entry.sidecarInputsHash = s.optionalText(storedHash);
          }
          rows.push_back(std::move(entry));
        } catch (...) {
          s.done();
          if (rows.empty()) throw;
          return rows;
        }
      }
      s.done();
      return rows;
    });
  }

  void recordResources(const AssetID& id, const std::vector<ResourceDescriptor>& descriptors) {
    // The layout is changed in place; what this call assigned is taken back
    // if the transaction does not commit.
    std::optional<ArchiveLayout> fresh;
    std::vector<LayoutKey> newlyAssigned;
    try {
      db.transaction([&] {
        auto asset = assetRow(id);
        if (!asset) throw CatalogError::unknownAsset(id.raw);

        struct Existing {
          std::int64_t id;
          std::string state;
        };
        std::unordered_map<ResourceType, Existing> existing;
        {
          auto& s = db.cached("SELECT id, type, state FROM resources WHERE asset_id = ?");
          s.bindAll(id.raw);
          while (s.step()) existing.emplace(readType(s.text(1)), Existing{s.int64(0), s.text(2)});
        }

        if (!layout) fresh = freshLayout();
        ArchiveLayout& l = layout ? *layout : *fresh;

        std::unordered_set<ResourceType> seen;
        for (const auto& d : descriptors) {
          if (!seen.insert(d.type).second) continue;
          if (auto it = existing.find(d.type); it != existing.end()) {
            if (isEditedType(d.type)) {
              db.cached(
                    "UPDATE resources SET state = 'pending', attempts = 0, last_error = NULL, sha256 = NULL, "
                    "verified_at = NULL, next_attempt_at = NULL, bytes = ? WHERE id = ?")
                  .bindAll(d.expectedBytes, it->second.id)
                  .run();
            } else {
              db.cached("UPDATE resources SET bytes = COALESCE(?, bytes) WHERE id = ?")
                  .bindAll(d.expectedBytes, it->second.id)
                  .run();
            }
            continue;
          }
          LayoutKey key{asset->id.raw, d.type, d.originalFilename};
          const bool known = l.assigned().contains(key);
          const std::string path = l.assign(*asset, d);
          if (!known) newlyAssigned.push_back(std::move(key));
          db.cached("INSERT INTO resources (asset_id, type, relative_path, bytes, state, attempts) VALUES (?, ?, ?, ?, "
                    "'pending', 0)")
              .bindAll(id.raw, catalogTypeString(d.type), path, d.expectedBytes)
              .run();
        }
        for (const auto& [type, row] : existing) {
          if (!seen.contains(type) && row.state != "verified") {
            db.cached("DELETE FROM resources WHERE id = ?").bindAll(row.id).run();
          }
        }
        db.cached("UPDATE sidecars SET inputs_hash = NULL WHERE asset_id = ?").bindAll(id.raw).run();
      });
    } catch (...) {
      if (layout && !fresh) {
        for (const auto& key : newlyAssigned) layout->unassign(key);
      }
      throw;
    }
    if (fresh) layout = std::move(fresh);
  }

  std::vector<ResourceRow> pendingResources(Date now, std::int64_t limit) {
    return db.readTransaction([&] {
      auto& s = db.cached(
          "SELECT r.* FROM resources r JOIN assets a ON a.local_id = r.asset_id WHERE r.state = 'pending' AND "
          "a.deleted_in_photos_at IS NULL AND (r.next_attempt_at IS NULL OR r.next_attempt_at <= ?) ORDER BY "
          "a.created_at, r.id LIMIT ?");
      s.bindAll(toUnixSeconds(now), limit);
      return readResources(s);
    });
  }

  std::vector<ResourceRow> verifiedResources() {
    return db.readTransaction([&] {
      auto& s = db.cached("SELECT * FROM resources WHERE state = 'verified' ORDER BY id");
      return readResources(s);
    });
  }

  std::optional<ResourceRow> resource(std::int64_t id) {
    return db.readTransaction([&] { return resourceRow(id); });
  }

  std::optional<ResourceRow> resourceRow(std::int64_t id) {
    auto& s = db.cached("SELECT * FROM resources WHERE id = ?");
    s.bindAll(id);
    auto rows = readResources(s);
    if (rows.empty()) return std::nullopt;
    return rows.front();
  }

  std::unordered_set<std::string> allRelativePaths() {
    return db.readTransaction([&] {
      std::unordered_set<std::string> paths;
      auto& s = db.cached("SELECT relative_path FROM resources");
      while (s.step()) paths.insert(s.text(0));
      return paths;
    });
  }

  bool isOwned(const std::string& path) {
    return db.readTransaction([&] {
      auto& s = db.cached("SELECT EXISTS (SELECT 1 FROM resources WHERE relative_path = ? AND owned = 1)");
      s.bindAll(path);
      return s.step() && s.int64(0) != 0;
    });
  }

  void updateState(std::int64_t id, ResourceState state, const std::optional<std::string>& sha256,
                   std::optional<std::int64_t> bytes, Date at, const std::optional<std::string>& error) {
    db.transaction([&] {
      auto& select = db.cached("SELECT attempts FROM resources WHERE id = ?");
      select.bindAll(id);
      if (!select.step()) throw CatalogError::unknownResource(id);
      const std::int64_t attempts = select.int64(0);
      select.done();
      switch (state) {
        case ResourceState::copying:
          db.cached("UPDATE resources SET state = 'copying' WHERE id = ?").bindAll(id).run();
          return;
        case ResourceState::verified:
          db.cached(
                "UPDATE resources SET state = 'verified', sha256 = ?, bytes = COALESCE(?, bytes), verified_at = ?, "
                "last_error = NULL, next_attempt_at = NULL, owned = 1 WHERE id = ?")
              .bindAll(sha256, bytes, toUnixSeconds(at), id)
              .run();
          return;
        case ResourceState::pending:
        case ResourceState::failed:
          if (error) {
            const std::int64_t next = attempts + 1;
            db.cached(
                  "UPDATE resources SET state = ?, sha256 = NULL, verified_at = NULL, bytes = COALESCE(?, bytes), "
                  "attempts = ?, last_error = ?, next_attempt_at = ? WHERE id = ?")
                .bindAll(storedString(state), bytes, next, *error, toUnixSeconds(at) + catalogBackoff(next).count(), id)
                .run();
          } else {
            db.cached(
                  "UPDATE resources SET state = ?, sha256 = NULL, verified_at = NULL, bytes = COALESCE(?, bytes) "
                  "WHERE id = ?")
                .bindAll(storedString(state), bytes, id)
                .run();
          }
          return;
      }
    });
  }

  void requeue(std::int64_t id, const std::string& reason) {
    db.transaction([&] {
      db.cached(
            "UPDATE resources SET state = 'pending', sha256 = NULL, verified_at = NULL, last_error = ?, "
            "next_attempt_at = NULL WHERE id = ?")
          .bindAll(reason, id)
          .run();
      if (db.changes() != 1) throw CatalogError::unknownResource(id);
    });
  }

  std::string relocate(std::int64_t id, const std::string& occupiedPath) {
    // Relocation is rare: work on a copy of the layout and keep it only when
    // the change committed.
    std::optional<ArchiveLayout> working;
    std::string result = db.transaction([&] {
      auto row = resourceRow(id);
      if (!row) throw CatalogError::unknownResource(id);
      if (row->relativePath != occupiedPath) return row->relativePath;
      auto asset = assetRow(row->assetID);
      if (!asset) throw CatalogError::unknownAsset(row->assetID.raw);
      working = layout ? *layout : freshLayout();
      working->markOccupied(occupiedPath);
      ResourceDescriptor d{row->assetID, row->type, lastPathComponent(occupiedPath), "", row->bytes};
      std::string path = working->assign(*asset, d);
      db.cached("UPDATE resources SET relative_path = ?, owned = 0 WHERE id = ?").bindAll(path, id).run();
      return path;
    });
    if (working) layout = std::move(working);
    return result;
  }

  std::optional<std::string> sidecarInputsHash(const AssetID& id) {
    return db.readTransaction([&] {
      auto& s = db.cached("SELECT inputs_hash FROM sidecars WHERE asset_id = ?");
      s.bindAll(id.raw);
      std::optional<std::string> hash;
      if (s.step()) hash = s.optionalText(0);
      return hash;
    });
  }

  void recordSidecar(const AssetID& id, const std::string& path, const std::string& hash, Date at) {
    db.transaction([&] {
      db.cached(
            "INSERT INTO sidecars (asset_id, relative_path, inputs_hash, written_at) VALUES (?, ?, ?, ?) ON "
            "CONFLICT(asset_id) DO UPDATE SET relative_path = excluded.relative_path, inputs_hash = "
            "excluded.inputs_hash, written_at = excluded.written_at")
          .bindAll(id.raw, path, hash, toUnixSeconds(at))
          .run();
    });
  }

  void recordRun(const RunSummary& summary) {
    const std::string json = encodeRunSummaryText(summary);
    db.transaction([&] {
      db.cached(
            "INSERT INTO runs (started_at, ended_at, trigger, assets_seen, resources_verified, resources_failed, "
            "outcome, summary) VALUES (?, ?, ?, ?, ?, ?, ?, ?)")
          .bindAll(toUnixSeconds(summary.startedAt), toUnixSeconds(summary.endedAt), storedString(summary.trigger),
                   summary.assetsSeen, summary.resourcesVerified, summary.resourcesFailed,
                   storedString(summary.outcome), json)
          .run();
    });
  }

  ArchiveTotals totals() {
    return db.readTransaction([&] {
      ArchiveTotals t;
      t.assets = count(db, "SELECT COUNT(*) FROM assets WHERE deleted_in_photos_at IS NULL");
      // The other counts are kept by the catalog's triggers; they give the
      // same numbers as counting the rows (fully verified assets by kind,
      // pending or copying rows of present assets, failed rows and verified
      // bytes of all rows).
      auto& s = db.cached("SELECT name, n FROM catalog_counts");
      while (s.step()) {
        const std::string name = s.text(0);
        const std::int64_t n = s.isNull(1) ? 0 : s.int64(1);
        if (name == "pending") {
          t.resourcesPending = n;
        } else if (name == "failed") {
          t.resourcesFailed = n;
        } else if (name == "bytes_verified") {
          t.bytesVerified = n;
        } else if (name.starts_with(kVerifiedKindPrefix)) {
          if (n == 0) continue;  // a kind without fully verified assets is absent
          const std::string stored = name.substr(kVerifiedKindPrefix.size());
          auto kind = catalogKindFromString(stored);
          if (!kind) throw CatalogError::corrupt("asset kind " + stored);
          t.verifiedByKind[*kind] = n;
          t.assetsFullyVerified += n;
        }
      }
      t.lastRun = latestRun(db, "SELECT summary FROM runs ORDER BY started_at DESC, id DESC LIMIT 1");
      t.lastSyncRun =
          latestRun(db, "SELECT summary FROM runs WHERE trigger != 'verify' ORDER BY started_at DESC, id DESC LIMIT 1");
      t.lastVerifyRun =
          latestRun(db, "SELECT summary FROM runs WHERE trigger = 'verify' ORDER BY started_at DESC, id DESC LIMIT 1");
      return t;
    });
  }
};

Catalog::Catalog(Strand strand, SqliteDatabase db)
    : strand_(std::move(strand)), impl_(std::make_unique<Impl>(std::move(db))) {}

Catalog::~Catalog() = default;

Async<std::shared_ptr<Catalog>> Catalog::open(Executor executor, std::filesystem::path file,
                                              std::chrono::milliseconds busyTimeout) {
  Strand strand = makeStrand(executor);
  co_return co_await onStrand(strand, [strand, file, busyTimeout]() -> Async<std::shared_ptr<Catalog>> {
    if (file.has_parent_path()) std::filesystem::create_directories(file.parent_path());
    auto db = SqliteDatabase::open(file);
    try {
      setUp(db, busyTimeout);
    } catch (const SqliteError& e) {
      throw SqliteError(e.code(), e.extendedCode(), "cannot open the catalog " + file.string() + ": " + e.what());
    }
    co_return std::shared_ptr<Catalog>(new Catalog(strand, std::move(db)));
  });
}

Async<std::shared_ptr<Catalog>> Catalog::openInMemory(Executor executor) {
  Strand strand = makeStrand(executor);
  co_return co_await onStrand(strand, [strand]() -> Async<std::shared_ptr<Catalog>> {
    auto db = SqliteDatabase::openInMemory();
    setUp(db, kCatalogBusyTimeout);
    co_return std::shared_ptr<Catalog>(new Catalog(strand, std::move(db)));
  });
}

// Each operation hops onto the strand and runs there to the end without
// suspending, so no two operations interleave.
#define KV_CATALOG_OP(Type, ...)                                                      \
  auto self = shared_from_this();                                                     \
  co_return co_await onStrand(strand_, [self __VA_OPT__(, ) __VA_ARGS__]() mutable -> Async<Type>

Async<UpsertDelta> Catalog::upsertAssets(std::vector<AssetRecord> records) {
  KV_CATALOG_OP(UpsertDelta, records = std::move(records)) { co_return self->impl_->upsertAssets(records); });
}

Async<void> Catalog::markDeleted(std::unordered_set<AssetID> assets, Date at) {
  KV_CATALOG_OP(void, assets = std::move(assets), at) { self->impl_->markDeleted(assets, at); co_return; });
}

Async<void> Catalog::invalidateAsset(AssetID asset) {
  KV_CATALOG_OP(void, asset = std::move(asset)) { self->impl_->invalidateAsset(asset); co_return; });
}

Async<std::unordered_set<AssetID>> Catalog::allAssetIDs() {
  KV_CATALOG_OP(std::unordered_set<AssetID>) { co_return self->impl_->allAssetIDs(); });
}

Async<std::vector<AssetID>> Catalog::assetsNeedingMetadata(std::int64_t limit) {
  KV_CATALOG_OP(std::vector<AssetID>, limit) { co_return self->impl_->assetsNeedingMetadata(limit); });
}

Async<void> Catalog::storeMetadata(std::unordered_map<AssetID, PhotosMetadata> metadata, Date fetchedAt) {
  KV_CATALOG_OP(void, metadata = std::move(metadata), fetchedAt) {
    self->impl_->storeMetadata(metadata, fetchedAt);
    co_return;
  });
}

Async<std::optional<AssetWithMetadata>> Catalog::assetWithMetadata(AssetID asset) {
  KV_CATALOG_OP(std::optional<AssetWithMetadata>, asset = std::move(asset)) {
    co_return self->impl_->assetWithMetadata(asset);
  });
}

Async<void> Catalog::recordResources(AssetID asset, std::vector<ResourceDescriptor> resources) {
  KV_CATALOG_OP(void, asset = std::move(asset), resources = std::move(resources)) {
    self->impl_->recordResources(asset, resources);
    co_return;
  });
}

Async<std::vector<ResourceRow>> Catalog::pendingResources(Date now, std::int64_t limit) {
  KV_CATALOG_OP(std::vector<ResourceRow>, now, limit) { co_return self->impl_->pendingResources(now, limit); });
}

Async<std::vector<ResourceRow>> Catalog::verifiedResources() {
  KV_CATALOG_OP(std::vector<ResourceRow>) { co_return self->impl_->verifiedResources(); });
}

Async<std::optional<ResourceRow>> Catalog::resource(std::int64_t id) {
  KV_CATALOG_OP(std::optional<ResourceRow>, id) { co_return self->impl_->resource(id); });
}

Async<std::unordered_set<std::string>> Catalog::allRelativePaths() {
  KV_CATALOG_OP(std::unordered_set<std::string>) { co_return self->impl_->allRelativePaths(); });
}

Async<bool> Catalog::isOwned(std::string relativePath) {
  KV_CATALOG_OP(bool, relativePath = std::move(relativePath)) { co_return self->impl_->isOwned(relativePath); });
}

Async<void> Catalog::updateState(std::int64_t id, ResourceState state, std::optional<std::string> sha256,
                                 std::optional<std::int64_t> bytes, Date at, std::optional<std::string> error) {
  KV_CATALOG_OP(void, id, state, sha256 = std::move(sha256), bytes, at, error = std::move(error)) {
    self->impl_->updateState(id, state, sha256, bytes, at, error);
    co_return;
  });
}

Async<void> Catalog::requeue(std::int64_t id, std::string reason) {
  KV_CATALOG_OP(void, id, reason = std::move(reason)) {
    self->impl_->requeue(id, reason);
    co_return;
  });
}

Async<std::string> Catalog::relocate(std::int64_t id, std::string occupiedPath) {
  KV_CATALOG_OP(std::string, id, occupiedPath = std::move(occupiedPath)) {
    co_return self->impl_->relocate(id, occupiedPath);
  });
}

Async<std::optional<std::string>> Catalog::sidecarInputsHash(AssetID asset) {
  KV_CATALOG_OP(std::optional<std::string>, asset = std::move(asset)) {
    co_return self->impl_->sidecarInputsHash(asset);
  });
}

Async<void> Catalog::recordSidecar(AssetID asset, std::string relativePath, std::string inputsHash, Date at) {
  KV_CATALOG_OP(void, asset = std::move(asset), relativePath = std::move(relativePath),
                inputsHash = std::move(inputsHash), at) {
    self->impl_->recordSidecar(asset, relativePath, inputsHash, at);
    co_return;
  });
}

Async<std::vector<VerifiedRowWithSidecarInputs>> Catalog::verifiedRowsWithSidecarInputs(std::int64_t afterID,
                                                                                         std::int64_t limit) {
  KV_CATALOG_OP(std::vector<VerifiedRowWithSidecarInputs>, afterID, limit) {
    co_return self->impl_->verifiedRowsWithSidecarInputs(afterID, limit);
  });
}

Async<void> Catalog::recordRun(RunSummary summary) {
  KV_CATALOG_OP(void, summary) {
    self->impl_->recordRun(summary);
    co_return;
  });
}

Async<ArchiveTotals> Catalog::totals() {
  KV_CATALOG_OP(ArchiveTotals) { co_return self->impl_->totals(); });
}

Async<void> Catalog::prepareLayout() {
  KV_CATALOG_OP(void) {
    self->impl_->layout = self->impl_->db.readTransaction([&] { return self->impl_->freshLayout(); });
    co_return;
  });
}

Async<std::optional<ArchiveLayout>> Catalog::layoutState() {
  KV_CATALOG_OP(std::optional<ArchiveLayout>) { co_return self->impl_->layout; });
}

#undef KV_CATALOG_OP

}  // namespace kv
