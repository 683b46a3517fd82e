#include "archive/DeviceNumber.h"

#include <sys/stat.h>

namespace kv {

std::optional<std::uint64_t> deviceNumberOf(const std::filesystem::path& path) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) return std::nullopt;
  return static_cast<std::uint64_t>(st.st_dev);
}

}  // namespace kv
