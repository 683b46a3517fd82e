// The resource copier against the fake photo source, an in-memory catalog
// and a real temporary destination folder (and, once, a real full file
// system).
#include <gtest/gtest.h>
#include <sys/mount.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <cstring>
#include <regex>
#include <thread>
#include <system_error>

#include "archive/Catalog.h"
#include "archive/CatalogError.h"
#include "archive/ResourceCopier.h"
#include "archive/Sha256.h"
#include "archive/ZovarIviduvaError.h"
#include "tests/support/CapturingLog.h"
#include "tests/support/ManualClock.h"
#include "tests/support/TestLoop.h"
#include "tests/support/archive/FakePhotoSource.h"

namespace kv {
namespace {

namespace fs = std::filesystem;
using test::bytesOf;
using test::DataBehaviour;
using test::patternBytes;

std::string readFile(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}
void writeFile(const fs::path& p, std::string_view content) {
  fs::create_directories(p.parent_path());
  std::ofstream(p, std::ios::binary) << content;
}
std::string text(const ByteChunk& b) { return std::string(b.begin(), b.end()); }

class ResourceCopierTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = (fs::temp_directory_path() / "kelvane-copier-XXXXXX").string();
    root = mkdtemp(pattern.data());
    destination = root / "share" / "Photos";
    spoolDirectory = root / "tmp" / "Kelvane-spool";
    fs::create_directories(destination);
    catalog = loop.run([&]() -> Async<std::shared_ptr<Catalog>> { co_return co_await Catalog::openInMemory(loop.executor()); });
  }

  void TearDown() override {
    // Whatever a copy ended with, it left no temporary file and no spool file.
    for (const auto& entry : fs::recursive_directory_iterator(root)) {
      const auto name = entry.path().filename().string();
      EXPECT_FALSE(name.ends_with(".partial")) << "left behind: " << entry.path();
      EXPECT_FALSE(name.ends_with(".spool")) << "left behind: " << entry.path();
    }
    if (!mountPoint.empty()) ::umount2(mountPoint.c_str(), MNT_DETACH);
    catalog.reset();
    fs::remove_all(root);
  }

  ResourceCopier copier() {
    ResourceCopier c;
    c.source = source;
    c.destination = destination;
    c.catalog = catalog;
    c.meter = meter;
    c.spoolDirectory = spoolDirectory;
    c.spoolChunk = 4096;
    c.clock = clock;
    c.log = KVLog::make(logSink, KVLog::archive);
    return c;
  }

