#pragma once
// A local buffer file between a copy's download (the producer) and its share
// writer (the consumer), so that a slow share does not hold a download in
// memory and a slow download does not hold the share.
//
// The spool file is "<random UUID>.spool" in the spool folder, opened twice:
// one handle appends, the other reads from the start. The producer appends
// and signals; the consumer takes up to N bytes at a time and, when it has
// caught up, waits for the next signal. Signals keep only the newest
// undelivered one, so a burst of appends wakes the consumer once.
//
// Thread safety: one producer and one consumer, on any threads; `finished`
// and `failure` are under a lock never held across a suspension.
// Errors of the spool file are SpoolFailure (text "local spool: " + the
// redacted text of the underlying error, which is kept as the nested
// exception).
#include <cstddef>
#include <cstdint>
#include <exception>
#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <stdexcept>

#include "archive/PhotoSource.h"
#include "core/async/Async.h"
#include "core/async/Stream.h"

namespace kv {

class SpoolFailure : public std::runtime_error {
 public:
  // Made inside a catch block of the underlying error, which it keeps
  // (throw it with std::throw_with_nested).
  explicit SpoolFailure(const std::exception& underlying);
  explicit SpoolFailure(const std::string& underlyingText);
};

// Throws `SpoolFailure` for the error being handled, nesting it.
[[noreturn]] void throwSpoolFailure();

class Spool {
 public:
  // Creates the spool folder with all missing parents, the empty spool file
  // and its two handles. Throws SpoolFailure.
  static std::shared_ptr<Spool> create(const std::filesystem::path& directory);

  ~Spool();  // closes what is still open and deletes the file
  Spool(const Spool&) = delete;
  Spool& operator=(const Spool&) = delete;

  const std::filesystem::path& path() const { return path_; }

  // Producer: writes the bytes at the end, then signals. Throws SpoolFailure.
  void append(std::span<const std::uint8_t> bytes);
  // Producer: marks the end (with an error, the consumer receives it once it
  // has read everything), closes the write handle, ends the signals.
  void finish(std::exception_ptr failure = nullptr);

  // Consumer: the next bytes (at most `maxBytes`, at least one), or nothing
  // at the end. Throws CancelledError when the calling task is cancelled, the
  // producer's failure after the last bytes, SpoolFailure for a read error.
  Async<std::optional<ByteChunk>> next(std::size_t maxBytes);

  // Consumer: closes the read handle and deletes the file (errors ignored).
  void close();

 private:
  Spool(std::filesystem::path path, int writer, int reader);

  std::filesystem::path path_;
  int writer_ = -1;  // producer's; -1 once closed
  int reader_ = -1;  // consumer's; -1 once closed
  std::mutex mutex_;
  bool finished_ = false;       // guarded by mutex_
  std::exception_ptr failure_;  // guarded by mutex_
  bool closed_ = false;         // guarded by mutex_
  AsyncStream<bool> wakeups_{StreamBuffering::newestOnly};
};

}  // namespace kv
