#pragma once
// The file-system device number of a path (the st_dev of stat(2)), which
// tells whether a folder is still on the volume it was on: a share that was
// unmounted and replaced by the empty mount point, or mounted again, has
// another one. Nothing when the path cannot be examined.
#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>

namespace kv {

using DeviceOf = std::function<std::optional<std::uint64_t>(const std::filesystem::path&)>;

std::optional<std::uint64_t> deviceNumberOf(const std::filesystem::path& path);

}  // namespace kv
