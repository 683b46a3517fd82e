#include "archive/ResourceCopier.h"

#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <system_error>

#include "archive/CatalogError.h"
#include "archive/RandomUUID.h"
#include "archive/Sha256.h"
#include "archive/Spool.h"
#include "core/Redaction.h"
#include "core/async/Task.h"

namespace kv {

std::filesystem::path defaultSpoolDirectory() {
  const char* tmp = std::getenv("TMPDIR");
  std::filesystem::path base = (tmp && *tmp) ? std::filesystem::path(tmp) : std::filesystem::path("/tmp");
  return base / "Kelvane-spool";
}

void ResourceCopier::clearSpool() const {
  std::error_code ec;
  std::filesystem::directory_iterator it(spoolDirectory, ec);
  if (ec) return;
  for (; it != std::filesystem::directory_iterator(); it.increment(ec)) {
    if (ec) return;
    const auto name = it->path().filename().string();
    if (name.size() >= 6 && name.ends_with(".spool")) {
      std::error_code ignored;
      std::filesystem::remove(it->path(), ignored);
    }
  }
}

namespace {

// An error of writing to, or closing, the temporary file on the share; the
// cause is the nested exception.
class WriteFailure : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// What one download-and-write ends with.
struct WriteResult {
  bool targetAppeared = false;
  CopyOutcome outcome;     // when !targetAppeared
  std::string sha256;      // when targetAppeared
  std::int64_t bytes = 0;  // when targetAppeared
};

struct KnownDigest {
  std::string sha256;
  std::int64_t bytes = 0;
};

[[noreturn]] void throwPosix(const char* what, const std::filesystem::path& file, int code) {
  throw std::filesystem::filesystem_error(what, file, std::error_code(code, std::generic_category()));
}

std::exception_ptr posixError(const char* what, const std::filesystem::path& file, int code) {
  return std::make_exception_ptr(
      std::filesystem::filesystem_error(what, file, std::error_code(code, std::generic_category())));
}

// Whether anything (a file, a folder, a dangling link) holds the name.
bool nameTaken(const std::filesystem::path& path) {
  struct stat st;
  return ::lstat(path.c_str(), &st) == 0;
}

void removeQuietly(const std::filesystem::path& path) { ::unlink(path.c_str()); }

void addUpload(const std::shared_ptr<TransferMeter>& meter, TransferDirection direction, std::int64_t bytes,
               Date at, Seconds busy) {
  if (meter) meter->record(direction, bytes, at, busy);
}

// The move without replace: fails with EEXIST when the target exists.
int moveNoReplace(const std::filesystem::path& from, const std::filesystem::path& to) {
  if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) return 0;
  const int code = errno;
  if (code != EINVAL && code != ENOSYS && code != EOPNOTSUPP) return code;
  // The file system does not know the flag. rclone's FUSE mount of an SMB
  // share answers EINVAL for it, and EIO for link(), so the usual fallback (a
  // hard link, then unlink) is not available either. The best the share
  // allows is to check that the name is free and then rename; a file created
  // in between by someone else would be replaced, a window of microseconds
  // against an archive folder that only we write.
  if (nameTaken(to)) return EEXIST;
  if (::rename(from.c_str(), to.c_str()) == 0) return 0;
  return errno;
}

// Makes the share report the size just written before the copy is read back.
// rclone's mount can keep a size from a folder listing taken while the file
// was still being uploaded (other copies into the same folder list it all the
// time); a read-back would then end at that size. A listing of the folder
// started after the close sees the whole file, so the folder is listed once
// when the size is not what was written. Errors are left to the read-back.
void settleWrittenSize(const std::filesystem::path& file, std::int64_t written) {
  struct stat st;
  if (::stat(file.c_str(), &st) == 0 && st.st_size == written) return;
  std::error_code ec;
  for (std::filesystem::directory_iterator it(file.parent_path(), ec), end; !ec && it != end; it.increment(ec)) {
  }
}

// The pauses before a move is tried again when the share refuses it with EIO
// or EBUSY. A file just read back can still be open on the server for a
// moment (FUSE closes it after close(2) has returned), and an SMB server
// refuses to rename an open file, which rclone's mount reports as EIO.
constexpr double kMoveRetryPauses[] = {0.05, 0.2, 0.5, 1.0};

bool mayBeStillOpen(int moveCode) { return moveCode == EIO || moveCode == EBUSY; }

// The stall watchdog of one download: a task beside the consumer that
// abandons the source stream when no data arrives for the stall timeout or
// the rate over a crawl window falls below the threshold.
class StallWatch : public std::enable_shared_from_this<StallWatch> {
 public:
  StallWatch(std::shared_ptr<Clock> clock, std::optional<Seconds> timeout, std::optional<CrawlThreshold> crawl,
             DataStream stream, Logger log, std::string filename)
      : clock_(std::move(clock)),
        timeout_(timeout),
        crawl_(crawl),
        stream_(std::move(stream)),
        log_(std::move(log)),
        filename_(std::move(filename)) {
    lastChunk_ = windowStart_ = clock_->now();
  }

