#pragma once
// A tunnel that does what the test says: `start` counts, optionally waits at
// a gate the test opens, then fails with `startError` or succeeds (and is up).
// Thread-safe.
#include <memory>
#include <mutex>
#include <optional>

#include "core/async/OneShot.h"
#include "naslink/NASLinkError.h"
#include "naslink/TunnelController.h"

namespace kv::test {

class FakeTunnel final : public TunnelController {
 public:
  Async<void> start(NASConfig config) override;
  Async<void> stop() override;
  Async<bool> isUp() override;

  // The next start waits until `openGate`.
  void closeGate();
  void openGate();
  void failStarts(std::optional<NASLinkError> error);

  int starts() const;
  int stops() const;
  bool up() const;

 private:
  mutable std::mutex mu_;
  std::shared_ptr<OneShot<bool>> gate_;
  std::optional<NASLinkError> error_;
  int starts_ = 0;
  int stops_ = 0;
  bool up_ = false;
};

}  // namespace kv::test
