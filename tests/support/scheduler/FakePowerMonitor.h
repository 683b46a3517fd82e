#pragma once
// A power monitor whose Low Power Mode flag the test sets.
//
// `setLowPower(on)` changes the flag and, unless told to stay quiet (a missed
// notification), yields one event on every open change stream.
#include <mutex>
#include <vector>

#include "scheduler/PowerMonitor.h"

namespace kv::test {

class FakePowerMonitor final : public PowerMonitor {
 public:
  bool isLowPowerModeEnabled() override;
  SignalStream powerStateChanges() override;

  void setLowPower(bool enabled, bool notify = true);
  // One change event without a change of the flag.
  void notify();
  std::size_t openStreams() const;
  int reads() const;

 private:
  mutable std::mutex mu_;
  bool lowPower_ = false;     // guarded by mu_
  int reads_ = 0;             // guarded by mu_
  std::vector<SignalStream> streams_;  // guarded by mu_
};

}  // namespace kv::test
