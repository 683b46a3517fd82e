#include "archive/SidecarPhase.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <deque>
#include <exception>
#include <system_error>

#include "archive/ShareErrors.h"
#include "archive/XMPSidecar.h"
#include "core/async/Task.h"

namespace kv {

namespace {

// Verified rows read from the catalog at once: a few hundred kB of records.
constexpr std::int64_t kSidecarPageSize = 1'000;

[[noreturn]] void throwPosix(int code, const std::string& what) {
  throw std::system_error(code, std::generic_category(), what);
}

}  // namespace

std::string sidecarRelativePath(std::string_view originalRelativePath) {
  return std::string(originalRelativePath) + ".xmp";
}

void writeFileAtomically(const std::filesystem::path& root, const std::filesystem::path& target,
                         std::string_view text) {
  // A share that went away leaves an empty mount point (or nothing) behind;
  // creating folders there would write the archive onto the local disk.
  struct stat rootStat {};
  if (::stat(root.c_str(), &rootStat) != 0) throwPosix(errno, "destination folder " + root.string());
  if (!S_ISDIR(rootStat.st_mode)) throwPosix(ENOTDIR, "destination folder " + root.string());

  const std::filesystem::path folder = target.parent_path();
  std::error_code ec;
  std::filesystem::create_directories(folder, ec);
  if (ec) throwPosix(ec.value(), "create folder " + folder.string());

  std::filesystem::path temporary = target;
  temporary += ".partial";
  int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0644);
  if (fd < 0) throwPosix(errno, "create " + temporary.string());

  auto fail = [&](int code, const std::string& what) {
    if (fd >= 0) ::close(fd);
    ::unlink(temporary.c_str());
    throwPosix(code, what);
  };

  const char* data = text.data();
  std::size_t left = text.size();
  while (left > 0) {
    ssize_t n = ::write(fd, data, left);
    if (n < 0) {
      if (errno == EINTR) continue;
      fail(errno, "write " + temporary.string());
    }
    data += n;
    left -= static_cast<std::size_t>(n);
  }
  // Without the flush a crash could leave an empty file under the final
  // name while the catalog believes the sidecar current. File systems that
  // cannot flush a plain file answer EINVAL; nothing more can be done there.
  if (::fsync(fd) != 0 && errno != EINVAL) fail(errno, "flush " + temporary.string());
  // A network file system may report a failed write only at close.
  int closed = ::close(fd);
  fd = -1;
  if (closed != 0 && errno != EINTR) fail(errno, "close " + temporary.string());

  if (::rename(temporary.c_str(), target.c_str()) != 0) {
    fail(errno, "rename " + temporary.string() + " to " + target.filename().string());
  }
}

namespace {

// One sidecar on its way: written (or being written), then recorded in the
// catalog and reported, in the order of the rows.
struct SidecarWrite {
  AssetID asset;
  std::string relativePath;
  std::string hash;
  std::optional<Task<std::exception_ptr>> onFileExecutor;
  std::exception_ptr inlineFailure;
};

// The file calls of this many sidecars may be under way at once: each waits
// mostly for the share to flush its few kilobytes, so a sequential phase
// would spend its time waiting on one flush after another.
constexpr std::size_t kSidecarWritesInFlight = 8;

Async<std::exception_ptr> outcomeOf(SidecarWrite& write) {
  if (write.onFileExecutor) co_return co_await write.onFileExecutor->value();
  co_return write.inlineFailure;
}

}  // namespace

Async<SidecarPhaseResult> SidecarPhase::run(std::function<void(const SidecarProgress&)> report) const {
  SidecarPhaseResult result;
  // Written sidecars are recorded and reported strictly in row order; only
  // the file calls run ahead, and only on the file executor (inline there is
  // nothing to overlap).
  const std::size_t window = fileExecutor ? kSidecarWritesInFlight : 1;
  std::deque<SidecarWrite> inFlight;

  auto start = [&](SidecarWrite write, std::string text) {
    auto call = [writeFile = writeFile, root = destination, target = destination / write.relativePath,
                 text = std::move(text)]() -> std::exception_ptr {
      try {
        writeFile(root, target, text);
        return nullptr;
      } catch (...) {
        return std::current_exception();
      }
    };
    if (fileExecutor) {
      write.onFileExecutor = Task<std::exception_ptr>::spawn(
          *fileExecutor, [call = std::move(call)]() -> Async<std::exception_ptr> { co_return call(); });
    } else {
      write.inlineFailure = call();
    }
    inFlight.push_back(std::move(write));
  };

  // Records the oldest write once it has ended; a failed one ends the phase.
  auto finishOldest = [&]() -> Async<void> {
    SidecarWrite write = std::move(inFlight.front());
    inFlight.pop_front();
    const std::exception_ptr failure = co_await outcomeOf(write);
    if (failure) {
      // Out of space → shareFull(0); anything else → destinationUnavailable.
      // The file error stays attached for whoever walks the chain.
      ZovarIviduvaError error = classifyShareError(failure, 0);
      try {
        std::rethrow_exception(failure);
      } catch (...) {
        std::throw_with_nested(std::move(error));
      }
    }
    co_await catalog->recordSidecar(write.asset, write.relativePath, write.hash, clock->now());
    ++result.written;
    ArchiveTotals totals = co_await catalog->totals();
    if (report) {
      report(SidecarProgress{std::move(totals), std::filesystem::path(write.relativePath).filename().string(),
                             write.relativePath});
    }
  };

  std::exception_ptr stopped;
  try {
    // The verified rows come with their assets and stored hashes a page at
    // a time: one catalog read per page rather than two per original.
    std::vector<VerifiedRowWithSidecarInputs> page;
    std::size_t next = 0;
    std::int64_t lastID = 0;
    for (;;) {
      // A short page is not the end: the catalog ends a page before a row
      // it cannot read, and the next read fails with that row's error.
      if (next == page.size()) {
        page = co_await catalog->verifiedRowsWithSidecarInputs(lastID, kSidecarPageSize);
        next = 0;
        if (page.empty()) break;
        lastID = *page.back().row.id;
      }
      VerifiedRowWithSidecarInputs& candidate = page[next++];
      const ResourceRow& row = candidate.row;
      if (row.type != ResourceType::original) continue;
      co_await checkCancellation();

      if (!candidate.asset) {
        ++result.skipped;
        continue;
      }
      const XMPSidecar::Inputs inputs = XMPSidecar::makeInputs(candidate.asset->first, candidate.asset->second);
      std::string hash = XMPSidecar::inputsHash(inputs);
      if (candidate.sidecarInputsHash && *candidate.sidecarInputsHash == hash) {
        ++result.current;
        continue;
      }
      if (inFlight.size() >= window) co_await finishOldest();
      start(SidecarWrite{row.assetID, sidecarRelativePath(row.relativePath), std::move(hash), std::nullopt, nullptr},
            XMPSidecar::document(inputs));
    }
    while (!inFlight.empty()) co_await finishOldest();
  } catch (...) {
    stopped = std::current_exception();
  }
  if (stopped) {
    // Nothing of this phase may still touch the share once it has ended.
    // Sidecars written but not recorded are written again next run.
    for (auto& write : inFlight) (void)co_await outcomeOf(write);
    std::rethrow_exception(stopped);
  }
  co_return result;
}

}  // namespace kv
