#pragma once
// The tunnel that carries the SMB connection to the NAS.
//
// Implementations are safe to call from any task, concurrently.
#include "core/NASConfig.h"
#include "core/async/Async.h"

namespace kv {

class TunnelController {
 public:
  virtual ~TunnelController() = default;
  // Brings the tunnel up for `config` (its local port then accepts
  // connections). Throws NASLinkError, or a cancellation.
  virtual Async<void> start(NASConfig config) = 0;
  // Takes the tunnel down. Never fails; harmless when nothing runs.
  virtual Async<void> stop() = 0;
  // True when the local port of the last start accepts connections.
  virtual Async<bool> isUp() = 0;
};

}  // namespace kv
