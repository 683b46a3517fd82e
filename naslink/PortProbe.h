#pragma once
// Whether a TCP port accepts connections.
#include <memory>
#include <string>

#include "core/Clock.h"

namespace kv {

struct PortProbe {
  // Tries to connect to every address of `host` at `port`; true as soon as one
  // connection is established within `timeout` (it is closed at once). False
  // for a port outside 1-65535, a refused or unreachable port, a name that
  // does not resolve, or when `timeout` passes first. Never fails.
  static Async<bool> isListening(std::shared_ptr<Clock> clock, std::string host, int port, Seconds timeout);
};

}  // namespace kv
