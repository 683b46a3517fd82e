// Catalog benchmark: a library of 100,000 assets with 1.6 resources each on
// average. Prints the time to store them all (first run), to store them again
// unchanged, to record their resources, `totals` on the full catalog, and
// pages of `pendingResources`; then the peak resident memory. The unchanged
// re-upsert is also given as a ratio to the first upsert measured in the same
// run. Run by hand: build/<dir>/bench/archive/catalog_bench [assets] [folder]
#include <sys/resource.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "archive/Catalog.h"
#include "core/async/Task.h"

using namespace kv;

namespace {

double secondsSince(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

template <class F>
auto runOn(asio::io_context& ctx, F body) {
  using R = typename decltype(body())::value_type;
  auto task = Task<R>::spawn(ctx.get_executor(), std::move(body));
  ctx.restart();
  while (!task.isFinished()) {
    ctx.run_one();
  }
  return task.get();
}

}  // namespace

int main(int argc, char** argv) {
  const int count = argc > 1 ? std::atoi(argv[1]) : 100'000;
  std::filesystem::path folder = argc > 2 ? std::filesystem::path(argv[2])
                                          : std::filesystem::temp_directory_path() / "kelvane-catalog-bench";
  std::filesystem::remove_all(folder);
  asio::io_context ctx;

  std::vector<AssetRecord> assets;
  assets.reserve(count);
  const double base = 1'500'000'000.0;
  for (int i = 0; i < count; ++i) {
    AssetRecord a;
    a.id = AssetID{"ASSET-" + std::to_string(i) + "/L0/001"};
    a.kind = i % 5 == 0 ? AssetKind::livePhoto : (i % 7 == 0 ? AssetKind::video : AssetKind::photo);
    a.createdAt = fromUnixSeconds(base + i * 600.0);
    a.modifiedAt = fromUnixSeconds(base + i * 600.0 + 1);
    a.originalFilename = "IMG_" + std::to_string(i % 10'000) + ".HEIC";  // names repeat: collisions
    a.albums = {"Album " + std::to_string(i % 20)};
    if (i % 3 == 0) a.location = Coordinate{47.0 + i * 1e-5, 8.0};
    a.pixelWidth = 4032;
    a.pixelHeight = 3024;
    assets.push_back(std::move(a));
  }

  auto catalog = runOn(ctx, [&]() -> Async<std::shared_ptr<Catalog>> {
    co_return co_await Catalog::open(ctx.get_executor(), folder / "catalog.sqlite");
  });

  auto t0 = std::chrono::steady_clock::now();
  auto first = runOn(ctx, [&]() -> Async<UpsertDelta> { co_return co_await catalog->upsertAssets(assets); });
  const double firstUpsert = secondsSince(t0);

  t0 = std::chrono::steady_clock::now();
  runOn(ctx, [&]() -> Async<void> { co_await catalog->prepareLayout(); });
  std::int64_t resources = 0;
  for (int i = 0; i < count; ++i) {
    const auto& a = assets[i];
    std::vector<ResourceDescriptor> ds{{a.id, ResourceType::original, a.originalFilename, "public.heic", 2'000'000}};
    // 60% carry a second resource: 1.6 per asset on average.
    if (i % 5 < 3) ds.push_back({a.id, i % 5 == 0 ? ResourceType::liveVideo : ResourceType::edited, "IMG_E.JPG", "", 1'000'000});
    resources += static_cast<std::int64_t>(ds.size());
    runOn(ctx, [&]() -> Async<void> { co_await catalog->recordResources(a.id, ds); });
  }
  const double recordAll = secondsSince(t0);

  // Half the rows verified, a few failed, so totals has work to do.
  auto rows = runOn(ctx, [&]() -> Async<std::vector<ResourceRow>> {
    co_return co_await catalog->pendingResources(fromUnixSeconds(base), resources);
  });
  for (std::size_t i = 0; i < rows.size(); i += 2) {
    runOn(ctx, [&]() -> Async<void> {
      co_await catalog->updateState(*rows[i].id, ResourceState::verified, "00", std::nullopt, fromUnixSeconds(base), std::nullopt);
    });
  }

  t0 = std::chrono::steady_clock::now();
  auto again = runOn(ctx, [&]() -> Async<UpsertDelta> { co_return co_await catalog->upsertAssets(assets); });
  const double reupsert = secondsSince(t0);

  t0 = std::chrono::steady_clock::now();
  ArchiveTotals totals;
  const int totalsRounds = 10;
  for (int i = 0; i < totalsRounds; ++i) totals = runOn(ctx, [&]() -> Async<ArchiveTotals> { co_return co_await catalog->totals(); });
  const double totalsTime = secondsSince(t0) / totalsRounds;

  t0 = std::chrono::steady_clock::now();
  const int pages = 20;
  std::size_t pageRows = 0;
  for (int i = 0; i < pages; ++i) {
    pageRows += runOn(ctx, [&]() -> Async<std::vector<ResourceRow>> {
      co_return co_await catalog->pendingResources(fromUnixSeconds(base), 24);
    }).size();
  }
  const double pageTime = secondsSince(t0) / pages;

  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);

  std::printf("catalog_bench: %d assets, %lld resources (%.2f per asset)\n", count, static_cast<long long>(resources),
              static_cast<double>(resources) / count);
  std::printf("  first upsert (%zu new):           %8.3f s\n", first.added.size(), firstUpsert);
  std::printf("  record resources (one call each): %8.3f s\n", recordAll);
  std::printf("  unchanged re-upsert (%lld same):  %8.3f s  (%.2f x first upsert; target < 1.5 s)\n",
              static_cast<long long>(again.unchanged), reupsert, reupsert / firstUpsert);
  std::printf("  totals:                           %8.2f ms (target < 50 ms; %lld assets, %lld fully verified)\n",
              totalsTime * 1000, static_cast<long long>(totals.assets), static_cast<long long>(totals.assetsFullyVerified));
  std::printf("  pendingResources page of 24:      %8.2f ms (%zu rows in %d pages)\n", pageTime * 1000, pageRows, pages);
  std::printf("  peak RSS:                         %8.1f MiB\n", usage.ru_maxrss / 1024.0);
  catalog.reset();
  if (argc <= 2) std::filesystem::remove_all(folder);  // a folder given by hand is kept for inspection
  return 0;
}
