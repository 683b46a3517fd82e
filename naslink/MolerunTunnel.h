#pragma once
// MolerunTunnel: the tunnel to the NAS through our helper executable,
// `molerun forward <addr> <localport>:<remote>`.
//
// - `start` is single-flight: concurrent callers share one start and its
//   outcome. A port that already answers counts as an open tunnel (nothing is
//   launched). Otherwise the helper is launched (standard output and error on
//   one pipe, standard input the null device) and the local port is probed
//   every `pollInterval` until it answers, the helper exits (`tunnelExited`
//   with its status and last lines) or `readyTimeout` passes on the boot-time
//   clock (`tunnelTimeout`; the helper is stopped). A missing or
//   non-executable helper is `molerunMissing`; a launch failure is
//   `tunnelExited` with code -1. A cancelled start stops the helper and ends
//   with the cancellation.
// - Every output line of the helper is redacted, kept (the last 200) and
//   handed to `log`, which is called from the reader's thread and must be
//   thread-safe. After the output ends, "molerun exited (status N)" follows.
// - `stop` sends SIGTERM, then SIGKILL after `stopGrace`, and waits for the
//   end; it never fails and is harmless when nothing runs.
// - `isUp` probes the last start's port (false before any start).
// Safe to call from any task; the fields are guarded by one mutex that is
// never held across a suspension. Destroying the tunnel sends SIGTERM to a
// helper still running and stops the recording of its lines.
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "core/Clock.h"
#include "naslink/TunnelController.h"

namespace kv {

class MolerunTunnel final : public TunnelController {
 public:
  using LogSink = std::function<void(const std::string& line)>;

  struct Timing {
    Seconds readyTimeout{45};
    Seconds pollInterval{1};
    Seconds stopGrace{5};
  };

  static constexpr std::size_t kKeptLines = 200;

  MolerunTunnel(Executor executor, std::shared_ptr<Clock> clock, std::filesystem::path binary, Timing timing,
                LogSink log);
  ~MolerunTunnel() override;
  MolerunTunnel(const MolerunTunnel&) = delete;
  MolerunTunnel& operator=(const MolerunTunnel&) = delete;

  Async<void> start(NASConfig config) override;
  Async<void> stop() override;
  Async<bool> isUp() override;

  // The kept output lines, oldest first (already redacted).
  std::vector<std::string> lines() const;
  // The process id of the running helper, if this tunnel launched one.
  std::optional<int> processID() const;

  // Ends stray helpers left by an earlier run of the application:
  // `<pkill> -f "molerun forward"`, output discarded; a failure to launch it
  // is ignored. Blocks until pkill has ended (bounded).
  static void killStrays(const std::filesystem::path& pkill = "/usr/bin/pkill");

  // Where the application installs its helper, relative to its prefix.
  static std::filesystem::path bundledBinary(const std::filesystem::path& prefix);

  struct State;

 private:
  std::shared_ptr<State> s_;
};

}  // namespace kv
