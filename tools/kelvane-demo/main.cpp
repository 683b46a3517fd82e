// kelvane-demo: Kelvane's main job on a local setup. A folder of generated
// sample photos is archived, verified, to an SMB share reached through our
// tunnel (molerun) and mounted with rclone; then the copies on the server are
// hashed and compared with the catalog, and a second sync must find nothing
// to copy.
//
//   kelvane-demo --molerun <path> --smb-port <port> --share <name>
//                --user <name> --share-folder <path> --work <folder>
//                [--local-port <port>] [--workers <n>]
//
// The SMB password comes from the environment (KELVANE_DEMO_SMB_PASSWORD), so
// that it never appears on a command line. scripts/demo starts the Samba
// server and removes everything afterwards. Everything runs on 127.0.0.1.
// Exit status 0 when every step succeeded, 1 otherwise, 2 on bad arguments.
#include <unistd.h>

#include <asio/thread_pool.hpp>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <map>
#include <mutex>
#include <random>
#include <string>
#include <thread>

#include "archive/ArchiveEngine.h"
#include "archive/Catalog.h"
#include "archive/FileOperations.h"
#include "core/Log.h"
#include "core/NASConfig.h"
#include "core/NASCredentials.h"
#include "core/Redaction.h"
#include "core/Situation.h"
#include "core/async/Task.h"
#include "naslink/BackgroundCall.h"
#include "naslink/MolerunTunnel.h"
#include "naslink/NASLink.h"
#include "naslink/NetFSShareMounter.h"
#include "platform/linux/naslink/RcloneMountService.h"
#include "tools/kelvane-demo/DemoFolderSource.h"
#include "platform/linux/core/AllocatorTuning.h"

namespace fs = std::filesystem;
using namespace kv;

namespace {

constexpr const char* kPasswordEnv = "KELVANE_DEMO_SMB_PASSWORD";

std::mutex outMu;

// Every line the demo prints passes through here (redacted once more: no
// token or password may reach the terminal).
void say(const std::string& line) {
  std::lock_guard lk(outMu);
  std::cout << redact(line) << std::endl;
}

// The system log of the demo: notices and errors on standard output,
// private arguments hidden.
class StdoutLog final : public SystemLog {
 public:
  void write(LogLevel level, std::string_view, std::string_view category, std::string_view format,
             const std::vector<LogArg>& args) override {
    if (level < LogLevel::notice) return;
    say("  [log " + std::string(category) + " " + std::string(logLevelName(level)) + "] " +
        renderLogMessage(format, args, false));
  }
};

struct Arguments {
  fs::path molerun;
  int smbPort = 0;
  std::string share;
  std::string user;
  std::string password;
  fs::path shareFolder;
  fs::path work;
  int localPort = 0;
  int workers = 4;
};

int freePort() {
  asio::io_context io;
  asio::ip::tcp::acceptor a(io, asio::ip::tcp::endpoint(asio::ip::make_address("127.0.0.1"), 0));
  return a.local_endpoint().port();
}

std::string randomText(std::size_t n) {
  static const char alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
  std::random_device rd;
  std::string t;
  for (std::size_t i = 0; i < n; ++i) t += alphabet[rd() % (sizeof alphabet - 1)];
  return t;
}

std::string mib(std::int64_t bytes) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%.2f MiB", static_cast<double>(bytes) / (1024.0 * 1024.0));
  return buf;
}

std::string describeError(std::exception_ptr e) {
  try {
    std::rethrow_exception(e);
  } catch (const SituationConvertible& s) {
    return s.detail();
  } catch (const std::exception& x) {
    return x.what();
  } catch (...) {
    return "unknown error";
  }
}

// --- The sample library

// Writes `bytes` bytes that start like a file of that format.
void writeSample(const fs::path& file, std::string_view magic, std::size_t bytes, std::mt19937_64& rng,
                 Date modified) {
  std::string data(magic);
  data.reserve(bytes);
  while (data.size() < bytes) data.push_back(static_cast<char>(rng()));
  if (magic.substr(0, 2) == "\xFF\xD8") data.replace(data.size() - 2, 2, "\xFF\xD9");  // JPEG end marker
  std::ofstream(file, std::ios::binary).write(data.data(), static_cast<std::streamsize>(data.size()));
  fs::last_write_time(file, std::chrono::file_clock::from_sys(modified));
}