  void start(const Executor& ex) {
    task_ = Task<void>::spawn(ex, [self = shared_from_this()]() -> Async<void> { co_await self->watch(); });
  }

  void chunk(std::size_t bytes) {
    std::lock_guard lock(mutex_);
    lastChunk_ = clock_->now();
    windowBytes_ += static_cast<std::int64_t>(bytes);
  }

  // After each `next()` of the stream: throws the stall if there was one;
  // with `ended` (the stream reported its end or an error) the watchdog is
  // told to stand down, so that it cannot declare a stall afterwards.
  void check(bool ended) {
    std::lock_guard lock(mutex_);
    if (stalled_) throw *stalled_;
    if (ended) done_ = true;
  }

  void stop() {
    {
      std::lock_guard lock(mutex_);
      done_ = true;
    }
    task_.cancel();
  }

  Task<void> task() const { return task_; }

 private:
  Async<void> watch() {
    for (;;) {
      Date deadline;
      {
        std::lock_guard lock(mutex_);
        if (done_) co_return;
        std::optional<Date> d;
        if (timeout_) d = addSeconds(lastChunk_, *timeout_);
        if (crawl_) {
          const Date windowEnd = addSeconds(windowStart_, crawl_->window);
          d = d ? std::min(*d, windowEnd) : windowEnd;
        }
        deadline = *d;
      }
      co_await clock_->sleep(secondsBetween(clock_->now(), deadline));
      const Date now = clock_->now();
      std::optional<DownloadStalled> stall;
      {
        std::lock_guard lock(mutex_);
        if (done_) co_return;
        if (timeout_ && now >= addSeconds(lastChunk_, *timeout_)) {
          stall = DownloadStalled::silent(*timeout_);
        } else if (crawl_ && now >= addSeconds(windowStart_, crawl_->window)) {
          const double seconds = crawl_->window.count();
          const auto rate = static_cast<std::int64_t>(seconds > 0 ? windowBytes_ / seconds : 0);
          windowBytes_ = 0;
          if (rate < crawl_->bytesPerSecond) {
            stall = DownloadStalled::crawling(rate, crawl_->window);
          } else {
            windowStart_ = now;
          }
        }
        if (stall) stalled_ = *stall;
      }
      if (stall) {
        log_.error("{}: {}", pub(stall->what()), priv(redact(filename_)));
        // Ends the consumer's wait at once; `check` then throws the stall.
        stream_.cancel();
        co_return;
      }
    }
  }

  std::shared_ptr<Clock> clock_;
  std::optional<Seconds> timeout_;
  std::optional<CrawlThreshold> crawl_;
  DataStream stream_;
  Logger log_;
  std::string filename_;
  Task<void> task_;

