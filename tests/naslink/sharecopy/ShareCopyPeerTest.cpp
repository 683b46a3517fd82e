// The resource copier writing through the real rclone mount (as the NAS link
// mounts it) of a real smbd share on 127.0.0.1: every copy must be read back
// whole and moved into place, also while its folder is listed all the time
// (as the other copies into the same month folder do) and while the server
// still holds the copy just read back open.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/mount.h>
#include <unistd.h>

#include <asio/thread_pool.hpp>
#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <thread>

#include "archive/Catalog.h"
#include "archive/FileOperations.h"
#include "archive/ResourceCopier.h"
#include "archive/Sha256.h"
#include "naslink/BackgroundCall.h"
#include "naslink/NetFSShareMounter.h"
#include "platform/linux/naslink/RcloneMountService.h"
#include "tests/naslink/peer/SambaPeer.h"
#include "tests/support/CapturingLog.h"
#include "tests/support/TestLoop.h"
#include "tests/support/archive/FakePhotoSource.h"

namespace kv {
namespace {

namespace fs = std::filesystem;
using test::patternBytes;

constexpr auto kLimit = std::chrono::seconds(50);

std::string describe(const CopyOutcome& o) {
  std::string d(copyOutcomeName(o.kind));
  if (o.kind == CopyOutcome::Case::verified) d += " " + o.sha256 + " " + std::to_string(o.bytes);
  if (o.kind == CopyOutcome::Case::mismatch) d += " expected " + o.expected + ", read back " + o.actual;
  if (o.kind == CopyOutcome::Case::downloadFailed) d += ": " + o.text;
  return d;
}

class ShareCopyPeerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    KV_REQUIRE_SAMBA_PEER();
    samba = std::make_unique<test::SambaPeer>();
    home = fs::temp_directory_path() / ("kv-copy-peer-" + std::to_string(::getpid()));
    fs::remove_all(home);
    mounter = std::make_shared<NetFSShareMounter>(std::make_shared<RcloneMountService>(), clock,
                                                  NetFSShareMounter::defaultMountsRoot(home));
    // Straight to smbd: the tunnel plays no part in what is tested here.
    NASConfig config;
    config.smbShare = samba->share();
    config.localPort = static_cast<std::uint16_t>(samba->port());
    const fs::path point = loop.run(
        [m = mounter, config, creds = NASCredentials{samba->user(), samba->password()}]() -> Async<fs::path> {
          co_return co_await m->mount(config, creds);
        },
        std::chrono::seconds(60));
    destination = point / "Kelvane";
    fs::create_directories(destination);
    catalog = loop.run([&]() -> Async<std::shared_ptr<Catalog>> { co_return co_await Catalog::openInMemory(loop.executor()); });
  }

  void TearDown() override {
    stopThreads = true;
    for (auto& t : threads) t.join();
    if (mounter) {
      for (auto& p : mounter->pathsUnderRoot()) ::umount2(p.c_str(), MNT_FORCE | MNT_DETACH);
      loop.run([m = mounter]() -> Async<void> { co_await m->unmount(); }, std::chrono::seconds(30));
      loop.runUntil([] { return backgroundCallsRunning() == 0; }, std::chrono::seconds(20));
    }
    fileThreads.join();
    catalog.reset();
    if (samba) {
      // Whatever a copy ended with, it left no temporary file on the share.
      for (const auto& e : fs::recursive_directory_iterator(samba->shareFolder())) {
        EXPECT_FALSE(e.path().filename().string().ends_with(".partial")) << "left behind: " << e.path();
      }
    }
    samba.reset();
    std::error_code ec;
    if (!home.empty()) fs::remove_all(home, ec);
  }

  ResourceCopier copier() {
    ResourceCopier c;
    c.source = source;
    c.destination = destination;
    c.catalog = catalog;
    c.spoolDirectory = home / "spool";
    c.clock = clock;
    c.log = KVLog::make(logSink, KVLog::archive);
    c.fileExecutor = fileThreads.get_executor();
    return c;
  }