// A few dozen files: plain photos, Live Photos (a .MOV beside the still),
// edited renditions, RAW beside JPEG, videos. Dates spread over 2023 and 2024.
void makeLibrary(const fs::path& folder) {
  constexpr std::string_view jpeg("\xFF\xD8\xFF\xE0\x00\x10JFIF\x00", 11);
  constexpr std::string_view mov("\x00\x00\x00\x14" "ftypqt  ", 12);
  constexpr std::string_view dng("II*\x00\x08\x00\x00\x00", 8);
  fs::create_directories(folder);
  std::mt19937_64 rng(2026);
  std::uniform_int_distribution<std::size_t> photoSize(60'000, 900'000);
  const Date base = fromUnixSeconds(1'673'000'000);  // January 2023
  int n = 1;
  auto next = [&](const std::string& ext) {
    char name[32];
    std::snprintf(name, sizeof name, "IMG_%04d%s", n, ext.c_str());
    return folder / name;
  };
  auto dateOf = [&](int i) { return addSeconds(base, Seconds(i * 23.0 * 86400.0 + 3600.0 * i)); };
  for (int i = 0; i < 14; ++i, ++n) writeSample(next(".JPG"), jpeg, photoSize(rng), rng, dateOf(n));
  for (int i = 0; i < 4; ++i, ++n) {  // Live Photos
    writeSample(next(".JPG"), jpeg, photoSize(rng), rng, dateOf(n));
    writeSample(next(".MOV"), mov, 1'500'000 + photoSize(rng), rng, dateOf(n));
  }
  for (int i = 0; i < 3; ++i, ++n) {  // edited renditions, saved a day later
    writeSample(next(".JPG"), jpeg, photoSize(rng), rng, dateOf(n));
    writeSample(next("_edited.JPG"), jpeg, photoSize(rng), rng, addSeconds(dateOf(n), Seconds(86400)));
  }
  for (int i = 0; i < 3; ++i, ++n) {  // RAW + JPEG
    writeSample(next(".JPG"), jpeg, photoSize(rng), rng, dateOf(n));
    writeSample(next(".DNG"), dng, 2'000'000 + photoSize(rng), rng, dateOf(n));
  }
  for (int i = 0; i < 2; ++i, ++n) writeSample(next(".MOV"), mov, 3'000'000 + photoSize(rng), rng, dateOf(n));
}

// --- Progress

class ProgressPrinter {
 public:
  void operator()(const ArchiveProgress& p) {
    std::lock_guard lk(mu_);
    const std::string phase(storedString(p.phase));
    const auto& t = p.totals;
    std::string line;
    if (p.phase == ArchivePhase::enumerating) {
      // The start, the list of assets, and the end of the resource check.
      const auto e = p.enumeration.value_or(ArchiveProgress::Enumeration{});
      const bool checkDone = e.toCheck && e.checked && *e.checked == *e.toCheck;
      const bool firstCheck = e.toCheck && !(last_.enumeration && last_.enumeration->toCheck);
      if (p.phase == last_.phase && !checkDone && !firstCheck && (e.toCheck || e.found != 0)) {
        last_ = p;
        return;
      }
      if (p == last_) return;
      line = "  [enumerating] assets found " + std::to_string(e.found);
      if (e.toCheck) {
        line += ", resources of new or changed assets checked " + std::to_string(e.checked.value_or(0)) + "/" +
                std::to_string(*e.toCheck);
      }
    } else if (p.phase == ArchivePhase::copying) {
      if (p.currentFilename == last_.currentFilename && p.phase == last_.phase &&
          p.bytesCopiedThisRun == last_.bytesCopiedThisRun) {
        return;
      }
      line = "  [copying] " + std::to_string(t.resourcesPending) + " pending, " +
             std::to_string(t.assetsFullyVerified) + "/" + std::to_string(t.assets) + " assets verified, " +
             mib(p.bytesCopiedThisRun) + " copied";
      if (p.currentFilename) line += ", done: " + *p.currentFilename;
    } else if (p.phase == ArchivePhase::verifying) {
      ++checked_;
      if (last_.phase == ArchivePhase::verifying && checked_ % 10 != 0) {
        last_ = p;
        return;
      }
      line = "  [verifying] " + std::to_string(checked_) + " copies checked";
    } else {
      if (p.phase == last_.phase && p.totals == last_.totals) return;
      if (last_.phase == ArchivePhase::verifying) {
        say("  [verifying] " + std::to_string(checked_) + " copies checked");
      }
      line = "  [" + phase + "] " + std::to_string(t.assets) + " assets (" + std::to_string(t.assetsFullyVerified) +
             " fully verified), " + std::to_string(t.resourcesPending) + " files pending, " +
             std::to_string(t.resourcesFailed) + " failed, " + mib(t.bytesVerified) + " verified on the share";
    }
    last_ = p;
    say(line);
  }

 private:
  std::mutex mu_;
  ArchiveProgress last_;
  std::int64_t checked_ = 0;
};

void printSummary(const std::string& title, const RunSummary& s) {
  say(title + ": outcome " + std::string(storedString(s.outcome)) + ", trigger " +
      std::string(storedString(s.trigger)) + ", assets seen " + std::to_string(s.assetsSeen) +
      ", resources verified " + std::to_string(s.resourcesVerified) + ", failed " +
      std::to_string(s.resourcesFailed) + ", bytes copied " + std::to_string(s.bytesCopied) + " (" +
      mib(s.bytesCopied) + "), took " + std::to_string(secondsBetween(s.startedAt, s.endedAt).count()).substr(0, 5) +
      " s");
}

struct Failure : std::runtime_error {
  using std::runtime_error::runtime_error;
};

void require(bool ok, const std::string& what) {
  if (!ok) throw Failure(what);
}

// --- The run

struct Demo {
  Arguments args;
  Executor executor;
  Executor fileExecutor;
  Executor readExecutor;
  std::shared_ptr<Clock> clock = std::make_shared<SystemClock>();
  std::shared_ptr<SystemLog> log = std::make_shared<StdoutLog>();

  std::shared_ptr<ArchiveEngine> engine(const std::shared_ptr<PhotoSource>& source,
                                        const std::shared_ptr<Catalog>& catalog, const fs::path& destination) {
    ArchiveEngineOptions options;
    options.concurrency = args.workers;
    ArchiveEngineServices services;
    services.executor = executor;
    services.clock = clock;
    services.log = KVLog::make(log, KVLog::archive);
    services.fileExecutor = fileExecutor;
    services.spoolDirectory = args.work / "spool";
    return ArchiveEngine::make(source, nullptr, catalog, destination, options, services);
  }

  // The rows that are not verified, with their last error.
  Async<void> listUnfinished(const std::shared_ptr<Catalog>& catalog, std::int64_t rows) {
    for (std::int64_t id = 1; id <= rows + 16; ++id) {
      const auto row = co_await catalog->resource(id);
      if (!row || row->state == ResourceState::verified) continue;
      say("  not verified: " + row->relativePath + " (" + std::string(storedString(row->state)) + ", attempts " +
          std::to_string(row->attempts) + "): " + row->lastError.value_or("no error recorded"));
    }
  }

  // The archive as the server sees it, each copy's digest compared with the
  // catalog's. Returns the number of catalog files found intact.
  Async<std::int64_t> checkOnServer(const std::shared_ptr<Catalog>& catalog, const fs::path& serverArchive) {
    const auto rows = co_await catalog->verifiedResources();
    std::map<std::string, ResourceRow> byPath;
    for (const auto& r : rows) byPath[r.relativePath] = r;

    say("");
    say("Archive tree on the server (" + std::string("<share>/") + "Kelvane):");
    std::vector<fs::path> files;
    for (auto& e : fs::recursive_directory_iterator(serverArchive)) {
      if (e.is_regular_file()) files.push_back(fs::relative(e.path(), serverArchive));
    }
    std::sort(files.begin(), files.end());
    std::int64_t matching = 0, sidecars = 0;
    std::vector<std::string> problems;
    for (const auto& rel : files) {
      const fs::path onServer = serverArchive / rel;
      const std::string digest = Hashing::sha256(onServer);
      const auto size = fs::file_size(onServer);
      char sizeText[24];
      std::snprintf(sizeText, sizeof sizeText, "%9ju", static_cast<std::uintmax_t>(size));
      std::string mark;
      if (auto it = byPath.find(rel.string()); it != byPath.end()) {
        const bool same = it->second.sha256 && *it->second.sha256 == digest;
        mark = same ? "= catalog" : "DIFFERENT from the catalog";
        if (same) {
          ++matching;
        } else {
          problems.push_back(rel.string() + " differs from the catalog");
        }
      } else if (rel.extension() == ".xmp") {
        mark = "sidecar";
        ++sidecars;
      } else {
        mark = "NOT IN THE CATALOG";
        problems.push_back(rel.string() + " is not in the catalog");
      }
      say("  " + rel.string() + std::string(rel.string().size() < 34 ? 34 - rel.string().size() : 1, ' ') +
          sizeText + "  " + digest.substr(0, 16) + "…  " + mark);
    }
    for (const auto& [path, row] : byPath) {
      if (!fs::exists(serverArchive / path)) problems.push_back(path + " is missing on the share");
    }
    for (const auto& p : problems) say("  problem: " + p);
    require(problems.empty(), std::to_string(problems.size()) + " problems on the share");
    require(matching == static_cast<std::int64_t>(rows.size()) && matching > 0, "not every catalog file was found");
    say("all " + std::to_string(matching) + " files verified on the share (SHA-256 read on the server = catalog), " +
        std::to_string(sidecars) + " XMP sidecars beside them");
    co_return matching;
  }

  Async<void> run(std::shared_ptr<NASLink> link) {
    const fs::path library = args.work / "library";
    makeLibrary(library);
    const auto scanned = DemoFolderSource::scan(library);
    std::map<AssetKind, int> kinds;
    std::size_t fileCount = 0;
    std::int64_t libraryBytes = 0;
    for (const auto& a : scanned) {
      ++kinds[a.record.kind];
      for (const auto& r : a.resources) {
        ++fileCount;
        libraryBytes += *r.descriptor.expectedBytes;
      }
    }
    say("Sample library: " + std::to_string(fileCount) + " files (" + mib(libraryBytes) + ") in " +
        std::to_string(scanned.size()) + " assets: " + std::to_string(kinds[AssetKind::photo]) + " photos, " +
        std::to_string(kinds[AssetKind::livePhoto]) + " Live Photos, " + std::to_string(kinds[AssetKind::video]) +
        " videos");

    NASConfig config;
    config.molerunAddr = std::string(kTunnelTokenPrefix) + randomText(28) + "@127.0.0.1";
    config.smbShare = args.share;
    config.destSubdir = "Kelvane";
    config.localPort = static_cast<std::uint16_t>(args.localPort);
    config.remoteSMB = std::to_string(args.smbPort);
    say("");
    say("Connecting: " + config.describe());
    const fs::path destination = co_await link->connect(config, NASCredentials{args.user, args.password});
    say("Connected; the archive goes to " + destination.string());

    auto catalog = co_await Catalog::open(executor, args.work / "data" / kCatalogFileName);
    auto source = std::make_shared<DemoFolderSource>(library, readExecutor);

    say("");
    say("Sync 1 (manual):");
    ProgressPrinter progress1;
    const RunSummary first = co_await engine(source, catalog, destination)
                                 ->sync(RunTrigger::manual, [&](const ArchiveProgress& p) { progress1(p); });
    printSummary("Sync 1 summary", first);
    if (first.outcome != RunOutcome::complete) co_await listUnfinished(catalog, static_cast<std::int64_t>(fileCount));
    require(first.outcome == RunOutcome::complete, "the first sync did not complete");
    require(first.resourcesVerified == static_cast<std::int64_t>(fileCount), "not every file was copied");

    say("");
    say("Verification:");
    ProgressPrinter progress2;
    const std::int64_t putBack =
        co_await engine(source, catalog, destination)->verifyArchive([&](const ArchiveProgress& p) { progress2(p); });
    const ArchiveTotals afterVerify = co_await catalog->totals();
    require(afterVerify.lastVerifyRun.has_value(), "the verification left no summary");
    printSummary("Verification summary", *afterVerify.lastVerifyRun);
    require(putBack == 0 && afterVerify.lastVerifyRun->outcome == RunOutcome::complete,
            std::to_string(putBack) + " copies failed verification");

    co_await checkOnServer(catalog, args.shareFolder / config.destSubdir);

    say("");
    say("Sync 2 (nothing changed, so nothing to copy):");
    ProgressPrinter progress3;
    const RunSummary second = co_await engine(source, catalog, destination)
                                  ->sync(RunTrigger::manual, [&](const ArchiveProgress& p) { progress3(p); });
    printSummary("Sync 2 summary", second);
    const ArchiveTotals totals = co_await catalog->totals();
    require(second.outcome == RunOutcome::complete, "the second sync did not complete");
    require(second.bytesCopied == 0 && totals.resourcesPending == 0, "the second sync copied again");
    say("Nothing to copy: " + std::to_string(totals.assetsFullyVerified) + "/" + std::to_string(totals.assets) +
        " assets fully verified, " + mib(totals.bytesVerified) + " on the share");
  }

  Async<int> runAll() {
    auto tunnel = std::make_shared<MolerunTunnel>(executor, clock, args.molerun,
                                                  MolerunTunnel::Timing{Seconds(15), Seconds(0.2), Seconds(3)},
                                                  [](const std::string& line) { say("  [tunnel] " + line); });
    auto mounter = std::make_shared<NetFSShareMounter>(std::make_shared<RcloneMountService>(), clock,
                                                       args.work / "mounts");
    auto link = std::make_shared<NASLink>(executor, tunnel, mounter, clock, Seconds(10));
    std::exception_ptr error;
    try {
      co_await run(link);
    } catch (...) {
      error = std::current_exception();
    }
    say("");
    say("Disconnecting");
    co_await link->disconnect();
    const bool stillMounted = !mounter->pathsUnderRoot().empty();
    if (stillMounted) say("the share is still mounted after the disconnect");
    if (error) {
      say("FAILED: " + describeError(error));
      co_return 1;
    }
    if (stillMounted) co_return 1;
    say("Demo finished: the library is archived and verified on the share.");
    co_return 0;
  }
};

int usage(const std::string& why) {
  std::cerr << "kelvane-demo: " << why << "\n"
            << "usage: kelvane-demo --molerun <path> --smb-port <port> --share <name> --user <name>\n"
            << "                    --share-folder <path> --work <folder> [--local-port <port>] [--workers <n>]\n"
            << "       (the SMB password in " << kPasswordEnv << ")\n";
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  kv::tuneAllocatorForLargeBuffers();
  Arguments args;
  for (int i = 1; i < argc; ++i) {
    const std::string key = argv[i];
    if (i + 1 >= argc) return usage("missing value after " + key);
    const std::string value = argv[++i];
    if (key == "--molerun") {
      args.molerun = value;
    } else if (key == "--smb-port") {
      args.smbPort = std::atoi(value.c_str());
    } else if (key == "--local-port") {
      args.localPort = std::atoi(value.c_str());
    } else if (key == "--workers") {
      args.workers = std::atoi(value.c_str());
    } else if (key == "--share") {
      args.share = value;
    } else if (key == "--user") {
      args.user = value;
    } else if (key == "--share-folder") {
      args.shareFolder = value;
    } else if (key == "--work") {
      args.work = value;
    } else {
      return usage("unknown option " + key);
    }
  }
  const char* password = std::getenv(kPasswordEnv);
  if (args.molerun.empty() || args.smbPort <= 0 || args.smbPort > 65535 || args.share.empty() ||
      args.user.empty() || args.shareFolder.empty() || args.work.empty() || !password || !*password) {
    return usage("missing arguments");
  }
  args.password = password;
  ::unsetenv(kPasswordEnv);  // not inherited by the helpers
  if (args.localPort == 0) args.localPort = freePort();

  asio::thread_pool pool(4);
  asio::thread_pool fileThreads(4);
  asio::thread_pool readThreads(2);
  auto demo = std::make_shared<Demo>();
  demo->args = args;
  demo->executor = pool.get_executor();
  demo->fileExecutor = fileThreads.get_executor();
  demo->readExecutor = readThreads.get_executor();

  int status = 1;
  {
    auto task = Task<int>::spawn(pool.get_executor(), [demo]() -> Async<int> { co_return co_await demo->runAll(); });
    // Bounded: a hung step ends the demo rather than the machine's patience.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::minutes(10);
    while (!task.isFinished()) {
      if (std::chrono::steady_clock::now() > deadline) {
        say("FAILED: the demo did not finish within 10 minutes");
        std::_Exit(1);
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    try {
      status = task.get();
    } catch (...) {
      say("FAILED: " + describeError(std::current_exception()));
      status = 1;
    }
  }
  demo.reset();
  // Let the link's last blocking calls (unmount, process reaping) end.
  const auto settle = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (backgroundCallsRunning() != 0 && std::chrono::steady_clock::now() < settle) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  readThreads.join();
  fileThreads.join();
  pool.join();
  return status;
}
