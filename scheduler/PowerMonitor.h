#pragma once
// The system's power state as the coordinator sees it: the Low Power Mode
// flag (on Linux, power-profiles-daemon's "power-saver" profile) and a stream
// of change events.
//
// Safe for concurrent use. `isLowPowerModeEnabled` reads the current flag at
// each call and never blocks for long (an implementation without a power
// service answers false). `powerStateChanges` returns a new stream, unbounded,
// for each call; it yields one value-less event per change of the power state
// (the receiver reads the flag again) and releases what it registered when its
// consumer ends it.
#include "scheduler/Signal.h"

namespace kv {

class PowerMonitor {
 public:
  virtual ~PowerMonitor() = default;
  virtual bool isLowPowerModeEnabled() = 0;
  virtual SignalStream powerStateChanges() = 0;
};

}  // namespace kv
