// The archive engine against plain tools on the same bytes, in one run:
//   (a) first sync of a generated library into a local folder vs cp + sha256sum;
//   (b) a no-change re-sync of a large library (nothing to copy): engine time;
//   (c) verification of the archive of (a) vs sha256sum with the same parallelism;
//   (d) peak resident memory of the process that ran (b).
//
// Usage: engine_bench [work-folder] [--assets N] [--megabytes M] [--resync-assets N]
// (defaults: $TMPDIR, 2000 assets, 1536 MB, 100000 assets). (b) runs in a
// child process of its own (after another child filled its catalog), so that
// (d) is that run's peak alone.
#include <sys/resource.h>
#include <unistd.h>

#include <asio/thread_pool.hpp>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <mutex>
#include <random>
#include <string>
#include <unordered_map>

#include "archive/ArchiveEngine.h"
#include "archive/Catalog.h"
#include "archive/XMPSidecar.h"
#include "core/async/Task.h"
#include "platform/linux/core/AllocatorTuning.h"

namespace fs = std::filesystem;
using namespace kv;

namespace {

// A library of files on disk (or of nothing but records), served through
// the photo source contract.
class BenchSource : public PhotoSource {
 public:
  explicit BenchSource(Executor ex) : ex_(std::move(ex)) {}

  void add(AssetRecord asset, fs::path file, std::int64_t bytes) {
    const std::string name = asset.originalFilename;
    entries_[asset.id] = {ResourceDescriptor{asset.id, ResourceType::original, name, "public.jpeg", bytes}, file};
    assets_.push_back(std::move(asset));
  }

  Async<PhotoAuthorization> authorizationStatus() override { co_return PhotoAuthorization::authorized; }
  Async<PhotoAuthorization> requestAuthorization() override { co_return PhotoAuthorization::authorized; }
  Async<std::vector<AssetRecord>> assets() override { co_return assets_; }
  Async<std::vector<AssetRecord>> assets(AssetProgress progress) override {
    for (std::size_t i = 1; i <= assets_.size(); ++i)
      if (progress) progress(static_cast<std::int64_t>(i));
    co_return assets_;
  }
  Async<std::int64_t> assetCount() override { co_return static_cast<std::int64_t>(assets_.size()); }
  Async<std::vector<ResourceDescriptor>> resources(AssetID asset) override {
    co_return std::vector<ResourceDescriptor>{entries_.at(asset).descriptor};
  }
  DataStream data(ResourceDescriptor resource, bool) override {
    DataStream stream;
    const fs::path file = entries_.at(resource.assetID).file;
    auto task = Task<void>::spawn(ex_, [stream, file]() -> Async<void> {
      std::ifstream in(file, std::ios::binary);
      for (;;) {
        ByteChunk chunk(1 << 20);
        in.read(reinterpret_cast<char*>(chunk.data()), static_cast<std::streamsize>(chunk.size()));
        chunk.resize(static_cast<std::size_t>(in.gcount()));
        if (chunk.empty()) break;
        if (!stream.yield(std::move(chunk))) co_return;
        co_await asio::post(co_await asio::this_coro::executor, asio::use_awaitable);
      }
      stream.finish();
    });
    stream.onTermination([task] { task.cancel(); });
    return stream;
  }
  AsyncStream<LibraryChange> libraryChanges() override { return AsyncStream<LibraryChange>(); }

 private:
  struct Entry {
    ResourceDescriptor descriptor;
    fs::path file;
  };
  Executor ex_;
  std::vector<AssetRecord> assets_;
  std::unordered_map<AssetID, Entry> entries_;
};

double seconds(std::chrono::steady_clock::time_point since) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - since).count();
}

// User and system time of this process so far.
double cpuSeconds() {
  struct rusage usage {};
  getrusage(RUSAGE_SELF, &usage);
  auto s = [](const timeval& t) { return static_cast<double>(t.tv_sec) + t.tv_usec / 1e6; };
  return s(usage.ru_utime) + s(usage.ru_stime);
}

