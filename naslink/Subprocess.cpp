#include "naslink/Subprocess.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <map>
#include <system_error>
#include <thread>

extern char** environ;

namespace kv {
namespace {

std::system_error posixError(int code, const char* what) { return std::system_error(code, std::generic_category(), what); }

Termination fromWaitStatus(int st) {
  if (WIFSIGNALED(st)) return Termination{WTERMSIG(st), true};
  return Termination{WEXITSTATUS(st), false};
}

struct Fd {
  int fd = -1;
  ~Fd() { reset(); }
  void reset() {
    if (fd >= 0) ::close(fd);
    fd = -1;
  }
  int release() { return std::exchange(fd, -1); }
};

}  // namespace

std::shared_ptr<Subprocess> Subprocess::spawn(const SpawnOptions& options) {
  int out[2];
  if (::pipe2(out, O_CLOEXEC) != 0) throw posixError(errno, "pipe");
  Fd outRead{out[0]}, outWrite{out[1]};
  Fd inRead, inWrite;
  if (options.stdinData) {
    int in[2];
    if (::pipe2(in, O_CLOEXEC) != 0) throw posixError(errno, "pipe");
    inRead.fd = in[0];
    inWrite.fd = in[1];
  }

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  if (options.stdinData) {
    posix_spawn_file_actions_adddup2(&actions, inRead.fd, STDIN_FILENO);
  } else {
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
  }
  posix_spawn_file_actions_adddup2(&actions, outWrite.fd, STDOUT_FILENO);
  posix_spawn_file_actions_adddup2(&actions, outWrite.fd, STDERR_FILENO);

  posix_spawnattr_t attr;
  posix_spawnattr_init(&attr);
  sigset_t defaults;
  sigemptyset(&defaults);
  sigaddset(&defaults, SIGTERM);
  sigaddset(&defaults, SIGINT);
  sigaddset(&defaults, SIGPIPE);
  sigaddset(&defaults, SIGHUP);
  sigset_t none;
  sigemptyset(&none);
  posix_spawnattr_setsigdefault(&attr, &defaults);
  posix_spawnattr_setsigmask(&attr, &none);
  posix_spawnattr_setpgroup(&attr, 0);
  posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK);

  const std::string exe = options.executable.string();
  std::vector<std::string> argStore;
  argStore.push_back(exe);
  argStore.insert(argStore.end(), options.arguments.begin(), options.arguments.end());
  std::vector<char*> argv;
  for (auto& a : argStore) argv.push_back(a.data());
  argv.push_back(nullptr);

  std::map<std::string, std::string> env;
  for (char** e = environ; e && *e; ++e) {
    std::string_view kv(*e);
    auto eq = kv.find('=');
    if (eq == std::string_view::npos) continue;
    env[std::string(kv.substr(0, eq))] = std::string(kv.substr(eq + 1));
  }
  for (auto& [k, v] : options.extraEnvironment) env[k] = v;
  std::vector<std::string> envStore;
  for (auto& [k, v] : env) envStore.push_back(k + "=" + v);
  std::vector<char*> envp;
  for (auto& e : envStore) envp.push_back(e.data());
  envp.push_back(nullptr);

  pid_t pid = -1;
  const int rc = ::posix_spawn(&pid, exe.c_str(), &actions, &attr, argv.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attr);
  // Wipe the copy of the environment: it may hold a password.
  for (auto& e : envStore) std::fill(e.begin(), e.end(), '\0');
  if (rc != 0) throw posixError(rc, "posix_spawn");

  outWrite.reset();
  inRead.reset();
  if (options.stdinData) {
    const std::string& data = *options.stdinData;
    std::size_t done = 0;
    while (done < data.size()) {
      const ssize_t n = ::write(inWrite.fd, data.data() + done, data.size() - done);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) break;  // the child closed its input; it will say why
      done += static_cast<std::size_t>(n);
    }
    inWrite.reset();
  }
  return std::shared_ptr<Subprocess>(new Subprocess(pid, outRead.release()));
}

Subprocess::~Subprocess() {
  closeOutput();
  poll();
}

void Subprocess::closeOutput() {
  std::lock_guard lk(mu_);
  if (outputFd_ >= 0) ::close(outputFd_);
  outputFd_ = -1;
}

std::optional<Termination> Subprocess::poll() {
  std::lock_guard lk(mu_);
  if (ended_) return ended_;
  int st = 0;
  const pid_t r = ::waitpid(pid_, &st, WNOHANG);
  if (r == pid_) ended_ = fromWaitStatus(st);
  return ended_;
}

Termination Subprocess::wait() {
  for (;;) {
    if (auto t = poll()) return *t;
    // Wait for the end without reaping, so that the reaping (and the status)
    // stays under the lock in poll().
    siginfo_t info{};
    const int r = ::waitid(P_PID, static_cast<id_t>(pid_), &info, WEXITED | WNOWAIT);
    if (r != 0 && errno != EINTR) {
      if (auto t = poll()) return *t;
      return Termination{-1, false};
    }
  }
}

std::optional<Termination> Subprocess::waitFor(std::chrono::milliseconds limit) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  for (;;) {
    if (auto t = poll()) return t;
    if (std::chrono::steady_clock::now() >= deadline) return std::nullopt;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
}

void Subprocess::signal(int sig) {
  std::lock_guard lk(mu_);
  if (ended_) return;  // the pid may belong to someone else by now
  if (::kill(-pid_, sig) != 0) ::kill(pid_, sig);
}

Termination Subprocess::terminate(std::chrono::milliseconds grace) {
  signal(SIGTERM);
  if (auto t = waitFor(grace)) {
    signal(SIGKILL);  // the rest of its group, if it left any
    return *t;
  }
  signal(SIGKILL);
  return wait();
}

RunResult runToCompletion(const SpawnOptions& options, std::chrono::milliseconds limit) {
  auto process = Subprocess::spawn(options);
  RunResult result;
  const auto deadline = std::chrono::steady_clock::now() + limit;
  char buf[4096];
  for (;;) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) {
      result.timedOut = true;
      break;
    }
    pollfd p{process->outputFd(), POLLIN, 0};
    const int r = ::poll(&p, 1, static_cast<int>(std::min<long long>(left.count(), 200)));
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) continue;
    const ssize_t n = ::read(process->outputFd(), buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    result.output.append(buf, static_cast<std::size_t>(n));
  }
  if (result.timedOut) {
    process->signal(SIGKILL);
    result.termination = process->wait();
  } else {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (auto t = process->waitFor(std::max(left, std::chrono::milliseconds(100)))) {
      result.termination = *t;
    } else {
      result.timedOut = true;
      process->signal(SIGKILL);
      result.termination = process->wait();
    }
  }
  return result;
}

}  // namespace kv
