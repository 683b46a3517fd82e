// copier_bench: throughput of verified copies (download into the spool,
// write to the destination, drop the cache, read back, compare, rename)
// against the plain baseline `cp` of the same files followed by `sha256sum`
// of the copies, measured in the same run on the same disk.
//
//   copier_bench [files=400] [megabytes=5] [workers=6] [folder=$TMPDIR]
//
// The source is a folder of generated files served through the PhotoSource
// contract in 1 MiB chunks. Prints MB/s of both, their ratio and the peak
// resident memory (which stays bounded by the spool chunks: no file is held
// in memory whole).
#include <sys/resource.h>
#include <unistd.h>

#include <asio/thread_pool.hpp>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "archive/Catalog.h"
#include "archive/ResourceCopier.h"
#include "core/Clock.h"
#include "core/async/Task.h"
#include "platform/linux/core/AllocatorTuning.h"

namespace fs = std::filesystem;
using namespace kv;

namespace {

// Serves the files of a folder by their original file name.
class FolderSource : public PhotoSource {
 public:
  FolderSource(Executor ex, fs::path folder) : ex_(std::move(ex)), folder_(std::move(folder)) {}

  Async<PhotoAuthorization> authorizationStatus() override { co_return PhotoAuthorization::authorized; }
  Async<PhotoAuthorization> requestAuthorization() override { co_return PhotoAuthorization::authorized; }
  Async<std::vector<AssetRecord>> assets() override { co_return std::vector<AssetRecord>{}; }
  Async<std::vector<AssetRecord>> assets(AssetProgress) override { co_return std::vector<AssetRecord>{}; }
  Async<std::int64_t> assetCount() override { co_return 0; }
  Async<std::vector<ResourceDescriptor>> resources(AssetID) override { co_return std::vector<ResourceDescriptor>{}; }
  AsyncStream<LibraryChange> libraryChanges() override { return AsyncStream<LibraryChange>{}; }

  DataStream data(ResourceDescriptor resource, bool) override {
    DataStream stream;
    const auto file = folder_ / resource.originalFilename;
    // Like the photo library, produce at most a few chunks ahead.
    Task<void>::spawn(ex_, [stream, file]() -> Async<void> {
      std::ifstream in(file, std::ios::binary);
      if (!in) {
        stream.finish(std::make_exception_ptr(std::runtime_error("cannot open " + file.string())));
        co_return;
      }
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
    return stream;
  }

 private:
  Executor ex_;
  fs::path folder_;
};

double seconds(std::chrono::steady_clock::time_point since) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - since).count();
}

void dropCaches(const fs::path& folder) {
  // Best effort: start both measurements from the same (uncached) state.
  std::system(("sync; for f in '" + folder.string() + "'/*; do dd if=\"$f\" iflag=nocache count=0 status=none; done")
                  .c_str());
}

}  // namespace