  std::mutex mutex_;
  Date lastChunk_;                           // guarded by mutex_
  Date windowStart_;                         // guarded by mutex_
  std::int64_t windowBytes_ = 0;             // guarded by mutex_
  bool done_ = false;                        // guarded by mutex_
  std::optional<DownloadStalled> stalled_;   // guarded by mutex_
};

// The source's bytes of one resource, through the stall watchdog when a
// threshold is set. `forEach` is called with every chunk; the end of the
// stream returns, its error (or the stall) is thrown. The stream is ended
// (and the source's request cancelled) however this ends.
template <class ForEach>
Async<void> readSource(const ResourceCopier& copier, const ResourceDescriptor& descriptor, ForEach forEach) {
  DataStream stream = copier.source->data(descriptor, copier.networkAllowed);
  std::shared_ptr<StallWatch> watch;
  if (copier.stallTimeout || copier.crawl) {
    watch = std::make_shared<StallWatch>(copier.clock, copier.stallTimeout, copier.crawl, stream, copier.log,
                                         descriptor.originalFilename);
    watch->start(co_await asio::this_coro::executor);
  }
  std::exception_ptr error;
  try {
    for (;;) {
      std::optional<ByteChunk> chunk;
      try {
        chunk = co_await stream.next();
      } catch (...) {
        if (watch) watch->check(true);
        throw;
      }
      if (watch) watch->check(!chunk);
      if (!chunk) break;
      if (watch) watch->chunk(chunk->size());
      forEach(*chunk);
    }
  } catch (...) {
    error = std::current_exception();
  }
  stream.cancel();  // no effect after a normal end
  if (watch) {
    watch->stop();
    try {
      co_await watch->task().value();  // ends with CancelledError or normally
    } catch (...) {
    }
  }
  if (error) std::rethrow_exception(error);
}

// Runs a blocking file call on the copier's file executor (inline without one).
template <class F>
auto blocking(const ResourceCopier& copier, F f) -> Async<decltype(f())> {
  using R = decltype(f());
  if (!copier.fileExecutor) co_return f();
  co_return co_await asio::co_spawn(
      *copier.fileExecutor, [f = std::move(f)]() mutable -> Async<R> { co_return f(); }, asio::use_awaitable);
}

class CopyRun {
 public:
  CopyRun(const ResourceCopier& copier, ResourceRow row) : c_(copier), row_(std::move(row)) {
    originalPath_ = row_.relativePath;
    descriptor_.assetID = row_.assetID;
    descriptor_.type = row_.type;
    descriptor_.originalFilename = std::filesystem::path(row_.relativePath).filename().string();
    descriptor_.uti = "";
    descriptor_.expectedBytes = row_.bytes;
  }

  Async<CopyOutcome> run() {
    const auto target = c_.destination / row_.relativePath;
    if (nameTaken(target)) co_return co_await existingTarget(std::nullopt);
    WriteResult result = co_await downloadAndWrite(target, false);
    if (!result.targetAppeared) co_return result.outcome;
    co_return co_await existingTarget(KnownDigest{result.sha256, result.bytes});
  }

 private:
  // A file is at the target name.
  Async<CopyOutcome> existingTarget(std::optional<KnownDigest> digest) {
    for (;;) {
      const auto target = c_.destination / row_.relativePath;
      if (!digest) {
        std::exception_ptr error;
        try {
          digest = co_await digestOnly();
        } catch (...) {
          error = std::current_exception();
        }
        if (error) co_return co_await failedDownload(error);
      }

      bool relocateNow = false;
      std::exception_ptr hashError;
      std::string existing;
      try {
        existing = co_await blocking(c_, [&] { return c_.hashFile(target); });
      } catch (...) {
        hashError = std::current_exception();
      }
      if (hashError) {
        if (isUnavailableError(hashError) || isOutOfSpaceError(hashError) || destinationGone())
          throw classifyShareError(hashError, 0);
        relocateNow = isPermissionDeniedError(hashError);
      } else if (existing == digest->sha256) {
        co_return CopyOutcome::verified(digest->sha256, digest->bytes, true);
      }

      if (!relocateNow) {
        if (co_await c_.catalog->isOwned(row_.relativePath)) {
          // Our own earlier copy, now different: replace it atomically.
          WriteResult result = co_await downloadAndWrite(target, true);
          co_return result.outcome;
        }
        if (co_await isCancelled()) co_return CopyOutcome::cancelled();
      }

      // A foreign file (or one we may not read): give the row the next name.
      for (;;) {
        row_.relativePath = co_await c_.catalog->relocate(*row_.id, row_.relativePath);
        if (relocations_ == kMaxRelocations) {
          throw ZovarIviduvaError::destinationUnavailable(redact(std::to_string(kMaxRelocations) +
                                                                 " foreign files occupy the names for " +
                                                                 originalPath_ + "; try again later"));
        }
        ++relocations_;
        const auto next = c_.destination / row_.relativePath;
        if (nameTaken(next)) break;  // compare again at the new name
        WriteResult result = co_await downloadAndWrite(next, false);
        if (!result.targetAppeared) co_return result.outcome;
        digest = KnownDigest{result.sha256, result.bytes};
        break;
      }
    }
  }

