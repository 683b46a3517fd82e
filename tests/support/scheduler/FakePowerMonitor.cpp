#include "tests/support/scheduler/FakePowerMonitor.h"

#include <algorithm>

namespace kv::test {

bool FakePowerMonitor::isLowPowerModeEnabled() {
  std::lock_guard lk(mu_);
  ++reads_;
  return lowPower_;
}

SignalStream FakePowerMonitor::powerStateChanges() {
  SignalStream stream;
  std::lock_guard lk(mu_);
  streams_.push_back(stream);
  return stream;
}

void FakePowerMonitor::setLowPower(bool enabled, bool notifyStreams) {
  {
    std::lock_guard lk(mu_);
    lowPower_ = enabled;
  }
  if (notifyStreams) notify();
}

void FakePowerMonitor::notify() {
  std::vector<SignalStream> streams;
  {
    std::lock_guard lk(mu_);
    streams = streams_;
  }
  for (auto& s : streams) s.yield(Signal{});
}

std::size_t FakePowerMonitor::openStreams() const {
  std::lock_guard lk(mu_);
  return std::count_if(streams_.begin(), streams_.end(), [](const SignalStream& s) { return !s.isTerminated(); });
}

int FakePowerMonitor::reads() const {
  std::lock_guard lk(mu_);
  return reads_;
}

}  // namespace kv::test
