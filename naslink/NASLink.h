#pragma once
// NASLink: brings up the tunnel, mounts the share through it, prepares the
// destination folder, and takes both down again.
//
// Its operations run one at a time on its own strand, but interleave where
// they wait: a `disconnect` that overlaps a `connect` always wins, because
// every disconnect bumps a generation counter that a connect compares after
// each of its waits (then it undoes a mount it just made, clears the mount
// point and fails with `disconnectedDuringConnect`).
//
// - `connect` starts the tunnel, probes an existing mount (a stale one that
//   does not answer within `healthTimeout` is force-unmounted first), mounts
//   (an existing mount is reused), creates `<mount point>/<destSubdir>` and
//   returns it. Errors of the tunnel and the mounter pass through unchanged;
//   a folder that cannot be made is `destinationCreateFailed` (the share stays
//   mounted). Also ends with a cancellation.
// - `disconnect` never fails: unmount, then stop the tunnel that carried it.
// - `status` never fails and changes nothing; a hung share answers
//   `healthy == false` after the timeout.
// May be called from any executor; the caller is back on its own afterwards.
#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>

#include "core/Clock.h"
#include "core/NASConfig.h"
#include "core/NASCredentials.h"
#include "core/async/Async.h"
#include "naslink/NASStatus.h"
#include "naslink/ShareMounter.h"
#include "naslink/TunnelController.h"

namespace kv {

class NASLink {
 public:
  static constexpr Seconds kDefaultHealthTimeout{10};

  NASLink(Executor executor, std::shared_ptr<TunnelController> tunnel, std::shared_ptr<ShareMounter> mounter,
          std::shared_ptr<Clock> clock, Seconds healthTimeout = kDefaultHealthTimeout);

  Async<std::filesystem::path> connect(NASConfig config, NASCredentials credentials);
  Async<void> disconnect();
  Async<NASStatus> status(Seconds timeout);

  struct State;

 private:
  std::shared_ptr<State> s_;
};

}  // namespace kv
