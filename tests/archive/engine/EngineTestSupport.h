#pragma once
// An archive engine over the fake photo source, an in-memory catalog and a
// real temporary destination folder, on a test loop with a manual clock.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <sstream>

#include "archive/ArchiveEngine.h"
#include "archive/Catalog.h"
#include "tests/support/CapturingLog.h"
#include "tests/support/ManualClock.h"
#include "tests/support/TestLoop.h"
#include "tests/support/archive/FakePhotoSource.h"

namespace kv::test {

// Every report the engine made, safe to collect from any thread.
class ProgressLog {
 public:
  ArchiveProgressHandler handler() {
    return [this](const ArchiveProgress& p) {
      std::lock_guard lock(mutex_);
      reports_.push_back(p);
    };
  }
  std::vector<ArchiveProgress> reports() const {
    std::lock_guard lock(mutex_);
    return reports_;
  }
  // The phases in order, repeated phases collapsed.
  std::vector<ArchivePhase> phases() const {
    std::vector<ArchivePhase> out;
    for (const auto& r : reports()) {
      if (out.empty() || out.back() != r.phase) out.push_back(r.phase);
    }
    return out;
  }
  void clear() {
    std::lock_guard lock(mutex_);
    reports_.clear();
  }

 private:
  mutable std::mutex mutex_;
  std::vector<ArchiveProgress> reports_;
};

// The kinds of asset a library of the tests holds, by index.
enum class FixtureKind { photo, video, livePhoto, edited, rawAlternate, editedLivePhoto };

class EngineTestBase : public ::testing::Test {
 protected:
  void SetUp() override {
    if (const char* tz = std::getenv("TZ")) savedTZ_ = tz;
    setenv("TZ", "UTC", 1);
    tzset();
    // A memory file system where there is one: thousands of small files are
    // created and renamed per test.
    const std::filesystem::path base =
        std::filesystem::is_directory("/dev/shm") ? std::filesystem::path("/dev/shm") : std::filesystem::temp_directory_path();
    std::string pattern = (base / "kelvane-engine-XXXXXX").string();
    folder_ = mkdtemp(pattern.data());
    destination = folder_ / "Photos";
    std::filesystem::create_directories(destination);
    clock = std::make_shared<ManualClock>(fromUnixSeconds(1'700'000'000.0));
    log = std::make_shared<CapturingLog>();
    source = std::make_shared<FakePhotoSource>(loop.executor(), clock.get());
    metadata = std::make_shared<FakeMetadataSource>();
    catalog = loop.run([&]() -> Async<std::shared_ptr<Catalog>> {
      co_return co_await Catalog::openInMemory(loop.executor());
    });
    options.concurrency = 4;
  }

  void TearDown() override {
    engine.reset();
    catalog.reset();
    loop.poll();
    std::error_code ec;
    std::filesystem::permissions(destination, std::filesystem::perms::owner_all, ec);
    std::filesystem::remove_all(folder_, ec);
    if (savedTZ_) setenv("TZ", savedTZ_->c_str(), 1); else unsetenv("TZ");
    tzset();
  }

  ArchiveEngineServices services() {
    ArchiveEngineServices s;
    s.executor = loop.executor();
    s.clock = clock;
    s.log = KVLog::make(log, KVLog::archive);
    s.spoolDirectory = folder_ / "spool";
    return s;
  }

  // A fresh engine (as the pipeline makes one per run) with `tweak` applied
  // to the default services.
  std::shared_ptr<ArchiveEngine> makeEngine(const std::function<void(ArchiveEngineServices&)>& tweak = {},
                                            bool withMetadata = true) {
    auto s = services();
    if (tweak) tweak(s);
    engine = ArchiveEngine::make(source, withMetadata ? metadata : nullptr, catalog, destination, options, s);
    return engine;
  }

  RunSummary sync(RunTrigger trigger = RunTrigger::manual) {
    if (!engine) makeEngine();
    auto e = engine;
    auto handler = progress.handler();
    return loop.run([e, trigger, handler]() -> Async<RunSummary> { co_return co_await e->sync(trigger, handler); });
  }

  // A sync that must fail; its error.
  std::exception_ptr failingSync() {
    try {
      sync();
    } catch (...) {
      return std::current_exception();
    }
    ADD_FAILURE() << "the sync did not fail";
    return nullptr;
  }

  std::int64_t verify() {
    if (!engine) makeEngine();
    auto e = engine;
    auto handler = progress.handler();
    return loop.run([e, handler]() -> Async<std::int64_t> { co_return co_await e->verifyArchive(handler); });
  }

  template <class F>
  auto run(F op) {
    return loop.run(std::move(op));
  }

  ArchiveTotals totals() {
    return run([&]() -> Async<ArchiveTotals> { co_return co_await catalog->totals(); });
  }
  std::vector<ResourceRow> verifiedRows() {
    return run([&]() -> Async<std::vector<ResourceRow>> { co_return co_await catalog->verifiedResources(); });
  }
  std::vector<ResourceRow> pendingRows(Date at = fromUnixSeconds(4e9)) {
    return run([&]() -> Async<std::vector<ResourceRow>> { co_return co_await catalog->pendingResources(at, 1'000'000); });
  }
  std::optional<ResourceRow> row(std::int64_t id) {
    return run([&]() -> Async<std::optional<ResourceRow>> { co_return co_await catalog->resource(id); });
  }
  // Every row of the catalog, in id order.
  std::vector<ResourceRow> allRows() {
    std::vector<ResourceRow> rows;
    for (std::int64_t id = 1; id <= 2 * resourceCount + 50; ++id) {
      if (auto r = row(id)) rows.push_back(*r);
    }
    return rows;
  }

  // Adds `count` assets cycling through every kind, one per second from
  // March 2021 on, each resource with a few dozen bytes of its own.
  void addLibrary(int count, int firstIndex = 0) {
    for (int i = firstIndex; i < firstIndex + count; ++i) {
      const auto kind = static_cast<FixtureKind>(i % 6);
      const std::string stem = "IMG_" + std::to_string(1000 + i);
      const Date created = addSeconds(fromUnixSeconds(1615000000.0), Seconds(i * 3600.0));
      const AssetKind assetKind = kind == FixtureKind::video ? AssetKind::video
                                  : (kind == FixtureKind::livePhoto || kind == FixtureKind::editedLivePhoto)
                                      ? AssetKind::livePhoto
                                      : AssetKind::photo;
      AssetRecord a = makeAsset("asset-" + std::to_string(i) + "/L0/001", created,
                                stem + (kind == FixtureKind::video ? ".MOV" : ".HEIC"), assetKind);
      a.albums = {"Album " + std::to_string(i % 3)};
      auto content = [&](int n) { return patternBytes(40 + (i * 7 + n) % 90, static_cast<std::uint32_t>(i * 10 + n)); };
      std::vector<FakeResource> rs;
      rs.push_back(makeResource(a, ResourceType::original, a.originalFilename, content(0)));
      switch (kind) {
        case FixtureKind::photo:
        case FixtureKind::video:
          break;
        case FixtureKind::livePhoto:
          rs.push_back(makeResource(a, ResourceType::liveVideo, stem + ".MOV", content(1)));
          break;
        case FixtureKind::edited:
          rs.push_back(makeResource(a, ResourceType::edited, "IMG_E" + std::to_string(1000 + i) + ".JPG", content(1)));
          rs.push_back(makeResource(a, ResourceType::adjustmentData, "Adjustments.plist", content(2)));
          break;
        case FixtureKind::rawAlternate:
          rs.push_back(makeResource(a, ResourceType::rawAlternate, stem + ".DNG", content(1)));
          break;
        case FixtureKind::editedLivePhoto:
          rs.push_back(makeResource(a, ResourceType::liveVideo, stem + ".MOV", content(1)));
          rs.push_back(makeResource(a, ResourceType::edited, "IMG_E" + std::to_string(1000 + i) + ".HEIC", content(2)));
          rs.push_back(makeResource(a, ResourceType::editedLiveVideo, "IMG_E" + std::to_string(1000 + i) + ".MOV",
                                    content(3)));
          rs.push_back(makeResource(a, ResourceType::adjustmentData, "Adjustments.plist", content(4)));
          break;
      }
      resourceCount += static_cast<int>(rs.size());
      ids.push_back(a.id);
      source->addAsset(a, std::move(rs));
    }
  }

  static std::string readFile(const std::filesystem::path& file) {
    std::ifstream in(file, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
  }

  std::filesystem::path folder() const { return folder_; }

  TestLoop loop;
  std::shared_ptr<ManualClock> clock;
  std::shared_ptr<CapturingLog> log;
  std::shared_ptr<FakePhotoSource> source;
  std::shared_ptr<FakeMetadataSource> metadata;
  std::shared_ptr<Catalog> catalog;
  std::shared_ptr<ArchiveEngine> engine;
  ArchiveEngineOptions options;
  ProgressLog progress;
  std::filesystem::path destination;
  std::vector<AssetID> ids;
  int resourceCount = 0;

 private:
  std::optional<std::string> savedTZ_;
  std::filesystem::path folder_;
};

}  // namespace kv::test