double shell(const std::string& command) {
  const auto t0 = std::chrono::steady_clock::now();
  if (std::system(command.c_str()) != 0) {
    std::cerr << "failed: " << command << "\n";
    std::exit(1);
  }
  return seconds(t0);
}

AssetRecord benchAsset(int i) {
  AssetRecord a;
  a.id = AssetID{"bench-" + std::to_string(i) + "/L0/001"};
  a.kind = AssetKind::photo;
  a.createdAt = fromUnixSeconds(1'600'000'000.0 + 3600.0 * i);
  a.modifiedAt = a.createdAt;
  a.originalFilename = "IMG_" + std::to_string(100000 + i) + ".JPG";
  return a;
}

template <class T, class F>
T runOn(asio::thread_pool& pool, F body) {
  auto task = Task<T>::spawn(pool.get_executor(), std::move(body));
  while (!task.isFinished()) std::this_thread::sleep_for(std::chrono::milliseconds(2));
  return task.get();
}

ArchiveEngineServices services(asio::thread_pool& pool, asio::thread_pool& files) {
  ArchiveEngineServices s;
  s.executor = pool.get_executor();
  s.fileExecutor = files.get_executor();
  s.clock = std::make_shared<SystemClock>();
  return s;
}

// Fills the catalog of (b): every asset with one verified original and a
// current sidecar, as after a complete sync.
int populateResync(const fs::path& work, int count) {
  asio::thread_pool pool(2);
  fs::remove_all(work);
  fs::create_directories(work / "archive");
  auto catalog = runOn<std::shared_ptr<Catalog>>(pool, [&]() -> Async<std::shared_ptr<Catalog>> {
    co_return co_await Catalog::open(pool.get_executor(), work / "catalog.sqlite");
  });
  runOn<int>(pool, [&]() -> Async<int> {
    std::vector<AssetRecord> records;
    for (int i = 0; i < count; ++i) records.push_back(benchAsset(i));
    co_await catalog->upsertAssets(records);
    for (const auto& a : records) {
      co_await catalog->recordResources(
          a.id, {ResourceDescriptor{a.id, ResourceType::original, a.originalFilename, "public.jpeg", 1000}});
    }
    for (const auto& row : co_await catalog->pendingResources(fromUnixSeconds(4e9), count + 1)) {
      co_await catalog->updateState(*row.id, ResourceState::verified, std::string(64, 'a'), 1000,
                                    fromUnixSeconds(1.7e9), std::nullopt);
    }
    for (const auto& row : co_await catalog->verifiedResources()) {
      const auto asset = co_await catalog->assetWithMetadata(row.assetID);
      co_await catalog->recordSidecar(row.assetID, row.relativePath + ".xmp",
                                      XMPSidecar::inputsHash(asset->first, asset->second), fromUnixSeconds(1.7e9));
    }
    co_return 0;
  });
  return 0;
}

int measureResync(const fs::path& work, int count) {
  asio::thread_pool pool(2);
  asio::thread_pool files(4);
  auto source = std::make_shared<BenchSource>(pool.get_executor());
  for (int i = 0; i < count; ++i) source->add(benchAsset(i), {}, 1000);
  auto catalog = runOn<std::shared_ptr<Catalog>>(pool, [&]() -> Async<std::shared_ptr<Catalog>> {
    co_return co_await Catalog::open(pool.get_executor(), work / "catalog.sqlite");
  });
  auto engine = ArchiveEngine::make(source, nullptr, catalog, work / "archive", ArchiveEngineOptions{},
                                    services(pool, files));
  const auto t0 = std::chrono::steady_clock::now();
  const RunSummary s = runOn<RunSummary>(pool, [&]() -> Async<RunSummary> {
    co_return co_await engine->sync(RunTrigger::manual, {});
  });
  const double elapsed = seconds(t0);
  struct rusage usage {};
  getrusage(RUSAGE_SELF, &usage);
  std::printf("resync_seconds=%.3f rss_kb=%ld outcome=%s verified=%lld seen=%lld\n", elapsed, usage.ru_maxrss,
              std::string(storedString(s.outcome)).c_str(), static_cast<long long>(s.resourcesVerified),
              static_cast<long long>(s.assetsSeen));
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  kv::tuneAllocatorForLargeBuffers();
  fs::path base = std::getenv("TMPDIR") ? fs::path(std::getenv("TMPDIR")) : fs::path("/tmp");
  int assets = 2000;
  long megabytes = 1536;
  int resyncAssets = 100'000;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--populate-resync" && i + 2 < argc) return populateResync(argv[i + 1], std::atoi(argv[i + 2]));
    if (arg == "--measure-resync" && i + 2 < argc) return measureResync(argv[i + 1], std::atoi(argv[i + 2]));
    if (arg == "--assets" && i + 1 < argc) assets = std::atoi(argv[++i]);
    else if (arg == "--megabytes" && i + 1 < argc) megabytes = std::atol(argv[++i]);
    else if (arg == "--resync-assets" && i + 1 < argc) resyncAssets = std::atoi(argv[++i]);
    else base = arg;
  }
  const fs::path work = base / "kelvane-engine-bench";
  fs::remove_all(work);
  fs::create_directories(work / "library");
  fs::create_directories(work / "archive");
  setenv("TMPDIR", work.c_str(), 1);  // the copier's spool

  // The library: files of varying size adding up to about `megabytes`.
  const std::int64_t total = megabytes * 1024 * 1024;
  const std::int64_t mean = total / assets;
  std::mt19937_64 random(42);
  std::vector<std::pair<AssetRecord, std::int64_t>> library;
  std::int64_t written = 0;
  for (int i = 0; i < assets; ++i) {
    const std::int64_t size = mean / 2 + static_cast<std::int64_t>(random() % static_cast<std::uint64_t>(mean));
    AssetRecord a = benchAsset(i);
    std::ofstream out(work / "library" / a.originalFilename, std::ios::binary);
    std::vector<char> bytes(static_cast<std::size_t>(size));
    for (auto& b : bytes) b = static_cast<char>(random());
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    written += size;
    library.emplace_back(std::move(a), size);
  }
  std::printf("library: %d files, %.1f MB in %s\n", assets, written / 1048576.0, work.c_str());
  shell("sync");

  ArchiveEngineOptions options;  // the application's values (6 workers)
  asio::thread_pool pool(2);
  // One thread for the blocking share calls of each copy worker: a worker
  // waiting in fsync or reading its copy back must not hold up the others.
  asio::thread_pool files(static_cast<std::size_t>(options.concurrency));
  auto source = std::make_shared<BenchSource>(pool.get_executor());
  for (auto& [a, size] : library) source->add(a, work / "library" / a.originalFilename, size);
  auto catalog = runOn<std::shared_ptr<Catalog>>(pool, [&]() -> Async<std::shared_ptr<Catalog>> {
    co_return co_await Catalog::open(pool.get_executor(), work / "catalog.sqlite");
  });

  // (a)
  auto engine = ArchiveEngine::make(source, nullptr, catalog, work / "archive", options, services(pool, files));
  const double cpuBefore = cpuSeconds();
  auto t0 = std::chrono::steady_clock::now();
  // Where the time of (a) goes: when each phase first reported, and the
  // last report of the copy phase (the sidecars are written after it).
  std::mutex phaseMutex;
  std::vector<std::pair<std::string, double>> phaseStarts;
  double firstSidecar = 0, sidecarCPU = 0;
  std::vector<double> phaseCPU;
  auto onProgress = [&](const ArchiveProgress& p) {
    std::lock_guard lock(phaseMutex);
    const std::string name(storedString(p.phase));
    if (phaseStarts.empty() || phaseStarts.back().first != name) {
      phaseStarts.emplace_back(name, seconds(t0));
      phaseCPU.push_back(cpuSeconds() - cpuBefore);
    }
    if (firstSidecar == 0 && p.currentFilename && p.currentFilename->ends_with(".xmp")) {
      firstSidecar = seconds(t0);
      sidecarCPU = cpuSeconds() - cpuBefore;
    }
  };
  const RunSummary first = runOn<RunSummary>(pool, [&]() -> Async<RunSummary> {
    co_return co_await engine->sync(RunTrigger::manual, onProgress);
  });
  const double syncSeconds = seconds(t0);
  std::printf("(a) phases:");
  for (std::size_t i = 0; i < phaseStarts.size(); ++i) {
    std::printf(" %s at %.2f s (CPU %.2f s),", phaseStarts[i].first.c_str(), phaseStarts[i].second, phaseCPU[i]);
  }
  std::printf(" first sidecar at %.2f s (CPU %.2f s), end at %.2f s (CPU %.2f s)\n", firstSidecar, sidecarCPU,
              syncSeconds, cpuSeconds() - cpuBefore);
  if (first.outcome != RunOutcome::complete || first.resourcesVerified != assets) {
    std::fprintf(stderr, "first sync was %s with %lld verified\n", std::string(storedString(first.outcome)).c_str(),
                 static_cast<long long>(first.resourcesVerified));
    return 1;
  }
  shell("sync");
  const double copySeconds = shell("cp -r '" + (work / "library").string() + "' '" + (work / "baseline").string() +
                                   "' && sha256sum '" + (work / "baseline").string() + "'/* > /dev/null");
  shell("sync");

  // (c)
  engine = ArchiveEngine::make(source, nullptr, catalog, work / "archive", options, services(pool, files));
  t0 = std::chrono::steady_clock::now();
  const std::int64_t requeued = runOn<std::int64_t>(pool, [&]() -> Async<std::int64_t> {
    co_return co_await engine->verifyArchive({});
  });
  const double verifySeconds = seconds(t0);
  const double hashSeconds =
      shell("find '" + (work / "archive").string() + "' -type f ! -name '*.xmp' -print0 | xargs -0 -P " +
            std::to_string(options.concurrency) + " -n 64 sha256sum > /dev/null");
  if (requeued != 0) std::fprintf(stderr, "verification re-queued %lld copies\n", static_cast<long long>(requeued));

  // (b) and (d), in child processes.
  const fs::path resync = (fs::is_directory("/dev/shm") ? fs::path("/dev/shm") : base) / "kelvane-resync-bench";
  const std::string self = fs::read_symlink("/proc/self/exe").string();
  shell("'" + self + "' --populate-resync '" + resync.string() + "' " + std::to_string(resyncAssets));
  const std::string out = (work / "resync.txt").string();
  shell("'" + self + "' --measure-resync '" + resync.string() + "' " + std::to_string(resyncAssets) + " > '" + out +
        "'");
  std::ifstream in(out);
  std::string line;
  std::getline(in, line);
  double resyncSeconds = 0;
  long rssKB = 0;
  std::sscanf(line.c_str(), "resync_seconds=%lf rss_kb=%ld", &resyncSeconds, &rssKB);

  std::printf("(a) first sync %.2f s, cp + sha256sum %.2f s: ratio %.2f (target >= 0.75)\n", syncSeconds, copySeconds,
              copySeconds / syncSeconds);
  std::printf("(b) no-change re-sync of %d assets: %.2f s (target < 2 s) [%s]\n", resyncAssets, resyncSeconds,
              line.c_str());
  std::printf("(c) verification %.2f s, sha256sum x%d %.2f s: ratio %.2f (target >= 0.85)\n", verifySeconds,
              options.concurrency, hashSeconds, hashSeconds / verifySeconds);
  std::printf("(d) peak RSS of (b): %.1f MB (target < 250 MB)\n", rssKB / 1024.0);
  fs::remove_all(work);
  fs::remove_all(resync);
  return 0;
}