  // A pending catalog row for a new asset whose one resource holds `content`.
  ResourceRow addResource(const std::string& name, ByteChunk content, Catalog* into = nullptr) {
    const auto asset = test::makeAsset("asset-" + name, fromUnixSeconds(1'717'200'000.0), name);  // June 2024
    auto resource = test::makeResource(asset, ResourceType::original, name, std::move(content));
    source->addAsset(asset, {resource});
    Catalog* cat = into ? into : catalog.get();
    return loop.run([&]() -> Async<ResourceRow> {
      co_await cat->upsertAssets({asset});
      co_await cat->recordResources(asset.id, {resource.descriptor});
      for (auto& row : co_await cat->pendingResources(fromUnixSeconds(1e12), 1000))
        if (row.assetID == asset.id) co_return row;
      throw std::runtime_error("no row");
    });
  }

  Task<CopyOutcome> start(ResourceCopier c, ResourceRow row) {
    return Task<CopyOutcome>::spawn(loop.executor(), [c = std::move(c), row]() -> Async<CopyOutcome> {
      co_return co_await c.copy(row);
    });
  }
  CopyOutcome copy(ResourceCopier c, ResourceRow row) {
    auto task = start(std::move(c), std::move(row));
    loop.runUntil([&] { return task.isFinished(); });
    return task.get();
  }
  ResourceRow stored(std::int64_t id) {
    return *loop.run([&]() -> Async<std::optional<ResourceRow>> { co_return co_await catalog->resource(id); });
  }
  void markVerified(const ResourceRow& row, const std::string& sha) {
    loop.run([&]() -> Async<void> {
      co_await catalog->updateState(*row.id, ResourceState::verified, sha, row.bytes, clock->now(), std::nullopt);
    });
  }
  fs::path targetOf(const ResourceRow& row) const { return destination / row.relativePath; }

  test::TestLoop loop;
  std::shared_ptr<test::ManualClock> clock = std::make_shared<test::ManualClock>();
  std::shared_ptr<test::CapturingLog> logSink = std::make_shared<test::CapturingLog>();
  std::shared_ptr<test::FakePhotoSource> source = std::make_shared<test::FakePhotoSource>(loop.executor(), clock.get());
  std::shared_ptr<TransferMeter> meter = std::make_shared<TransferMeter>(clock->now());
  std::shared_ptr<Catalog> catalog;
  fs::path root, destination, spoolDirectory, mountPoint;
};

ZovarIviduvaError runError(const std::function<void()>& f) {
  try {
    f();
  } catch (const ZovarIviduvaError& e) {
    return e;
  }
  ADD_FAILURE() << "no ZovarIviduvaError";
  return ZovarIviduvaError::photosAccessDenied();
}

TEST_F(ResourceCopierTest, CopiesProvesAndPlacesTheFile) {
  const auto content = patternBytes(50'000, 1);
  const auto row = addResource("IMG_0001.HEIC", content);
  const auto outcome = copy(copier(), row);
  EXPECT_EQ(outcome, CopyOutcome::verified(sha256Hex(content), 50'000, false));
  EXPECT_EQ(readFile(targetOf(row)), text(content));
  const auto rates = meter->snapshot(clock->now());
  EXPECT_EQ(rates.downloadedBytes, 50'000);
  EXPECT_EQ(rates.uploadedBytes, 50'000);
  EXPECT_GT(rates.readbackAverageBytesPerSecond, 0);
  const auto asked = source->requestedResources();
  ASSERT_EQ(asked.size(), 1u);
  EXPECT_EQ(asked[0].originalFilename, "IMG_0001.HEIC");
  EXPECT_EQ(asked[0].uti, "");
  EXPECT_EQ(asked[0].expectedBytes, 50'000);
  EXPECT_EQ(source->allowNetworkFlags(), std::vector<bool>{true});
}

TEST_F(ResourceCopierTest, FileWritesRunOnTheFileExecutorWhenGiven) {
  asio::thread_pool pool(2);
  auto c = copier();
  c.fileExecutor = pool.get_executor();
  std::atomic<int> offLoopWrites{0};
  const auto loopThread = std::this_thread::get_id();
  c.writeChunk = [&](int fd, std::span<const std::uint8_t> bytes) {
    if (std::this_thread::get_id() != loopThread) ++offLoopWrites;
    appendChunk(fd, bytes);
  };
  const auto content = patternBytes(20'000, 2);
  const auto row = addResource("IMG_0002.JPG", content);
  EXPECT_EQ(copy(c, row), CopyOutcome::verified(sha256Hex(content), 20'000, false));
  EXPECT_EQ(offLoopWrites.load(), 5);  // 20,000 bytes in 4,096-byte spool chunks
  pool.join();
}

TEST_F(ResourceCopierTest, RowWithoutIdentifierIsAnUnknownResource) {
  ResourceRow row;
  row.relativePath = "2024/06/x.jpg";
  auto task = start(copier(), row);
  loop.runUntil([&] { return task.isFinished(); });
  try {
    task.get();
    FAIL();
  } catch (const CatalogError& e) {
    EXPECT_EQ(e.kind(), CatalogError::Case::unknownResource);
    EXPECT_EQ(e.resourceID(), -1);
  }
}

TEST_F(ResourceCopierTest, IdenticalFileAtTheTargetIsAdoptedWithoutWriting) {
  const auto content = patternBytes(10'000, 3);
  const auto row = addResource("IMG_0003.HEIC", content);
  writeFile(targetOf(row), text(content));
  const auto before = fs::last_write_time(targetOf(row));
  auto c = copier();
  int writes = 0;
  c.writeChunk = [&](int fd, std::span<const std::uint8_t> b) { ++writes, appendChunk(fd, b); };
  EXPECT_EQ(copy(c, row), CopyOutcome::verified(sha256Hex(content), 10'000, true));
  EXPECT_EQ(writes, 0);
  EXPECT_EQ(fs::last_write_time(targetOf(row)), before);
  EXPECT_EQ(meter->snapshot(clock->now()).uploadedBytes, 0);
}

TEST_F(ResourceCopierTest, OwnedDifferentFileIsReplacedAtomically) {
  const auto row = addResource("IMG_0004.HEIC", bytesOf("old bytes"));
  markVerified(row, sha256Hex(std::string_view("old bytes")));
  writeFile(targetOf(row), "old bytes");
  // A second name for the old file: an in-place rewrite would change it too,
  // a rename onto the target leaves it alone.
  fs::create_hard_link(targetOf(row), root / "old-link");
  source->setContent(row.assetID, ResourceType::original, bytesOf("new bytes, longer"));
  const auto outcome = copy(copier(), row);
  EXPECT_EQ(outcome, CopyOutcome::verified(sha256Hex(std::string_view("new bytes, longer")), 17, false));
  EXPECT_EQ(readFile(targetOf(row)), "new bytes, longer");
  EXPECT_EQ(readFile(root / "old-link"), "old bytes");
  EXPECT_EQ(stored(*row.id).relativePath, row.relativePath);
}

TEST_F(ResourceCopierTest, ForeignFileIsLeftAloneAndTheRowRelocated) {
  const auto row = addResource("IMG_0005.HEIC", bytesOf("ours"));
  writeFile(targetOf(row), "someone else's");
  const auto outcome = copy(copier(), row);
  EXPECT_EQ(outcome, CopyOutcome::verified(sha256Hex(std::string_view("ours")), 4, false));
  EXPECT_EQ(readFile(targetOf(row)), "someone else's");
  const auto moved = stored(*row.id);
  EXPECT_NE(moved.relativePath, row.relativePath);
  EXPECT_EQ(readFile(destination / moved.relativePath), "ours");
}

TEST_F(ResourceCopierTest, NineForeignFilesEndTheRun) {
  const auto content = bytesOf("ours");
  const auto row = addResource("IMG_0006.HEIC", content);
  // Learn the names the catalog hands out, from a twin catalog.
  auto twin = loop.run([&]() -> Async<std::shared_ptr<Catalog>> { co_return co_await Catalog::openInMemory(loop.executor()); });
  auto twinRow = addResource("IMG_0006.HEIC", content, twin.get());
  std::vector<std::string> names{twinRow.relativePath};
  for (int i = 0; i < 9; ++i)
    names.push_back(loop.run([&]() -> Async<std::string> { co_return co_await twin->relocate(*twinRow.id, names.back()); }));
  for (int i = 0; i < 9; ++i) writeFile(destination / names[i], "foreign " + std::to_string(i));
  ASSERT_EQ(names[0], row.relativePath);

  const auto error = runError([&] { copy(copier(), row); });
  EXPECT_EQ(error.kind(), ZovarIviduvaError::Case::destinationUnavailable);
  EXPECT_EQ(error.text(), "8 foreign files occupy the names for " + row.relativePath + "; try again later");
  EXPECT_EQ(stored(*row.id).relativePath, names[9]);
  EXPECT_FALSE(fs::exists(destination / names[9]));
  for (int i = 0; i < 9; ++i) EXPECT_EQ(readFile(destination / names[i]), "foreign " + std::to_string(i));
}

TEST_F(ResourceCopierTest, EightForeignFilesStillLeaveRoomForTheCopy) {
  const auto content = bytesOf("ours");
  const auto row = addResource("IMG_0007.HEIC", content);
  auto twin = loop.run([&]() -> Async<std::shared_ptr<Catalog>> { co_return co_await Catalog::openInMemory(loop.executor()); });
  auto twinRow = addResource("IMG_0007.HEIC", content, twin.get());
  std::vector<std::string> names{twinRow.relativePath};
  for (int i = 0; i < 8; ++i)
    names.push_back(loop.run([&]() -> Async<std::string> { co_return co_await twin->relocate(*twinRow.id, names.back()); }));
  for (int i = 0; i < 8; ++i) writeFile(destination / names[i], "foreign");
  EXPECT_EQ(copy(copier(), row).kind, CopyOutcome::Case::verified);
  EXPECT_EQ(stored(*row.id).relativePath, names[8]);
  EXPECT_EQ(readFile(destination / names[8]), "ours");
}

TEST_F(ResourceCopierTest, UnreadableFileAtTheTargetIsTreatedAsForeignEvenWhenOwned) {
  const auto row = addResource("IMG_0008.HEIC", bytesOf("ours"));
  markVerified(row, sha256Hex(std::string_view("ours")));
  writeFile(targetOf(row), "locked");
  auto c = copier();
  const auto target = targetOf(row);
  c.hashFile = [target](const fs::path& p) -> std::string {
    if (p == target) throw fs::filesystem_error("open", p, std::error_code(EACCES, std::generic_category()));
    return Hashing::sha256(p);
  };
  EXPECT_EQ(copy(c, row).kind, CopyOutcome::Case::verified);
  EXPECT_EQ(readFile(target), "locked");
  EXPECT_NE(stored(*row.id).relativePath, row.relativePath);
}

TEST_F(ResourceCopierTest, UnavailableShareWhileComparingTheTargetIsThrown) {
  const auto row = addResource("IMG_0009.HEIC", bytesOf("ours"));
  writeFile(targetOf(row), "whatever");
  auto c = copier();
  c.hashFile = [](const fs::path& p) -> std::string {
    throw fs::filesystem_error("read", p, std::error_code(ENOTCONN, std::generic_category()));
  };
  const auto error = runError([&] { copy(c, row); });
  EXPECT_EQ(error.kind(), ZovarIviduvaError::Case::destinationUnavailable);
  EXPECT_EQ(stored(*row.id).relativePath, row.relativePath);
}

TEST_F(ResourceCopierTest, FileAppearingBeforeTheMoveIsComparedAndAdoptedWhenIdentical) {
  const auto content = bytesOf("same bytes");
  const auto row = addResource("IMG_0010.HEIC", content);
  auto c = copier();
  const auto target = targetOf(row);
  c.hashFile = [target](const fs::path& p) {
    if (p.string().ends_with(".partial") && !fs::exists(target)) writeFile(target, "same bytes");
    return Hashing::sha256(p);
  };
  EXPECT_EQ(copy(c, row), CopyOutcome::verified(sha256Hex(std::string_view("same bytes")), 10, true));
  EXPECT_EQ(source->dataRequests(), 1);  // the digest was already known
}

TEST_F(ResourceCopierTest, StalePartialFileIsReplaced) {
  const auto content = bytesOf("fresh");
  const auto row = addResource("IMG_0011.HEIC", content);
  writeFile(targetOf(row).string() + ".partial", "stale half of an earlier copy");
  auto c = copier();
  std::vector<fs::path> hashed;
  c.hashFile = [&](const fs::path& p) {
    hashed.push_back(p);
    return Hashing::sha256(p);
  };
  EXPECT_EQ(copy(c, row).kind, CopyOutcome::Case::verified);
  ASSERT_EQ(hashed.size(), 1u);
  EXPECT_EQ(hashed[0], targetOf(row).string() + ".partial");
  EXPECT_EQ(readFile(targetOf(row)), "fresh");
}

TEST_F(ResourceCopierTest, UndeletableStalePartialGivesAUniqueTemporaryName) {
  const auto row = addResource("IMG_0012.HEIC", bytesOf("fresh"));
  const fs::path stale = targetOf(row).string() + ".partial";
  writeFile(stale / "inside", "x");  // a non-empty folder cannot be deleted as a file
  auto c = copier();
  std::vector<fs::path> hashed;
  c.hashFile = [&](const fs::path& p) {
    hashed.push_back(p);
    return Hashing::sha256(p);
  };
  EXPECT_EQ(copy(c, row).kind, CopyOutcome::Case::verified);
  ASSERT_EQ(hashed.size(), 1u);
  EXPECT_TRUE(std::regex_match(hashed[0].filename().string(), std::regex(R"(IMG_0012\.HEIC\.[0-9A-F]{8}\.partial)")))
      << hashed[0];
  EXPECT_FALSE(fs::exists(hashed[0]));
  fs::remove_all(stale);  // ours, not the copier's
}

TEST_F(ResourceCopierTest, SilentSourceStallsAfterTheTimeout) {
  const auto row = addResource("IMG_0013.HEIC", patternBytes(100'000, 4));
  source->setBehaviour(row.assetID, ResourceType::original, DataBehaviour{.stallAfterBytes = 1000});
  auto c = copier();
  c.stallTimeout = Seconds(300);
  auto task = start(c, row);
  loop.poll();
  clock->advance(Seconds(299), loop.drainer());
  EXPECT_FALSE(task.isFinished());
  clock->advance(Seconds(1), loop.drainer());
  loop.runUntil([&] { return task.isFinished(); });
  EXPECT_EQ(task.get(), CopyOutcome::downloadFailed("download stalled: no data for 300.0 seconds"));
  EXPECT_EQ(source->openStreams(), 0);
  EXPECT_FALSE(fs::exists(targetOf(row)));
  const auto entries = logSink->entries(KVLog::archive);
  ASSERT_EQ(entries.size(), 1u);
  EXPECT_EQ(entries[0].level, LogLevel::error);
  EXPECT_EQ(entries[0].message, "download stalled: no data for 300.0 seconds: <private>");
  EXPECT_EQ(entries[0].revealedMessage, "download stalled: no data for 300.0 seconds: IMG_0013.HEIC");
}

TEST_F(ResourceCopierTest, CrawlingSourceStallsAtTheEndOfTheWindow) {
  const auto row = addResource("IMG_0014.HEIC", patternBytes(100'000, 5));
  source->setBehaviour(row.assetID, ResourceType::original, DataBehaviour{.stallAfterBytes = 1000});
  auto c = copier();
  c.crawl = CrawlThreshold{Seconds(120), 16'384};
  auto task = start(c, row);
  loop.poll();
  clock->advance(Seconds(120), loop.drainer());
  loop.runUntil([&] { return task.isFinished(); });
  EXPECT_EQ(task.get(), CopyOutcome::downloadFailed("download stalled: 8 B/s over 120.0 seconds"));
}

TEST_F(ResourceCopierTest, SteadySourceAboveTheThresholdFinishes) {
  const auto content = patternBytes(4 * 65'536, 6);
  const auto row = addResource("IMG_0015.HEIC", content);
  source->setBehaviour(row.assetID, ResourceType::original,
                       DataBehaviour{.chunkDelay = Seconds(1), .chunkSize = 65'536});
  auto c = copier();
  c.stallTimeout = Seconds(3);
  c.crawl = CrawlThreshold{Seconds(2), 16'384};
  auto task = start(c, row);
  loop.poll();
  for (int i = 0; i < 6 && !task.isFinished(); ++i) clock->advance(Seconds(1), loop.drainer());
  loop.runUntil([&] { return task.isFinished(); });
  EXPECT_EQ(task.get(), CopyOutcome::verified(sha256Hex(content), 4 * 65'536, false));
  EXPECT_EQ(clock->sleeperCount(), 0u);  // the watchdog is gone
}

TEST_F(ResourceCopierTest, SourceFailureReturnsDownloadFailed) {
  const auto row = addResource("IMG_0016.HEIC", patternBytes(30'000, 7));
  source->setBehaviour(row.assetID, ResourceType::original,
                       DataBehaviour{.chunkSize = 1000, .failure = DataBehaviour::Failure::halfway});
  const auto outcome = copy(copier(), row);
  EXPECT_EQ(outcome.kind, CopyOutcome::Case::downloadFailed);
  EXPECT_NE(outcome.text.find("simulated download failure"), std::string::npos) << outcome.text;
  EXPECT_FALSE(fs::exists(targetOf(row)));
}

TEST_F(ResourceCopierTest, SourceDeliveringOtherSizesThanAnnouncedIsCopiedAsDelivered) {
  for (std::size_t delivered : {std::size_t(700), std::size_t(1300)}) {
    const auto row = addResource("IMG_" + std::to_string(delivered) + ".HEIC", patternBytes(1000, 8));
    source->setBehaviour(row.assetID, ResourceType::original, DataBehaviour{.deliverBytes = delivered});
    const auto outcome = copy(copier(), row);
    EXPECT_EQ(outcome.kind, CopyOutcome::Case::verified);
    EXPECT_EQ(outcome.bytes, static_cast<std::int64_t>(delivered));
    EXPECT_EQ(outcome.sha256, Hashing::sha256(targetOf(row)));
  }
}

TEST_F(ResourceCopierTest, SpoolTroubleReturnsDownloadFailed) {
  const auto row = addResource("IMG_0017.HEIC", bytesOf("x"));
  writeFile(spoolDirectory, "a file where the spool folder should be");
  const auto outcome = copy(copier(), row);
  EXPECT_EQ(outcome.kind, CopyOutcome::Case::downloadFailed);
  EXPECT_EQ(outcome.text.rfind("local spool: ", 0), 0u) << outcome.text;
  EXPECT_FALSE(fs::exists(targetOf(row)));
}

TEST_F(ResourceCopierTest, CancellationReturnsCancelled) {
  const auto row = addResource("IMG_0018.HEIC", patternBytes(1000, 9));
  source->setBehaviour(row.assetID, ResourceType::original, DataBehaviour{.firstChunkDelay = Seconds(60)});
  auto task = start(copier(), row);
  loop.poll();
  task.cancel();
  loop.runUntil([&] { return task.isFinished(); });
  EXPECT_EQ(task.get(), CopyOutcome::cancelled());
  EXPECT_EQ(source->openStreams(), 0);
}

TEST_F(ResourceCopierTest, WriteErrorsAreRunErrors) {
  struct Row {
    const char* name;
    int code;
    ZovarIviduvaError::Case expected;
  } rows[] = {
      {"no space", ENOSPC, ZovarIviduvaError::Case::shareFull},
      {"quota", EDQUOT, ZovarIviduvaError::Case::shareFull},
      {"mount lost", EIO, ZovarIviduvaError::Case::destinationUnavailable},
      {"read-only", EROFS, ZovarIviduvaError::Case::destinationUnavailable},
  };
  int n = 0;
  for (const auto& r : rows) {
    const auto row = addResource("IMG_W" + std::to_string(n++) + ".HEIC", patternBytes(20'000, 10));
    auto c = copier();
    int writes = 0;
    c.writeChunk = [&, code = r.code](int fd, std::span<const std::uint8_t> b) {
      if (++writes == 2) throw std::system_error(code, std::generic_category(), "write");
      appendChunk(fd, b);
    };
    const auto error = runError([&] { copy(c, row); });
    EXPECT_EQ(error.kind(), r.expected) << r.name;
    if (r.expected == ZovarIviduvaError::Case::shareFull) EXPECT_GE(error.neededBytes(), 20'000) << r.name;
    EXPECT_FALSE(fs::exists(targetOf(row))) << r.name;
  }
  EXPECT_EQ(source->openStreams(), 0);
}

TEST_F(ResourceCopierTest, ReadBackMismatchLeavesNothingAtTheTarget) {
  const auto content = bytesOf("the real bytes");
  const auto row = addResource("IMG_0019.HEIC", content);
  auto c = copier();
  c.hashFile = [](const fs::path&) { return std::string(64, 'f'); };
  EXPECT_EQ(copy(c, row), CopyOutcome::mismatch(sha256Hex(std::string_view("the real bytes")), std::string(64, 'f')));
  EXPECT_FALSE(fs::exists(targetOf(row)));
}

TEST_F(ResourceCopierTest, ReadBackFailureIsARunError) {
  const auto row = addResource("IMG_0020.HEIC", bytesOf("bytes"));
  auto c = copier();
  c.hashFile = [](const fs::path& p) -> std::string {
    throw fs::filesystem_error("read", p, std::error_code(ETIMEDOUT, std::generic_category()));
  };
  EXPECT_EQ(runError([&] { copy(c, row); }).kind(), ZovarIviduvaError::Case::destinationUnavailable);
  EXPECT_FALSE(fs::exists(targetOf(row)));
}

TEST_F(ResourceCopierTest, VanishedDestinationIsUnavailableAndNothingIsCreatedInItsPlace) {
  const auto row = addResource("IMG_0021.HEIC", bytesOf("bytes"));
  fs::remove_all(destination);  // the share went away, the mount point stays
  const auto error = runError([&] { copy(copier(), row); });
  EXPECT_EQ(error.kind(), ZovarIviduvaError::Case::destinationUnavailable);
  EXPECT_FALSE(fs::exists(destination));
}

TEST_F(ResourceCopierTest, ClearSpoolDeletesOnlySpoolFiles) {
  writeFile(spoolDirectory / "A.spool", "left by a crash");
  writeFile(spoolDirectory / "B.spool", "left by a crash");
  writeFile(spoolDirectory / "keep.txt", "not ours");
  copier().clearSpool();
  EXPECT_FALSE(fs::exists(spoolDirectory / "A.spool"));
  EXPECT_FALSE(fs::exists(spoolDirectory / "B.spool"));
  EXPECT_TRUE(fs::exists(spoolDirectory / "keep.txt"));
  auto missing = copier();
  missing.spoolDirectory = root / "nowhere";
  missing.clearSpool();  // no error for a missing folder
}

// A real file system that runs out of space: a 1 MiB tmpfs.
TEST_F(ResourceCopierTest, RealFullShareThrowsShareFull) {
  mountPoint = root / "tiny";
  fs::create_directories(mountPoint);
  if (::mount("tmpfs", mountPoint.c_str(), "tmpfs", MS_NOSUID | MS_NODEV, "size=1m") != 0) {
    const int code = errno;
    mountPoint.clear();
    const char* ci = std::getenv("CI");
    if (ci && std::string(ci) == "true") FAIL() << "cannot mount a tmpfs in CI: " << std::strerror(code);
    GTEST_SKIP() << "cannot mount a tmpfs here (" << std::strerror(code) << "); run as root to cover a real full share";
  }
  destination = mountPoint / "Photos";
  fs::create_directories(destination);
  const auto row = addResource("IMG_BIG.MOV", patternBytes(3 * 1024 * 1024, 11));
  auto c = copier();
  c.spoolChunk = 1'048'576;
  const auto error = runError([&] { copy(c, row); });
  EXPECT_EQ(error.kind(), ZovarIviduvaError::Case::shareFull);
  EXPECT_GE(error.neededBytes(), 3 * 1024 * 1024);
  EXPECT_FALSE(fs::exists(targetOf(row)));
  EXPECT_EQ(std::distance(fs::recursive_directory_iterator(mountPoint), fs::recursive_directory_iterator()), 3)
      << "only the folders remain";  // Photos, 2024, 2024/06
}

}  // namespace
}  // namespace kv
