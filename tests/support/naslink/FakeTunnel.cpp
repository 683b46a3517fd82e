#include "tests/support/naslink/FakeTunnel.h"

namespace kv::test {

Async<void> FakeTunnel::start(NASConfig) {
  std::shared_ptr<OneShot<bool>> gate;
  {
    std::lock_guard lk(mu_);
    ++starts_;
    gate = gate_;
  }
  if (gate) co_await gate->wait();
  std::optional<NASLinkError> error;
  {
    std::lock_guard lk(mu_);
    gate_.reset();
    error = error_;
    if (!error) up_ = true;
  }
  if (error) throw *error;
}

Async<void> FakeTunnel::stop() {
  std::lock_guard lk(mu_);
  ++stops_;
  up_ = false;
  co_return;
}

Async<bool> FakeTunnel::isUp() {
  std::lock_guard lk(mu_);
  co_return up_;
}

void FakeTunnel::closeGate() {
  std::lock_guard lk(mu_);
  gate_ = std::make_shared<OneShot<bool>>();
}

void FakeTunnel::openGate() {
  std::shared_ptr<OneShot<bool>> gate;
  {
    std::lock_guard lk(mu_);
    gate = gate_;
  }
  if (gate) gate->resume(true);
}

void FakeTunnel::failStarts(std::optional<NASLinkError> error) {
  std::lock_guard lk(mu_);
  error_ = std::move(error);
}

int FakeTunnel::starts() const {
  std::lock_guard lk(mu_);
  return starts_;
}
int FakeTunnel::stops() const {
  std::lock_guard lk(mu_);
  return stops_;
}
bool FakeTunnel::up() const {
  std::lock_guard lk(mu_);
  return up_;
}

}  // namespace kv::test
