#include "archive/Spool.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <system_error>

#include "archive/RandomUUID.h"
#include "core/Redaction.h"

namespace kv {

SpoolFailure::SpoolFailure(const std::exception& underlying)
    : std::runtime_error("local spool: " + redact(underlying.what())) {}

SpoolFailure::SpoolFailure(const std::string& underlyingText)
    : std::runtime_error("local spool: " + redact(underlyingText)) {}

void throwSpoolFailure() {
  try {
    throw;
  } catch (const SpoolFailure&) {
    throw;
  } catch (const std::exception& e) {
    std::throw_with_nested(SpoolFailure(e));
  } catch (...) {
    std::throw_with_nested(SpoolFailure(std::string("unknown error")));
  }
}

namespace {

[[noreturn]] void throwFileError(const char* what, const std::filesystem::path& file, int code) {
  throw std::filesystem::filesystem_error(what, file, std::error_code(code, std::generic_category()));
}

void closeQuietly(int& fd) {
  if (fd >= 0) ::close(fd);
  fd = -1;
}

}  // namespace

std::shared_ptr<Spool> Spool::create(const std::filesystem::path& directory) {
  try {
    std::filesystem::create_directories(directory);
    const auto path = directory / (randomUUIDString() + ".spool");
    int writer = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_APPEND | O_CLOEXEC, 0600);
    if (writer < 0) throwFileError("cannot create spool file", path, errno);
    int reader = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (reader < 0) {
      const int code = errno;
      ::close(writer);
      ::unlink(path.c_str());
      throwFileError("cannot open spool file for reading", path, code);
    }
    return std::shared_ptr<Spool>(new Spool(path, writer, reader));
  } catch (...) {
    throwSpoolFailure();
  }
}

Spool::Spool(std::filesystem::path path, int writer, int reader)
    : path_(std::move(path)), writer_(writer), reader_(reader) {}

Spool::~Spool() {
  closeQuietly(writer_);
  close();
}

void Spool::append(std::span<const std::uint8_t> bytes) {
  while (!bytes.empty()) {
    const ssize_t n = ::write(writer_, bytes.data(), bytes.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      try {
        throwFileError("cannot write spool file", path_, errno);
      } catch (...) {
        throwSpoolFailure();
      }
    }
    bytes = bytes.subspan(static_cast<std::size_t>(n));
  }
  wakeups_.yield(true);
}

void Spool::finish(std::exception_ptr failure) {
  {
    std::lock_guard lock(mutex_);
    if (finished_) return;
    finished_ = true;
    failure_ = failure;
  }
  closeQuietly(writer_);
  wakeups_.finish();
}

Async<std::optional<ByteChunk>> Spool::next(std::size_t maxBytes) {
  if (maxBytes == 0) maxBytes = 1;
  for (;;) {
    co_await checkCancellation();
    bool finished;
    std::exception_ptr failure;
    {
      std::lock_guard lock(mutex_);
      finished = finished_;
      failure = failure_;
      if (closed_) throw SpoolFailure(std::string("the spool is closed"));
    }
    // `finished` was read before the read, so everything appended before the
    // end is seen before the end is reported.
    ByteChunk data(maxBytes);
    ssize_t n;
    do {
      n = ::read(reader_, data.data(), data.size());
    } while (n < 0 && errno == EINTR);
    if (n < 0) {
      try {
        throwFileError("cannot read spool file", path_, errno);
      } catch (...) {
        throwSpoolFailure();
      }
    }
    if (n > 0) {
      data.resize(static_cast<std::size_t>(n));
      co_return std::optional<ByteChunk>(std::move(data));
    }
    if (!finished) {
      // Caught up: wait for the next append (or the end). A signal already
      // pending from an append we have read just costs one more empty read.
      co_await wakeups_.next();
      continue;
    }
    if (failure) std::rethrow_exception(failure);
    co_return std::nullopt;
  }
}

void Spool::close() {
  {
    std::lock_guard lock(mutex_);
    if (closed_) return;
    closed_ = true;
  }
  closeQuietly(reader_);
  ::unlink(path_.c_str());
}

}  // namespace kv
