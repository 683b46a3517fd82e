// The catalog on a real file: reopening, crashes, injected failures, files
// that are not catalogs, read-only and locked files, corrupt stored values.
#include <gtest/gtest.h>

#include <sqlite3.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>

#include "core/DecodingError.h"
#include "tests/archive/CatalogTestSupport.h"

namespace kv {
namespace {

using test::makeAsset;

// Runs `body` in a child process and returns its exit status.
int inChildProcess(const std::function<int()>& body) {
  const pid_t pid = fork();
  if (pid == 0) {
    int code = 99;
    try {
      code = body();
    } catch (...) {
      code = 98;
    }
    _exit(code);
  }
  int status = 0;
  waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::string fileContents(const std::filesystem::path& p) {
  std::ifstream in(p, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

class CatalogFileTest : public test::CatalogTestBase {
 protected:
  std::filesystem::path file() { return tempFolder() / "Kelvane" / "nested" / "catalog.sqlite"; }

  // A second connection for what a test must do behind the catalog's back.
  SqliteDatabase side() {
    auto db = SqliteDatabase::open(file());
    db.setBusyTimeout(std::chrono::seconds(5));
    return db;
  }

  std::int64_t seedOneResource() {
    auto a = makeAsset("A", march2021(), "IMG_1.HEIC");
    upsert({a});
    record(a.id, {desc(a, ResourceType::original, "IMG_1.HEIC", 10)});
    return *pending(fromUnixSeconds(1e12))[0].id;
  }

  template <class Error = CatalogError, class F>
  Error expectThrow(F op) {
    try {
      op();
    } catch (const Error& e) {
      return e;
    }
    ADD_FAILURE() << "no error thrown";
    throw std::logic_error("no error");
  }
};

TEST_F(CatalogFileTest, OpenCreatesTheFolderAndDataSurvivesReopening) {
  catalog = openFile(file());
  EXPECT_TRUE(std::filesystem::exists(file()));
  const auto id = seedOneResource();
  catalog.reset();
  catalog = openFile(file());
  auto r = row(id);
  ASSERT_TRUE(r);
  EXPECT_EQ(r->relativePath, "2021/03/IMG_1.HEIC");
  // The new catalog starts without layout memory, but its fresh layout knows
  // the stored names.
  EXPECT_FALSE(run([&]() -> Async<std::optional<ArchiveLayout>> { co_return co_await catalog->layoutState(); }));
  auto b = makeAsset("B", march2021(), "img_1.heic");
  upsert({b});
  record(b.id, {desc(b, ResourceType::original, "img_1.heic")});
  EXPECT_EQ(rowsOf(b.id).at(0).relativePath, "2021/03/img_1-" + layoutDisambiguator(b.id) + ".heic");
}

TEST_F(CatalogFileTest, MigrationsAreRecordedOnceAndJournalIsWal) {
  catalog = openFile(file());
  catalog.reset();
  catalog = openFile(file());
  auto db = side();
  auto s = db.prepare("SELECT identifier FROM catalog_migrations ORDER BY rowid");
  std::vector<std::string> ids;
  while (s.step()) ids.push_back(s.text(0));
  ASSERT_GE(ids.size(), 2u);
  EXPECT_EQ(ids[0], "v1-initial");
  EXPECT_EQ(ids[1], "v2-resource-ownership");
  auto j = db.prepare("PRAGMA journal_mode");
  ASSERT_TRUE(j.step());
  EXPECT_EQ(j.text(0), "wal");
  auto owned = db.prepare("SELECT owned FROM resources");
  EXPECT_FALSE(owned.step());  // the column exists
}

TEST_F(CatalogFileTest, CopyingRowsAreRetriedAfterACrash) {
  catalog = openFile(file());
  const auto id = seedOneResource();
  catalog.reset();
  // A process that takes the row for copying and dies without closing.
  const int status = inChildProcess([&] {
    test::TestLoop childLoop;
    auto c = childLoop.run([&]() -> Async<std::shared_ptr<Catalog>> { co_return co_await Catalog::open(childLoop.executor(), file()); });
    childLoop.run([&]() -> Async<void> {
      co_await c->updateState(id, ResourceState::copying, std::nullopt, std::nullopt, fromUnixSeconds(1), std::nullopt);
    });
    _exit(0);
    return 1;
  });
  ASSERT_EQ(status, 0);
  {
    auto db = side();
    auto s = db.prepare("SELECT state FROM resources WHERE id = ?");
    s.bindAll(id);
    ASSERT_TRUE(s.step());
    EXPECT_EQ(s.text(0), "copying");
  }
  catalog = openFile(file());
  EXPECT_EQ(row(id)->state, ResourceState::pending);
}

TEST_F(CatalogFileTest, AFailingTransactionLeavesNoPartialChangeAndKeepsTheLayout) {
  catalog = openFile(file());
  auto a = makeAsset("A", march2021(), "IMG_1.HEIC");
  auto b = makeAsset("B", march2021(), "IMG_2.HEIC");
  upsert({a, b});
  record(a.id, {desc(a, ResourceType::original, "IMG_1.HEIC")});
  auto before = run([&]() -> Async<std::optional<ArchiveLayout>> { co_return co_await catalog->layoutState(); });
  ASSERT_TRUE(before);

  side().execute(
      "CREATE TRIGGER fail_edited BEFORE INSERT ON resources WHEN NEW.type = 'edited' "
      "BEGIN SELECT RAISE(ABORT, 'injected failure'); END;");
  auto e = expectThrow<SqliteError>(
      [&] { record(b.id, {desc(b, ResourceType::original, "IMG_2.HEIC"), desc(b, ResourceType::edited, "E.JPG")}); });
  EXPECT_NE(std::string(e.what()).find("injected failure"), std::string::npos);
  EXPECT_TRUE(rowsOf(b.id).empty());  // the original inserted first was rolled back
  auto after = run([&]() -> Async<std::optional<ArchiveLayout>> { co_return co_await catalog->layoutState(); });
  ASSERT_TRUE(after);
  EXPECT_EQ(after->taken(), before->taken());
  EXPECT_EQ(after->assigned(), before->assigned());

  // An upsert that fails on its second record stores neither.
  side().execute(
      "CREATE TRIGGER fail_asset BEFORE INSERT ON assets WHEN NEW.local_id = 'D' "
      "BEGIN SELECT RAISE(ABORT, 'injected failure'); END;");
  expectThrow<SqliteError>([&] {
    upsert({makeAsset("C", march2021(), "C.JPG"), makeAsset("D", march2021(), "D.JPG")});
  });
  auto ids = run([&]() -> Async<std::unordered_set<AssetID>> { co_return co_await catalog->allAssetIDs(); });
  EXPECT_EQ(ids.size(), 2u);

  // With the failure gone, the same request takes the same names as if
  // nothing had happened.
  side().execute("DROP TRIGGER fail_edited");
  record(b.id, {desc(b, ResourceType::original, "IMG_2.HEIC"), desc(b, ResourceType::edited, "E.JPG")});
  EXPECT_EQ(rowsOf(b.id).size(), 2u);
}

TEST_F(CatalogFileTest, AFileThatIsNotSqliteFailsOpenAndIsLeftAlone) {
  std::filesystem::create_directories(file().parent_path());
  const std::string junk(4096, 'x');
  std::ofstream(file(), std::ios::binary) << junk;
  auto e = expectThrow<SqliteError>([&] { openFile(file()); });
  EXPECT_NE(std::string(e.what()).find("not a database"), std::string::npos) << e.what();
  EXPECT_NE(std::string(e.what()).find(file().string()), std::string::npos) << e.what();
  EXPECT_EQ(fileContents(file()), junk);
}

TEST_F(CatalogFileTest, AReadOnlyCatalogFailsOpenWithoutChangingIt) {
  catalog = openFile(file());
  const auto id = seedOneResource();
  updateState(id, ResourceState::copying);
  catalog.reset();
  {
    // Back to a rollback journal so that reading needs no -shm file.
    auto db = side();
    db.execute("PRAGMA journal_mode = DELETE");
  }
  const auto before = fileContents(file());
  std::filesystem::permissions(file(), std::filesystem::perms::owner_read | std::filesystem::perms::group_read |
                                           std::filesystem::perms::others_read);
  std::filesystem::permissions(tempFolder(), std::filesystem::perms::all);
  for (auto p = file().parent_path(); p != tempFolder(); p = p.parent_path()) {
    std::filesystem::permissions(p, std::filesystem::perms::owner_all | std::filesystem::perms::group_read |
                                        std::filesystem::perms::group_exec | std::filesystem::perms::others_read |
                                        std::filesystem::perms::others_exec);
  }
  // Root writes read-only files anyway, so the open runs as an ordinary user.
  const int status = inChildProcess([&] {
    if (geteuid() == 0 && setuid(65534) != 0) return 3;
    test::TestLoop childLoop;
    try {
      childLoop.run([&]() -> Async<std::shared_ptr<Catalog>> { co_return co_await Catalog::open(childLoop.executor(), file()); });
      return 1;  // opened: wrong
    } catch (const SqliteError& e) {
      return std::string(e.what()).find("read") != std::string::npos ? 0 : 2;
    }
  });
  EXPECT_EQ(status, 0);
  EXPECT_EQ(fileContents(file()), before);
}

TEST_F(CatalogFileTest, ALockedCatalogFailsOpenWithBusy) {
  catalog = openFile(file());
  catalog.reset();
  int toChild[2], toParent[2];
  ASSERT_EQ(pipe(toChild), 0);
  ASSERT_EQ(pipe(toParent), 0);
  const pid_t pid = fork();
  if (pid == 0) {
    auto db = SqliteDatabase::open(file());
    db.execute("BEGIN EXCLUSIVE");
    char c = 'L';
    (void)!write(toParent[1], &c, 1);
    (void)!read(toChild[0], &c, 1);
    _exit(0);
  }
  char c = 0;
  ASSERT_EQ(read(toParent[0], &c, 1), 1);
  auto e = expectThrow<SqliteError>([&] { openFile(file(), std::chrono::milliseconds(100)); });
  EXPECT_EQ(e.code(), SQLITE_BUSY);
  EXPECT_NE(std::string(e.what()).find("locked"), std::string::npos) << e.what();
  (void)!write(toChild[1], &c, 1);
  int status = 0;
  waitpid(pid, &status, 0);
  for (int fd : {toChild[0], toChild[1], toParent[0], toParent[1]}) close(fd);
  // Once the other process is gone the catalog opens.
  catalog = openFile(file());
  EXPECT_EQ(totals(), ArchiveTotals{});
}

TEST_F(CatalogFileTest, CorruptStoredValuesFailTheRead) {
  catalog = openFile(file());
  const auto id = seedOneResource();
  struct Case {
    const char* name;
    const char* sql;
    std::string text;
    std::function<void()> read;
  };
  auto readRow = [&] { row(id); };
  auto readAsset = [&] {
    run([&]() -> Async<std::optional<AssetWithMetadata>> { co_return co_await catalog->assetWithMetadata(AssetID{"A"}); });
  };
  const std::vector<Case> cases = {
      {"type", "UPDATE resources SET type = 'thumbnail'", "resource type thumbnail", readRow},
      {"state", "UPDATE resources SET state = 'lost'", "resource state lost", readRow},
      {"kind", "UPDATE assets SET kind = 'gif'", "asset kind gif", readAsset},
      {"albums", "UPDATE assets SET albums_json = '{\"a\":1}'", "albums_json of A", readAsset},
      {"keywords", "UPDATE assets SET keywords_json = '[1]', meta_fetched_at = 1", "keywords_json of A", readAsset},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    auto db = side();
    db.execute("SAVEPOINT s");  // undone below
    db.execute(c.sql);
    db.execute("RELEASE s");
    auto e = expectThrow([&] { c.read(); });
    EXPECT_EQ(e.kind(), CatalogError::Case::corrupt);
    EXPECT_EQ(e.text(), c.text);
    db.execute(
        "UPDATE resources SET type = 'original', state = 'pending'; UPDATE assets SET kind = 'photo', albums_json = "
        "'[]', keywords_json = NULL, meta_fetched_at = NULL");
  }
  // A fully verified asset of an unknown kind fails totals.
  updateState(id, ResourceState::verified, "ab", 1);
  side().execute("UPDATE assets SET kind = 'gif'");
  auto e = expectThrow([&] { totals(); });
  EXPECT_EQ(e.text(), "asset kind gif");
}

// The sidecar phase must reach every row before a corrupt one: the page ends
// there, and the next page, which starts with it, fails with its error.
TEST_F(CatalogFileTest, AVerifiedRowThatCannotBeReadEndsThePageBeforeIt) {
  catalog = openFile(file());
  std::vector<AssetRecord> assets;
  for (const char* name : {"A", "B", "C"}) assets.push_back(makeAsset(name, march2021(), std::string(name) + ".JPG"));
  upsert(assets);
  for (const auto& a : assets) record(a.id, {desc(a, ResourceType::original, a.originalFilename)});
  for (const auto& r : pending(fromUnixSeconds(1e12))) updateState(*r.id, ResourceState::verified, "d", 1);
  auto page = [&](std::int64_t after) {
    return run([&]() -> Async<std::vector<VerifiedRowWithSidecarInputs>> {
      co_return co_await catalog->verifiedRowsWithSidecarInputs(after, 10);
    });
  };
  const auto all = page(0);
  ASSERT_EQ(all.size(), 3u);

  side().execute("UPDATE assets SET albums_json = '{\"a\":1}' WHERE local_id = 'B'");
  const auto first = page(0);
  ASSERT_EQ(first.size(), 1u);
  EXPECT_EQ(first[0].row.assetID, AssetID{"A"});
  auto e = expectThrow([&] { page(*first[0].row.id); });
  EXPECT_EQ(e.text(), "albums_json of B");

  side().execute("UPDATE resources SET type = 'thumbnail' WHERE asset_id = 'A'");
  e = expectThrow([&] { page(0); });
  EXPECT_EQ(e.text(), "resource type thumbnail");
}

TEST_F(CatalogFileTest, ARunSummaryThatIsNotJsonFailsTotals) {
  catalog = openFile(file());
  run([&]() -> Async<void> { co_await catalog->recordRun(RunSummary{}); });
  EXPECT_TRUE(totals().lastRun);
  side().execute("UPDATE runs SET summary = 'not json'");
  expectThrow<DecodingError>([&] { totals(); });
}

}  // namespace
}  // namespace kv