  // A pending row for a new asset of June 2024 (so that every copy goes to
  // the folder 2024/06) whose one resource holds `content`.
  ResourceRow addResource(const std::string& name, ByteChunk content) {
    const auto asset = test::makeAsset("asset-" + name, fromUnixSeconds(1'717'200'000.0), name);
    auto resource = test::makeResource(asset, ResourceType::original, name, std::move(content));
    source->addAsset(asset, {resource});
    return loop.run([&]() -> Async<ResourceRow> {
      co_await catalog->upsertAssets({asset});
      co_await catalog->recordResources(asset.id, {resource.descriptor});
      for (auto& row : co_await catalog->pendingResources(fromUnixSeconds(1e12), 1000))
        if (row.assetID == asset.id) co_return row;
      throw std::runtime_error("no row");
    });
  }

  // Copies the rows, `width` at a time, and returns their outcomes.
  std::vector<CopyOutcome> copyAll(const ResourceCopier& c, const std::vector<ResourceRow>& rows, std::size_t width) {
    std::vector<CopyOutcome> outcomes;
    for (std::size_t i = 0; i < rows.size(); i += width) {
      std::vector<Task<CopyOutcome>> batch;
      for (std::size_t j = i; j < std::min(rows.size(), i + width); ++j) {
        batch.push_back(Task<CopyOutcome>::spawn(
            loop.executor(), [c, row = rows[j]]() -> Async<CopyOutcome> { co_return co_await c.copy(row); }));
      }
      loop.runUntil([&] { return std::all_of(batch.begin(), batch.end(), [](auto& t) { return t.isFinished(); }); },
                    kLimit);
      for (auto& t : batch) outcomes.push_back(t.get());
    }
    return outcomes;
  }

  fs::path onServer(const ResourceRow& row) const { return samba->shareFolder() / "Kelvane" / row.relativePath; }

  std::unique_ptr<test::SambaPeer> samba;
  fs::path home, destination;
  test::TestLoop loop;
  asio::thread_pool fileThreads{4};
  std::shared_ptr<Clock> clock = std::make_shared<SystemClock>();
  std::shared_ptr<test::CapturingLog> logSink = std::make_shared<test::CapturingLog>();
  std::shared_ptr<test::FakePhotoSource> source = std::make_shared<test::FakePhotoSource>(loop.executor());
  std::shared_ptr<NetFSShareMounter> mounter;
  std::shared_ptr<Catalog> catalog;
  std::vector<std::thread> threads;  // joined, after stopThreads is set, by TearDown
  std::atomic<bool> stopThreads{false};
  std::mutex threadsMu;  // guards threads while copies run
};

TEST_F(ShareCopyPeerTest, CopiesIntoAFolderThatIsListedAllTheTimeAreReadBackWhole) {
  // A folder of many entries lists slowly, so that listings often overlap the
  // end of an upload, the moment that once cut read-backs short.
  const fs::path folder = destination / "2024" / "06";
  fs::create_directories(folder);
  const fs::path serverFolder = samba->shareFolder() / "Kelvane" / "2024" / "06";
  for (int i = 0; i < 2000; ++i) std::ofstream(serverFolder / ("other-" + std::to_string(i) + ".txt"));

  std::atomic<int> listings{0};
  threads.emplace_back([&] {
    while (!stopThreads) {
      std::error_code ec;
      for (fs::directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec)) {
      }
      ++listings;
    }
  });

  std::vector<ResourceRow> rows;
  std::vector<ByteChunk> contents;
  for (std::uint32_t i = 0; i < 16; ++i) {
    contents.push_back(patternBytes(1'200'000 + 97'000 * i, i));
    rows.push_back(addResource("IMG_" + std::to_string(1000 + i) + ".MOV", contents.back()));
  }
  const auto outcomes = copyAll(copier(), rows, 4);
  stopThreads = true;

  EXPECT_GT(listings.load(), 4);
  for (std::size_t i = 0; i < rows.size(); ++i) {
    const auto sha = sha256Hex(contents[i]);
    EXPECT_TRUE(outcomes[i] == CopyOutcome::verified(sha, static_cast<std::int64_t>(contents[i].size()), false))
        << rows[i].relativePath << ": " << describe(outcomes[i]);
    if (fs::exists(onServer(rows[i]))) {
      EXPECT_EQ(Hashing::sha256(onServer(rows[i])), sha) << rows[i].relativePath;
    } else {
      ADD_FAILURE() << rows[i].relativePath << " is not on the share";
    }
  }
}

TEST_F(ShareCopyPeerTest, AMoveRefusedWhileTheServerStillHoldsTheCopyOpenIsTriedAgain) {
  // The read-back leaves a second handle on the copy open on the server for
  // a moment, as a late close of the read-back's own handle does; an SMB
  // server refuses to rename a file that is open.
  auto c = copier();
  c.hashFile = [this](const fs::path& file) {
    const std::string digest = Hashing::sha256(file);
    const int fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd >= 0) {
      char byte;
      (void)::read(fd, &byte, 1);  // rclone opens the file on the server at the first read
      std::lock_guard lock(threadsMu);
      threads.emplace_back([fd] {
        std::this_thread::sleep_for(std::chrono::milliseconds(400));
        ::close(fd);
      });
    }
    return digest;
  };
  const auto content = patternBytes(700'000, 42);
  const auto row = addResource("IMG_0042.JPG", content);
  const auto outcomes = copyAll(c, {row}, 1);
  EXPECT_TRUE(outcomes[0] == CopyOutcome::verified(sha256Hex(content), 700'000, false)) << describe(outcomes[0]);
  EXPECT_EQ(Hashing::sha256(onServer(row)), sha256Hex(content));
}

}  // namespace
}  // namespace kv
