#include "archive/FileOperations.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <system_error>
#include <vector>

#include "archive/Sha256.h"

namespace kv {
namespace {

[[noreturn]] void throwFileError(const char* what, const std::filesystem::path& file, int code) {
  throw std::filesystem::filesystem_error(what, file, std::error_code(code, std::generic_category()));
}

}  // namespace

void appendChunk(int fd, std::span<const std::uint8_t> bytes) {
  while (!bytes.empty()) {
    const ssize_t n = ::write(fd, bytes.data(), bytes.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      throw std::system_error(errno, std::generic_category(), "write");
    }
    if (n == 0) throw std::system_error(EIO, std::generic_category(), "write made no progress");
    bytes = bytes.subspan(static_cast<std::size_t>(n));
  }
}

std::string Hashing::sha256(const std::filesystem::path& file) {
  const int fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) throwFileError("cannot open for hashing", file, errno);
  // Read the share, not what the kernel still holds of the file we wrote.
  (void)::posix_fadvise(fd, 0, 0, POSIX_FADV_DONTNEED);
  Sha256 digest;
  std::vector<std::uint8_t> piece(kPieceSize);
  for (;;) {
    const ssize_t n = ::read(fd, piece.data(), piece.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      const int code = errno;
      ::close(fd);
      throwFileError("cannot read for hashing", file, code);
    }
    if (n == 0) break;
    digest.update(std::span<const std::uint8_t>(piece.data(), static_cast<std::size_t>(n)));
  }
  ::close(fd);
  return digest.finishHex();
}

}  // namespace kv