  // The source's digest and size, writing nothing.
  Async<KnownDigest> digestOnly() {
    Sha256 sha;
    std::int64_t bytes = 0;
    co_await readSource(c_, descriptor_, [&](const ByteChunk& chunk) {
      sha.update(std::span<const std::uint8_t>(chunk));
      bytes += static_cast<std::int64_t>(chunk.size());
    });
    co_return KnownDigest{sha.finishHex(), bytes};
  }

  Async<CopyOutcome> failedDownload(std::exception_ptr error) {
    if (isCancellation(error) || co_await isCancelled()) co_return CopyOutcome::cancelled();
    co_return CopyOutcome::downloadFailed(errorText(error));
  }

  // The destination folder itself is gone (the share was unmounted, leaving
  // the empty mount point behind).
  bool destinationGone() const {
    struct stat st;
    return ::stat(c_.destination.c_str(), &st) != 0 || !S_ISDIR(st.st_mode);
  }

  // Creates the missing folders between the destination folder and the
  // target. The destination folder itself is never created here: when it is
  // missing the share is not there, and a folder made now would be made on
  // the local disk below the mount point.
  void makeFolders(const std::filesystem::path& folder) {
    if (destinationGone()) throwPosix("destination folder is missing", c_.destination, ENOENT);
    std::filesystem::create_directories(folder);
  }

