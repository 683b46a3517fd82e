#pragma once
// A child process started with posix_spawn, for the tunnel helper and the
// mounting service's helpers.
//
// The child's standard output and standard error share one pipe whose read
// end the parent owns (`outputFd`); standard input is the null device, or a
// pipe fed once with `stdinData` and then closed. The child runs in its own
// process group, so that `signal` reaches what it started as well (a script's
// children) and a terminal's signals do not reach it. The environment is the
// parent's plus `extraEnvironment` (replacing variables of the same name).
//
// Thread-safe. The destructor neither signals nor waits: end the process
// first (`terminate`) when it must not outlive its owner; an unreaped child
// is reaped by the destructor without blocking if it has already exited.
#include <sys/types.h>

#include <chrono>
#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace kv {

struct SpawnOptions {
  std::filesystem::path executable;
  std::vector<std::string> arguments;  // without argv[0], which is the executable
  std::vector<std::pair<std::string, std::string>> extraEnvironment;
  std::optional<std::string> stdinData;
};

// How a process ended: its exit status, or the number of the signal that
// ended it (as the platform's process class reports a termination status).
struct Termination {
  int status = 0;
  bool bySignal = false;

  bool operator==(const Termination&) const = default;
};

class Subprocess {
 public:
  // Throws std::system_error when the process cannot be started.
  static std::shared_ptr<Subprocess> spawn(const SpawnOptions& options);
  ~Subprocess();
  Subprocess(const Subprocess&) = delete;
  Subprocess& operator=(const Subprocess&) = delete;

  pid_t pid() const { return pid_; }
  // The read end of the output pipe, -1 after `closeOutput`.
  int outputFd() const { return outputFd_; }
  void closeOutput();

  // The termination if the process has ended (reaps it), without blocking.
  std::optional<Termination> poll();
  // Blocks until the process ends.
  Termination wait();
  // Polls every few milliseconds until the process ends or `limit` passes.
  std::optional<Termination> waitFor(std::chrono::milliseconds limit);
  bool isRunning() { return !poll().has_value(); }

  // Sends `sig` to the process group (nothing once it has been reaped).
  void signal(int sig);
  // SIGTERM, then SIGKILL after `grace` if it still runs; waits for the end.
  Termination terminate(std::chrono::milliseconds grace);

 private:
  Subprocess(pid_t pid, int outputFd) : pid_(pid), outputFd_(outputFd) {}

  const pid_t pid_;
  int outputFd_;
  std::mutex mu_;
  std::optional<Termination> ended_;  // guarded by mu_
};

// Runs a process to its end and returns its termination and everything it
// wrote; a process still running after `limit` is killed (then `timedOut`).
struct RunResult {
  Termination termination;
  std::string output;
  bool timedOut = false;
};
RunResult runToCompletion(const SpawnOptions& options, std::chrono::milliseconds limit);

}  // namespace kv
