#pragma once
// Mounts the NAS's SMB share through the tunnel's local port.
//
// Implementations are safe to call from any task, concurrently.
#include <filesystem>

#include "core/Date.h"
#include "core/NASConfig.h"
#include "core/NASCredentials.h"
#include "core/async/Async.h"

namespace kv {

class ShareMounter {
 public:
  virtual ~ShareMounter() = default;
  // Mounts the configuration's share (or returns the mount already there);
  // returns the mount point. Throws NASLinkError.
  virtual Async<std::filesystem::path> mount(NASConfig config, NASCredentials credentials) = 0;
  // Force-unmounts everything under the mount root. Never fails.
  virtual Async<void> unmount() = 0;
  // True when a mount under the mount root answers a directory listing
  // within `timeout`.
  virtual Async<bool> isHealthy(Seconds timeout) = 0;
};

}  // namespace kv
