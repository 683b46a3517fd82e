// The sidecar phase against an in-memory catalog and a real folder.
#include <gtest/gtest.h>

#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <asio/thread_pool.hpp>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <set>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <sstream>
#include <system_error>
#include <thread>

#include "archive/ShareErrors.h"
#include "archive/SidecarPhase.h"
#include "archive/XMPSidecar.h"
#include "archive/ZovarIviduvaError.h"
#include "tests/archive/CatalogTestSupport.h"
#include "tests/support/ManualClock.h"

namespace kv {
namespace {

namespace fs = std::filesystem;
using test::makeAsset;

std::string readFile(const fs::path& file) {
  std::ifstream in(file, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

// Every ".partial" file below `root`.
std::vector<fs::path> partials(const fs::path& root) {
  std::vector<fs::path> found;
  if (!fs::exists(root)) return found;
  for (const auto& entry : fs::recursive_directory_iterator(root)) {
    if (entry.path().extension() == ".partial") found.push_back(entry.path());
  }
  return found;
}

// An error the file writer throws, as the real one does.
WriteSidecarFile failingWith(int code) {
  return [code](const fs::path&, const fs::path& target, std::string_view) {
    throw std::system_error(code, std::generic_category(), "write " + target.string() + ".partial");
  };
}

class SidecarPhaseTest : public test::CatalogTestBase {
 protected:
  void SetUp() override {
    CatalogTestBase::SetUp();
    openInMemory();
    destination = tempFolder() / "Photos";
    fs::create_directories(destination);
    clock = std::make_shared<test::ManualClock>(fromUnixSeconds(1'700'000'000.0));
  }

  // An asset whose original (and, when asked, edited version) is verified.
  AssetRecord verifiedAsset(const std::string& id, const std::string& filename, bool withEdited = false) {
    AssetRecord a = makeAsset(id, march2021(), filename);
    upsert({a});
    std::vector<ResourceDescriptor> ds = {desc(a, ResourceType::original, filename, 10)};
    if (withEdited) ds.push_back(desc(a, ResourceType::edited, "IMG_E" + filename, 20));
    record(a.id, ds);
    for (const auto& r : rowsOf(a.id)) updateState(*r.id, ResourceState::verified, std::string(64, 'a'), r.bytes);
    return a;
  }

  void storeMetadata(const AssetID& id, PhotosMetadata m) {
    run([&]() -> Async<void> {
      co_await catalog->storeMetadata({{id, m}}, fromUnixSeconds(1'700'000'000.0));
    });
  }

  std::optional<std::string> storedHash(const AssetID& id) {
    return run([&]() -> Async<std::optional<std::string>> { co_return co_await catalog->sidecarInputsHash(id); });
  }

  std::string expectedDocument(const AssetID& id) {
    auto entry = run([&]() -> Async<std::optional<AssetWithMetadata>> { co_return co_await catalog->assetWithMetadata(id); });
    EXPECT_TRUE(entry);
    return entry ? XMPSidecar::document(entry->first, entry->second) : "";
  }

  SidecarPhase phase(WriteSidecarFile writer = writeFileAtomically) {
    SidecarPhase p;
    p.catalog = catalog;
    p.destination = destination;
    p.clock = clock;
    p.writeFile = [this, writer](const fs::path& root, const fs::path& target, std::string_view text) {
      ++writes;
      writer(root, target, text);
    };
    return p;
  }

  SidecarPhaseResult runPhase(const SidecarPhase& p) {
    return run([&]() -> Async<SidecarPhaseResult> {
      co_return co_await p.run([this](const SidecarProgress& progress) { reports.push_back(progress); });
    });
  }

  // Runs the phase expecting a run error; returns it.
  ZovarIviduvaError runPhaseFailing(const SidecarPhase& p) {
    try {
      runPhase(p);
    } catch (const ZovarIviduvaError& e) {
      return e;
    }
    ADD_FAILURE() << "the phase did not fail";
    return ZovarIviduvaError::photosAccessDenied();
  }

  fs::path destination;
  std::shared_ptr<test::ManualClock> clock;
  std::vector<SidecarProgress> reports;
  std::atomic<int> writes = 0;  // the file executor may write several at once
};

TEST_F(SidecarPhaseTest, WritesOneSidecarBesideEachVerifiedOriginal) {
  AssetRecord a = verifiedAsset("A", "IMG_0001.HEIC", /*withEdited=*/true);
  storeMetadata(a.id, PhotosMetadata{"Harbour", "At dusk", {"sea"}});
  AssetRecord pendingOnly = makeAsset("B", march2021(), "IMG_0002.HEIC");
  upsert({pendingOnly});
  record(pendingOnly.id, {desc(pendingOnly, ResourceType::original, "IMG_0002.HEIC")});

  const SidecarPhaseResult result = runPhase(phase());

  EXPECT_EQ(result, (SidecarPhaseResult{.written = 1, .current = 0, .skipped = 0}));
  const fs::path sidecar = destination / "2021/03/IMG_0001.HEIC.xmp";
  ASSERT_TRUE(fs::exists(sidecar));
  EXPECT_EQ(readFile(sidecar), expectedDocument(a.id));
  EXPECT_NE(readFile(sidecar).find("<rdf:li xml:lang=\"x-default\">Harbour</rdf:li>"), std::string::npos);
  EXPECT_FALSE(fs::exists(destination / "2021/03/IMG_0001_edited.HEIC.xmp")) << "only originals get sidecars";
  EXPECT_FALSE(fs::exists(destination / "2021/03/IMG_0002.HEIC.xmp")) << "pending originals get none";
  EXPECT_TRUE(partials(destination).empty());

  EXPECT_EQ(storedHash(a.id), XMPSidecar::inputsHash(a, PhotosMetadata{"Harbour", "At dusk", {"sea"}}));
  ASSERT_EQ(reports.size(), 1u);
  EXPECT_EQ(reports[0].filename, "IMG_0001.HEIC.xmp");
  EXPECT_EQ(reports[0].relativePath, "2021/03/IMG_0001.HEIC.xmp");
  EXPECT_EQ(reports[0].totals, totals());
}

TEST_F(SidecarPhaseTest, SecondPassWithoutChangesWritesNothing) {
  verifiedAsset("A", "IMG_0001.HEIC");
  verifiedAsset("B", "IMG_0002.HEIC");
  EXPECT_EQ(runPhase(phase()).written, 2);
  EXPECT_EQ(writes, 2);
  reports.clear();

  EXPECT_EQ(runPhase(phase()), (SidecarPhaseResult{.written = 0, .current = 2, .skipped = 0}));
  EXPECT_EQ(writes, 2);
  EXPECT_TRUE(reports.empty());
}

TEST_F(SidecarPhaseTest, ChangedCaptionRewritesTheSidecar) {
  AssetRecord a = verifiedAsset("A", "IMG_0001.HEIC");
  storeMetadata(a.id, PhotosMetadata{std::nullopt, "Before", {}});
  runPhase(phase());
  const auto firstHash = storedHash(a.id);

  storeMetadata(a.id, PhotosMetadata{std::nullopt, "After", {}});
  EXPECT_EQ(runPhase(phase()).written, 1);
  EXPECT_NE(storedHash(a.id), firstHash);
  const std::string text = readFile(destination / "2021/03/IMG_0001.HEIC.xmp");
  EXPECT_NE(text.find(">After</rdf:li>"), std::string::npos);
  EXPECT_EQ(text.find("Before"), std::string::npos);
}

TEST_F(SidecarPhaseTest, RecordingResourcesAgainForcesARewrite) {
  AssetRecord a = verifiedAsset("A", "IMG_0001.HEIC");
  runPhase(phase());
  record(a.id, {desc(a, ResourceType::original, "IMG_0001.HEIC", 10)});  // clears the stored hash
  EXPECT_EQ(storedHash(a.id), std::nullopt);
  EXPECT_EQ(runPhase(phase()).written, 1);
  EXPECT_EQ(storedHash(a.id), XMPSidecar::inputsHash(a, std::nullopt));
}

TEST_F(SidecarPhaseTest, ReplacesAnOldSidecarAndAStaleTemporary) {
  AssetRecord a = verifiedAsset("A", "IMG_0001.HEIC");
  fs::create_directories(destination / "2021/03");
  std::ofstream(destination / "2021/03/IMG_0001.HEIC.xmp") << "old sidecar, much longer than the new one will be "
                                                           << std::string(4096, 'x');
  std::ofstream(destination / "2021/03/IMG_0001.HEIC.xmp.partial") << std::string(8192, 'y');

  runPhase(phase());
  EXPECT_EQ(readFile(destination / "2021/03/IMG_0001.HEIC.xmp"), expectedDocument(a.id));
  EXPECT_TRUE(partials(destination).empty());
}

TEST_F(SidecarPhaseTest, RecreatesAMonthFolderRemovedByHand) {
  AssetRecord a = verifiedAsset("A", "IMG_0001.HEIC");
  ASSERT_FALSE(fs::exists(destination / "2021"));
  runPhase(phase());
  EXPECT_EQ(readFile(destination / "2021/03/IMG_0001.HEIC.xmp"), expectedDocument(a.id));
}

struct WriteFailureCase {
  const char* name;
  int code;
  ZovarIviduvaError::Case expected;
};

TEST_F(SidecarPhaseTest, WriteFailuresStopThePhaseAndKeepTheOldDigest) {
  const std::vector<WriteFailureCase> cases = {
      {"no space", ENOSPC, ZovarIviduvaError::Case::shareFull},
      {"quota", EDQUOT, ZovarIviduvaError::Case::shareFull},
      {"permission", EACCES, ZovarIviduvaError::Case::destinationUnavailable},
      {"read-only", EROFS, ZovarIviduvaError::Case::destinationUnavailable},
      {"link gone", ENOTCONN, ZovarIviduvaError::Case::destinationUnavailable},
      {"fuse backend gone", EIO, ZovarIviduvaError::Case::destinationUnavailable},
  };
  AssetRecord a = verifiedAsset("A", "IMG_0001.HEIC");
  verifiedAsset("B", "IMG_0002.HEIC");
  storeMetadata(a.id, PhotosMetadata{"old", std::nullopt, {}});
  runPhase(phase());
  const auto oldHash = storedHash(a.id);
  storeMetadata(a.id, PhotosMetadata{"new", std::nullopt, {}});

  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    reports.clear();
    writes = 0;
    const ZovarIviduvaError error = runPhaseFailing(phase(failingWith(c.code)));
    EXPECT_EQ(error.kind(), c.expected);
    if (c.expected == ZovarIviduvaError::Case::shareFull) {
      EXPECT_EQ(error.neededBytes(), 0);
    } else {
      EXPECT_NE(error.text().find(std::error_code(c.code, std::generic_category()).message()), std::string::npos)
          << error.text();
      EXPECT_NE(error.text().find("IMG_0001.HEIC.xmp"), std::string::npos) << error.text();
    }
    EXPECT_EQ(writes, 1) << "the first failure stops the phase";
    EXPECT_TRUE(reports.empty());
    EXPECT_EQ(storedHash(a.id), oldHash);
  }
  // The next run tries again.
  EXPECT_EQ(runPhase(phase()).written, 1);
  EXPECT_NE(storedHash(a.id), oldHash);
}

TEST_F(SidecarPhaseTest, TheFileErrorStaysAttached) {
  verifiedAsset("A", "IMG_0001.HEIC");
  SidecarPhase p = phase(failingWith(ENOTCONN));
  try {
    runPhase(p);
    FAIL() << "the phase did not fail";
  } catch (const ZovarIviduvaError& e) {
    EXPECT_EQ(firstPosixCode(std::current_exception()), ENOTCONN);
  }
}

TEST_F(SidecarPhaseTest, RealRenameFailureLeavesNoTemporary) {
  AssetRecord a = verifiedAsset("A", "IMG_0001.HEIC");
  // A folder (not empty) where the sidecar should go: rename(2) cannot replace it.
  fs::create_directories(destination / "2021/03/IMG_0001.HEIC.xmp/inside");

  const ZovarIviduvaError error = runPhaseFailing(phase());
  EXPECT_EQ(error.kind(), ZovarIviduvaError::Case::destinationUnavailable);
  EXPECT_NE(error.text().find("rename"), std::string::npos) << error.text();
  EXPECT_TRUE(partials(destination).empty());
  EXPECT_EQ(storedHash(a.id), std::nullopt);
  EXPECT_TRUE(reports.empty());
}

TEST_F(SidecarPhaseTest, VanishedDestinationIsUnavailableAndNotRecreated) {
  verifiedAsset("A", "IMG_0001.HEIC");
  fs::remove_all(destination);

  const ZovarIviduvaError error = runPhaseFailing(phase());
  EXPECT_EQ(error.kind(), ZovarIviduvaError::Case::destinationUnavailable);
  EXPECT_FALSE(fs::exists(destination)) << "nothing may be created where the share was";
}

TEST_F(SidecarPhaseTest, CancelledBeforeTheFirstSidecarWritesNothing) {
  AssetRecord a = verifiedAsset("A", "IMG_0001.HEIC");
  SidecarPhase p = phase();
  auto task = Task<SidecarPhaseResult>::spawn(loop.executor(), [&]() -> Async<SidecarPhaseResult> {
    co_return co_await p.run([this](const SidecarProgress& progress) { reports.push_back(progress); });
  });
  task.cancel();
  loop.runUntil([&] { return task.isFinished(); });
  EXPECT_THROW(task.get(), CancelledError);
  EXPECT_EQ(writes, 0);
  EXPECT_EQ(storedHash(a.id), std::nullopt);
}

TEST_F(SidecarPhaseTest, WritesOnTheFileExecutorWhenGiven) {
  AssetRecord a = verifiedAsset("A", "IMG_0001.HEIC");
  asio::thread_pool pool(1);
  std::atomic<std::thread::id> writerThread{};
  SidecarPhase p = phase([&](const fs::path& root, const fs::path& target, std::string_view text) {
    writerThread = std::this_thread::get_id();
    writeFileAtomically(root, target, text);
  });
  p.fileExecutor = pool.get_executor();
  EXPECT_EQ(runPhase(p).written, 1);
  EXPECT_NE(writerThread.load(), std::this_thread::get_id());
  EXPECT_EQ(readFile(destination / "2021/03/IMG_0001.HEIC.xmp"), expectedDocument(a.id));
  ASSERT_EQ(reports.size(), 1u);
  pool.join();
}

// On a file executor the file calls of several sidecars overlap, while the
// catalog records them and the reports come strictly in row order. A failed
// write ends the phase after the sidecars before it are recorded, and no
// write is still running when the phase has ended.
TEST_F(SidecarPhaseTest, WritesOverlapOnTheFileExecutorAndAreRecordedInRowOrder) {
  std::vector<AssetRecord> assets;
  for (int i = 0; i < 12; ++i) {
    assets.push_back(verifiedAsset("A" + std::to_string(10 + i), "IMG_" + std::to_string(10 + i) + ".HEIC"));
  }
  asio::thread_pool pool(4);
  std::mutex mu;
  std::condition_variable changed;
  int inside = 0, mostInside = 0, running = 0, calls = 0;
  std::set<std::string> failOn;
  SidecarPhase p = phase([&](const fs::path& root, const fs::path& target, std::string_view text) {
    std::unique_lock lock(mu);
    ++running;
    mostInside = std::max(mostInside, ++inside);
    changed.notify_all();
    // The first write waits (for two seconds at most) for a second one to
    // start: with writes one after another that never happens.
    if (++calls == 1) changed.wait_for(lock, std::chrono::seconds(2), [&] { return inside >= 2; });
    const bool fail = failOn.contains(target.filename().string());
    lock.unlock();
    struct Leave {
      std::mutex& mu;
      int& inside;
      int& running;
      ~Leave() {
        std::lock_guard l(mu);
        --inside;
        --running;
      }
    } leave{mu, inside, running};
    if (fail) throw std::system_error(EIO, std::generic_category(), "write " + target.string() + ".partial");
    writeFileAtomically(root, target, text);
  });
  p.fileExecutor = pool.get_executor();

  EXPECT_EQ(runPhase(p).written, 12);
  EXPECT_GE(mostInside, 2);
  ASSERT_EQ(reports.size(), 12u);
  for (std::size_t i = 0; i < reports.size(); ++i) {
    EXPECT_EQ(reports[i].filename, "IMG_" + std::to_string(10 + i) + ".HEIC.xmp");
  }

  // Changed inputs everywhere; the sixth write fails.
  for (const auto& a : assets) storeMetadata(a.id, PhotosMetadata{"new title", std::nullopt, {}});
  std::vector<std::optional<std::string>> before;
  for (const auto& a : assets) before.push_back(storedHash(a.id));
  failOn = {"IMG_15.HEIC.xmp"};
  reports.clear();
  const auto error = runPhaseFailing(p);
  EXPECT_EQ(error.kind(), ZovarIviduvaError::Case::destinationUnavailable);
  {
    std::lock_guard lock(mu);
    EXPECT_EQ(running, 0);
  }
  ASSERT_EQ(reports.size(), 5u);
  for (std::size_t i = 0; i < assets.size(); ++i) {
    if (i < 5) {
      EXPECT_NE(storedHash(assets[i].id), before[i]) << i;
      EXPECT_EQ(readFile(destination / ("2021/03/" + reports[i].filename)), expectedDocument(assets[i].id));
    } else {
      EXPECT_EQ(storedHash(assets[i].id), before[i]) << i;  // written again next run
    }
  }
  EXPECT_TRUE(partials(destination).empty());
  pool.join();
}

// A really full file system: a tiny tmpfs filled to the last page.
TEST_F(SidecarPhaseTest, FullFileSystemIsShareFull) {
  verifiedAsset("A", "IMG_0001.HEIC");
  const fs::path mountPoint = tempFolder() / "tiny";
  fs::create_directories(mountPoint);
  if (::mount("tmpfs", mountPoint.c_str(), "tmpfs", 0, "size=16k") != 0) {
    GTEST_SKIP() << "cannot mount a tmpfs here: " << std::strerror(errno);
  }
  struct Unmount {
    fs::path at;
    ~Unmount() { ::umount2(at.c_str(), MNT_DETACH); }
  } unmount{mountPoint};
  destination = mountPoint / "Photos";
  fs::create_directories(destination / "2021/03");
  {
    std::ofstream filler(mountPoint / "filler", std::ios::binary);
    const std::string page(4096, 'f');
    for (int i = 0; i < 64 && filler; ++i) filler.write(page.data(), page.size()), filler.flush();
  }

  const ZovarIviduvaError error = runPhaseFailing(phase());
  EXPECT_EQ(error.kind(), ZovarIviduvaError::Case::shareFull);
  EXPECT_EQ(error.neededBytes(), 0);
  EXPECT_TRUE(partials(destination).empty());
}

}  // namespace
}  // namespace kv
