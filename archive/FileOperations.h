#pragma once
// The two file operations the copier is given, so that tests can inject
// faults ("fail the third write with ENOSPC", "read back other bytes"), and
// their real implementations.
//
// Errors: both throw std::system_error of the generic (POSIX) category, or
// std::filesystem::filesystem_error (which is one) naming the path; the
// copier classifies them by their POSIX code (ShareErrors.h).
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <span>
#include <string>

namespace kv {

// Appends all of `bytes` to the open file descriptor `fd` (a short write is
// retried; a failed one throws). Called from the copy's own task, one chunk
// at a time per file.
using WriteChunk = std::function<void(int fd, std::span<const std::uint8_t> bytes)>;

// The lowercase hexadecimal SHA-256 digest of the file at a path. Called
// concurrently by several copies, each for its own file.
using HashFile = std::function<std::string(const std::filesystem::path& file)>;

// The plain write(2) loop (EINTR retried).
void appendChunk(int fd, std::span<const std::uint8_t> bytes);

// Reads a file in pieces of 1 MiB and feeds them to SHA-256. Before reading
// it asks the kernel to drop its cached pages of the file
// (POSIX_FADV_DONTNEED), so that a file just written to the share is read
// back from the share and not from memory.
struct Hashing {
  static constexpr std::size_t kPieceSize = 1'048'576;
  // Throws std::filesystem::filesystem_error naming the file.
  static std::string sha256(const std::filesystem::path& file);
};

}  // namespace kv
