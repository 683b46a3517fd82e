#pragma once
// NetFSShareMounter: the production ShareMounter, over the platform's
// MountService.
//
// - `mount` reuses a mount already at `mountsRoot/<share>` (the service is not
//   asked), else creates that directory and asks the service to mount
//   smb://localhost:<localPort>/<share> there with the given login. The first
//   status among the service's completion, a watchdog after `mountTimeout`
//   (ETIMEDOUT) and the caller's cancellation (ECANCELED) wins; a watchdog or
//   cancellation also cancels the service's request. A rejected login is
//   `authenticationRejected`; any other failure `mountFailed` with the status
//   and its strerror text (-1 and "cannot create mount point: ..." when the
//   directory cannot be made).
// - `unmount` force-unmounts every mount below `mountsRoot` (nothing else),
//   ignoring errors.
// - `isHealthy` lists the first mount below `mountsRoot`, bounded by the
//   timeout; false without a mount.
// Keeps no state besides its fields: the mount table is the state. Safe to
// call from any task; blocking calls run on background threads.
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "core/Clock.h"
#include "naslink/MountService.h"
#include "naslink/ShareMounter.h"

namespace kv {

class NetFSShareMounter final : public ShareMounter {
 public:
  static constexpr Seconds kMountTimeout{60};

  NetFSShareMounter(std::shared_ptr<MountService> service, std::shared_ptr<Clock> clock,
                    std::filesystem::path mountsRoot);

  Async<std::filesystem::path> mount(NASConfig config, NASCredentials credentials) override;
  Async<void> unmount() override;
  Async<bool> isHealthy(Seconds timeout) override;

  // The mount-on paths of all current mounts.
  std::vector<std::string> mountedPaths() const;
  // Those strictly below `mountsRoot`.
  std::vector<std::string> pathsUnderRoot() const;

  const std::filesystem::path& mountsRoot() const { return mountsRoot_; }
  std::filesystem::path mountPoint(const NASConfig& config) const;

  // The production root: $HOME/.kelvane/mounts.
  static std::filesystem::path defaultMountsRoot(const std::filesystem::path& home);

 private:
  std::shared_ptr<MountService> service_;
  std::shared_ptr<Clock> clock_;
  std::filesystem::path mountsRoot_;
};

}  // namespace kv
