#pragma once
// What the NAS link reports about itself (`NASLink::status`).
#include <filesystem>
#include <optional>

namespace kv {

struct NASStatus {
  bool tunnelUp = false;  // the tunnel's local port accepts connections
  bool mounted = false;   // a mount point is recorded
  bool healthy = false;   // a mount under the mount root answered a listing in time
  std::optional<std::filesystem::path> mountPoint;

  bool operator==(const NASStatus&) const = default;
};

}  // namespace kv