int main(int argc, char** argv) {
  kv::tuneAllocatorForLargeBuffers();
  const int files = argc > 1 ? std::atoi(argv[1]) : 400;
  const int megabytes = argc > 2 ? std::atoi(argv[2]) : 5;
  const int workers = argc > 3 ? std::atoi(argv[3]) : 6;
  const char* tmp = std::getenv("TMPDIR");
  const fs::path base = argc > 4 ? fs::path(argv[4]) : fs::path(tmp && *tmp ? tmp : "/tmp");
  std::string pattern = (base / "copier-bench-XXXXXX").string();
  const fs::path root = mkdtemp(pattern.data());
  const fs::path sourceDir = root / "source", ours = root / "ours", baseline = root / "baseline";
  fs::create_directories(sourceDir);
  fs::create_directories(ours);
  fs::create_directories(baseline);

  const std::size_t size = static_cast<std::size_t>(megabytes) * 1'000'000;
  std::printf("generating %d files of %d MB in %s\n", files, megabytes, root.c_str());
  {
    std::mt19937_64 rng(42);
    std::vector<std::uint64_t> buffer(size / 8 + 1);
    for (int i = 0; i < files; ++i) {
      for (auto& w : buffer) w = rng();
      std::ofstream(sourceDir / ("IMG_" + std::to_string(i) + ".HEIC"), std::ios::binary)
          .write(reinterpret_cast<const char*>(buffer.data()), static_cast<std::streamsize>(size));
    }
  }
  const double totalMB = static_cast<double>(size) * files / 1e6;

  // Baseline: cp, then sha256sum of the copies.
  dropCaches(sourceDir);
  auto t0 = std::chrono::steady_clock::now();
  const std::string cp = "cp '" + sourceDir.string() + "'/* '" + baseline.string() + "'/ && cd '" +
                         baseline.string() + "' && sha256sum * > /dev/null";
  if (std::system(cp.c_str()) != 0) {
    std::fprintf(stderr, "baseline failed\n");
    return 1;
  }
  const double baselineSeconds = seconds(t0);
  fs::remove_all(baseline);

  // Ours: the copier with `workers` concurrent copies.
  dropCaches(sourceDir);
  asio::thread_pool pool(2);
  asio::thread_pool fileThreads(static_cast<std::size_t>(workers));
  ResourceCopier copier;
  copier.source = std::make_shared<FolderSource>(pool.get_executor(), sourceDir);
  copier.destination = ours;
  copier.stallTimeout = Seconds(300);
  copier.crawl = CrawlThreshold{Seconds(120), 16'384};
  copier.meter = std::make_shared<TransferMeter>(std::chrono::time_point_cast<std::chrono::nanoseconds>(std::chrono::system_clock::now()));
  copier.spoolDirectory = root / "Kelvane-spool";
  copier.clock = std::make_shared<SystemClock>();
  copier.fileExecutor = fileThreads.get_executor();
  // Fresh names only: the catalog is never consulted, but the copier wants one.
  Task<std::shared_ptr<Catalog>> openTask =
      Task<std::shared_ptr<Catalog>>::spawn(pool.get_executor(), [&]() -> Async<std::shared_ptr<Catalog>> {
        co_return co_await Catalog::openInMemory(pool.get_executor());
      });
  while (!openTask.isFinished()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  copier.catalog = openTask.get();
  copier.clearSpool();

  std::atomic<int> nextFile{0}, verified{0}, failed{0};
  t0 = std::chrono::steady_clock::now();
  std::vector<Task<void>> tasks;
  for (int w = 0; w < workers; ++w) {
    tasks.push_back(Task<void>::spawn(pool.get_executor(), [&]() -> Async<void> {
      for (int i = nextFile++; i < files; i = nextFile++) {
        ResourceRow row;
        row.id = i + 1;
        row.assetID = AssetID{"bench-" + std::to_string(i)};
        row.relativePath = "2024/06/IMG_" + std::to_string(i) + ".HEIC";
        row.bytes = static_cast<std::int64_t>(size);
        try {
          auto outcome = co_await copier.copy(row);
          (outcome.kind == CopyOutcome::Case::verified ? verified : failed)++;
        } catch (const std::exception& e) {
          std::fprintf(stderr, "copy failed: %s\n", e.what());
          failed++;
        }
      }
    }));
  }
  for (auto& t : tasks)
    while (!t.isFinished()) std::this_thread::sleep_for(std::chrono::milliseconds(2));
  const double oursSeconds = seconds(t0);

  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  const double oursMBps = totalMB / oursSeconds, baselineMBps = totalMB / baselineSeconds;
  std::printf("files %d x %d MB, %d workers; verified %d, failed %d\n", files, megabytes, workers, verified.load(),
              failed.load());
  std::printf("baseline cp + sha256sum: %.1f s, %.1f MB/s\n", baselineSeconds, baselineMBps);
  std::printf("copier (verified):       %.1f s, %.1f MB/s\n", oursSeconds, oursMBps);
  std::printf("ratio copier/baseline:   %.2f (target >= 0.80)\n", oursMBps / baselineMBps);
  std::printf("peak RSS:                %.1f MB\n", usage.ru_maxrss / 1024.0);
  fileThreads.join();
  pool.stop();
  pool.join();
  fs::remove_all(root);
  return failed.load() == 0 ? 0 : 1;
}