  Async<WriteResult> downloadAndWrite(const std::filesystem::path& target, bool replace) {
    const auto folder = target.parent_path();
    try {
      makeFolders(folder);
    } catch (...) {
      throw classifyShareError(std::current_exception(), 0);
    }

    auto partial = std::filesystem::path(target.string() + ".partial");
    if (nameTaken(partial)) {
      std::error_code ec;
      std::filesystem::remove(partial, ec);
      if (ec || nameTaken(partial))
        partial = folder / (target.filename().string() + "." + randomUUIDString().substr(0, 8) + ".partial");
    }

    int fd = ::open(partial.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) throw classifyShareError(posixError("cannot create temporary file", partial, errno), 0);

    std::shared_ptr<Spool> spool;
    try {
      spool = Spool::create(c_.spoolDirectory);
    } catch (const std::exception& e) {
      ::close(fd);
      removeQuietly(partial);
      co_return WriteResult{false, CopyOutcome::downloadFailed(e.what()), {}, 0};
    }

    // The producer: source → digest and spool.
    const ResourceCopier& c = c_;
    const ResourceDescriptor descriptor = descriptor_;
    auto download = Task<std::string>::spawn(
        co_await asio::this_coro::executor, [&c, descriptor, spool]() -> Async<std::string> {
          Sha256 sha;
          Date last = c.clock->now();
          try {
            co_await readSource(c, descriptor, [&](const ByteChunk& chunk) {
              const Date now = c.clock->now();
              addUpload(c.meter, TransferDirection::download, static_cast<std::int64_t>(chunk.size()), now,
                        secondsBetween(last, now));
              last = now;
              sha.update(std::span<const std::uint8_t>(chunk));
              spool->append(chunk);
            });
          } catch (...) {
            spool->finish(std::current_exception());
            throw;
          }
          spool->finish();
          co_return sha.finishHex();
        });

    // Ends the copy's own tasks and files however it ends: the download is
    // cancelled (it may have ended already) and awaited, so that nothing of
    // this copy runs after it returns; the spool file is deleted.
    auto finishTasks = [&]() -> Async<void> {
      download.cancel();
      try {
        co_await download.value();
      } catch (...) {
      }
      spool->close();
    };
    auto dropPartial = [&] {
      if (fd >= 0) ::close(fd);
      fd = -1;
      removeQuietly(partial);
    };

    // The writer: spool → temporary file on the share.
    std::int64_t written = 0;
    std::exception_ptr writeError;  // a WriteFailure (cause nested)
    std::exception_ptr otherError;  // from the download side, through the spool
    std::string sourceDigest;
    try {
      for (;;) {
        auto chunk = co_await spool->next(c_.spoolChunk);
        if (!chunk) break;
        const Date t0 = c_.clock->now();
        try {
          co_await blocking(c_, [&] { c_.writeChunk(fd, std::span<const std::uint8_t>(*chunk)); });
        } catch (...) {
          std::throw_with_nested(WriteFailure("cannot write " + partial.string()));
        }
        const Date t1 = c_.clock->now();
        addUpload(c_.meter, TransferDirection::upload, static_cast<std::int64_t>(chunk->size()), t1,
                  secondsBetween(t0, t1));
        written += static_cast<std::int64_t>(chunk->size());
      }
      const Date t0 = c_.clock->now();
      const int closeCode = co_await blocking(c_, [&] {
        // Make the share hold every byte before we read the copy back: a
        // network file system may still be sending data when close returns.
        if (::fsync(fd) != 0 && errno != EINVAL && errno != ENOSYS) {
          const int e = errno;
          ::close(fd);
          return e;
        }
        (void)::posix_fadvise(fd, 0, 0, POSIX_FADV_DONTNEED);
        const int rc = ::close(fd);
        return rc == 0 ? 0 : errno;
      });
      fd = -1;  // closed even when close reports an error
      if (closeCode != 0) {
        try {
          throwPosix("cannot close temporary file", partial, closeCode);
        } catch (...) {
          std::throw_with_nested(WriteFailure("cannot close " + partial.string()));
        }
      }
      const Date t1 = c_.clock->now();
      addUpload(c_.meter, TransferDirection::upload, 0, t1, secondsBetween(t0, t1));
      sourceDigest = co_await download.value();
    } catch (const WriteFailure&) {
      writeError = std::current_exception();
    } catch (...) {
      otherError = std::current_exception();
    }

    if (writeError) {
      dropPartial();
      co_await finishTasks();
      if (isOutOfSpaceError(writeError))
        throw ZovarIviduvaError::shareFull(std::max(descriptor_.expectedBytes.value_or(0), written));
      throw ZovarIviduvaError::destinationUnavailable(redact(errorText(nestedOrSelf(writeError))));
    }
    if (otherError) {
      dropPartial();
      co_await finishTasks();
      co_return WriteResult{false, co_await failedDownload(otherError), {}, 0};
    }

    // Read back from the share.
    std::string readBack;
    std::exception_ptr readError;
    const Date r0 = c_.clock->now();
    try {
      readBack = co_await blocking(c_, [&] {
        settleWrittenSize(partial, written);
        return c_.hashFile(partial);
      });
    } catch (...) {
      readError = std::current_exception();
    }
    if (readError) {
      dropPartial();
      co_await finishTasks();
      throw classifyShareError(readError, 0);
    }
    const Date r1 = c_.clock->now();
    addUpload(c_.meter, TransferDirection::readback, written, r1, secondsBetween(r0, r1));

    if (readBack != sourceDigest) {
      dropPartial();
      co_await finishTasks();
      co_return WriteResult{false, CopyOutcome::mismatch(sourceDigest, readBack), {}, 0};
    }

    // Move into place.
    auto move = [&] {
      if (replace) return ::rename(partial.c_str(), target.c_str()) == 0 ? 0 : errno;
      return moveNoReplace(partial, target);
    };
    int moveCode = co_await blocking(c_, move);
    bool pauseCancelled = false;
    for (const double pause : kMoveRetryPauses) {
      if (!mayBeStillOpen(moveCode)) break;
      try {
        co_await c_.clock->sleep(Seconds(pause));
      } catch (const CancelledError&) {
        pauseCancelled = true;
      }
      if (pauseCancelled) break;
      moveCode = co_await blocking(c_, move);
    }
    co_await finishTasks();
    if (moveCode == 0) co_return WriteResult{false, CopyOutcome::verified(sourceDigest, written, false), {}, 0};
    if (pauseCancelled) {
      removeQuietly(partial);
      co_return WriteResult{false, CopyOutcome::cancelled(), {}, 0};
    }
    removeQuietly(partial);
    if (!replace && nameTaken(target)) co_return WriteResult{true, {}, sourceDigest, written};
    throw classifyShareError(posixError("cannot move the copy into place", target, moveCode), 0);
  }

  // The cause kept inside a WriteFailure, for its text.
  static std::exception_ptr nestedOrSelf(const std::exception_ptr& error) {
    try {
      std::rethrow_exception(error);
    } catch (const std::nested_exception& n) {
      if (n.nested_ptr()) return n.nested_ptr();
    } catch (...) {
    }
    return error;
  }

  const ResourceCopier& c_;
  ResourceRow row_;
  std::string originalPath_;
  ResourceDescriptor descriptor_;
  int relocations_ = 0;
};

}  // namespace

Async<CopyOutcome> ResourceCopier::copy(ResourceRow row) const {
  if (!row.id) throw CatalogError::unknownResource(-1);
  CopyRun run(*this, std::move(row));
  co_return co_await run.run();
}

}  // namespace kv
