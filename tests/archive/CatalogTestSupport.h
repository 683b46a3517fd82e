#pragma once
// A catalog on a test loop, with short helpers that run one operation each.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>

#include "archive/Catalog.h"
#include "tests/support/TestLoop.h"
#include "tests/support/archive/FakePhotoSource.h"

namespace kv::test {

class CatalogTestBase : public ::testing::Test {
 protected:
  void SetUp() override {
    if (const char* tz = std::getenv("TZ")) savedTZ_ = tz;
    setenv("TZ", "UTC", 1);
    tzset();
  }
  void TearDown() override {
    catalog.reset();
    if (savedTZ_) setenv("TZ", savedTZ_->c_str(), 1); else unsetenv("TZ");
    tzset();
    if (!folder_.empty()) std::filesystem::remove_all(folder_);
  }

  // Runs `op` (a coroutine lambda) to its end on the test loop.
  template <class F>
  auto run(F op) {
    return loop.run(std::move(op));
  }

  void openInMemory() {
    catalog = run([&]() -> Async<std::shared_ptr<Catalog>> { co_return co_await Catalog::openInMemory(loop.executor()); });
  }

  std::filesystem::path tempFolder() {
    if (folder_.empty()) {
      std::string pattern = (std::filesystem::temp_directory_path() / "kelvane-catalog-XXXXXX").string();
      folder_ = mkdtemp(pattern.data());
    }
    return folder_;
  }

  std::shared_ptr<Catalog> openFile(const std::filesystem::path& file,
                                    std::chrono::milliseconds busy = kCatalogBusyTimeout) {
    return run([&]() -> Async<std::shared_ptr<Catalog>> {
      co_return co_await Catalog::open(loop.executor(), file, busy);
    });
  }

  UpsertDelta upsert(std::vector<AssetRecord> records) {
    return run([&]() -> Async<UpsertDelta> { co_return co_await catalog->upsertAssets(records); });
  }
  void record(const AssetID& id, std::vector<ResourceDescriptor> resources) {
    run([&]() -> Async<void> { co_await catalog->recordResources(id, resources); });
  }
  std::vector<ResourceRow> pending(Date now, std::int64_t limit = 1000) {
    return run([&]() -> Async<std::vector<ResourceRow>> { co_return co_await catalog->pendingResources(now, limit); });
  }
  std::optional<ResourceRow> row(std::int64_t id) {
    return run([&]() -> Async<std::optional<ResourceRow>> { co_return co_await catalog->resource(id); });
  }
  std::vector<ResourceRow> rowsOf(const AssetID& id) {
    auto all = run([&]() -> Async<std::vector<ResourceRow>> {
      co_return co_await catalog->pendingResources(fromUnixSeconds(1e12), 1'000'000);
    });
    auto verified = run([&]() -> Async<std::vector<ResourceRow>> { co_return co_await catalog->verifiedResources(); });
    all.insert(all.end(), verified.begin(), verified.end());
    std::erase_if(all, [&](const ResourceRow& r) { return r.assetID != id; });
    return all;
  }
  void updateState(std::int64_t id, ResourceState state, std::optional<std::string> sha = std::nullopt,
                   std::optional<std::int64_t> bytes = std::nullopt, Date at = fromUnixSeconds(1'700'000'000.0),
                   std::optional<std::string> error = std::nullopt) {
    run([&]() -> Async<void> { co_await catalog->updateState(id, state, sha, bytes, at, error); });
  }
  ArchiveTotals totals() {
    return run([&]() -> Async<ArchiveTotals> { co_return co_await catalog->totals(); });
  }

  static Date march2021() { return fromUnixSeconds(1615000000.0); }
  static ResourceDescriptor desc(const AssetRecord& a, ResourceType t, std::string name,
                                 std::optional<std::int64_t> bytes = std::nullopt) {
    return ResourceDescriptor{a.id, t, std::move(name), "public.data", bytes};
  }

  TestLoop loop;
  std::shared_ptr<Catalog> catalog;

 private:
  std::optional<std::string> savedTZ_;
  std::filesystem::path folder_;
};

}  // namespace kv::test
