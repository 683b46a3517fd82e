#include "platform/linux/naslink/RcloneMountService.h"

#include <signal.h>
#include <sys/mount.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <deque>
#include <fstream>
#include <map>
#include <mutex>
#include <sstream>
#include <thread>

#include "naslink/MountStatus.h"
#include "naslink/Subprocess.h"

namespace kv {
namespace {

constexpr std::size_t kKeptOutputBytes = 16 * 1024;
constexpr std::chrono::milliseconds kRcloneExitGrace{3000};

std::string lowercase(std::string s) {
  std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return s;
}

std::string trimmed(std::string s) {
  while (!s.empty() && (s.back() == '\n' || s.back() == '\r' || s.back() == ' ')) s.pop_back();
  return s;
}

// One rclone process and the tail of what it wrote, drained by its own thread
// so that a chatty rclone never blocks on a full pipe.
struct RcloneProcess {
  std::shared_ptr<Subprocess> process;
  std::mutex mu;
  std::string output;  // guarded by mu; the last kKeptOutputBytes
  std::atomic<bool> outputEnded{false};

  static std::shared_ptr<RcloneProcess> start(const SpawnOptions& options) {
    auto p = std::make_shared<RcloneProcess>();
    p->process = Subprocess::spawn(options);
    std::thread([p] {
      char buf[4096];
      for (;;) {
        const ssize_t n = ::read(p->process->outputFd(), buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        std::lock_guard lk(p->mu);
        p->output.append(buf, static_cast<std::size_t>(n));
        if (p->output.size() > kKeptOutputBytes) p->output.erase(0, p->output.size() - kKeptOutputBytes);
      }
      p->outputEnded = true;
    }).detach();
    return p;
  }

  std::string tail() {
    std::lock_guard lk(mu);
    return output;
  }
};

struct Attempt {
  std::mutex mu;
  bool cancelled = false;                  // guarded by mu
  std::shared_ptr<RcloneProcess> current;  // guarded by mu
  std::atomic<bool> completed{false};
  MountService::Completion completion;

  void complete(int status) {
    if (completed.exchange(true)) return;
    completion(status);
  }
  bool isCancelled() {
    std::lock_guard lk(mu);
    return cancelled;
  }
};

}  // namespace

struct RcloneMountService::Shared {
  Options options;
  std::mutex mu;
  MountService::RequestID nextID = 1;                                  // guarded by mu
  std::map<MountService::RequestID, std::shared_ptr<Attempt>> attempts;  // guarded by mu
  std::map<std::string, std::shared_ptr<RcloneProcess>> mounts;        // guarded by mu; by mount point

  bool isMounted(const std::string& point) {
    auto table = parseMountInfo(readMountInfo());
    return std::find(table.begin(), table.end(), point) != table.end();
  }

  static std::string readMountInfo() {
    std::ifstream in("/proc/self/mountinfo");
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
  }

  SpawnOptions rcloneOptions(std::vector<std::string> args, std::vector<std::pair<std::string, std::string>> env) {
    SpawnOptions o;
    o.executable = options.rclone;
    o.arguments = std::move(args);
    o.extraEnvironment = std::move(env);
    o.extraEnvironment.emplace_back("RCLONE_CONFIG", "/dev/null");
    return o;
  }

  // Runs one rclone command of an attempt to its end (or until the attempt is
  // cancelled or the limit passes); the attempt can kill it meanwhile.
  std::optional<RunResult> runStep(Attempt& attempt, const SpawnOptions& o) {
    std::shared_ptr<RcloneProcess> p;
    try {
      p = RcloneProcess::start(o);
    } catch (const std::exception&) {
      return std::nullopt;
    }
    {
      std::lock_guard lk(attempt.mu);
      attempt.current = p;
      if (attempt.cancelled) p->process->signal(SIGKILL);
    }
    RunResult r;
    auto end = p->process->waitFor(options.checkTimeout);
    if (!end) {
      r.timedOut = true;
      p->process->signal(SIGKILL);
      end = p->process->wait();
    }
    // Let the drain thread take the last bytes.
    for (int i = 0; i < 100 && !p->outputEnded; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    r.termination = *end;
    r.output = p->tail();
    std::lock_guard lk(attempt.mu);
    attempt.current.reset();
    return r;
  }

  void runAttempt(std::shared_ptr<Attempt> attempt, SMBURL url, std::filesystem::path point, std::string user,
                  std::string password) {
    // The password goes in on standard input only.
    SpawnOptions obscure = rcloneOptions({"obscure", "-"}, {});
    obscure.stdinData = password;
    std::fill(password.begin(), password.end(), '\0');
    auto obscured = runStep(*attempt, obscure);
    obscure.stdinData->assign(obscure.stdinData->size(), '\0');
    if (attempt->isCancelled()) return attempt->complete(kMountStatusCancelled);
    if (!obscured || obscured->timedOut || obscured->termination != Termination{0, false}) {
      return attempt->complete(obscured && obscured->timedOut ? ETIMEDOUT : EIO);
    }
    std::vector<std::pair<std::string, std::string>> env{{"RCLONE_SMB_PASS", trimmed(obscured->output)}};

    const std::string remote = ":smb:" + url.share;
    std::vector<std::string> connection{"--smb-host", url.host, "--smb-port", std::to_string(url.port),
                                        "--smb-user", user, "--contimeout", "10s", "--low-level-retries", "1"};

    std::vector<std::string> check{"lsf", remote, "--max-depth", "1", "--retries", "1", "--timeout", "20s"};
    check.insert(check.end(), connection.begin(), connection.end());
    auto checked = runStep(*attempt, rcloneOptions(check, env));
    if (attempt->isCancelled()) return attempt->complete(kMountStatusCancelled);
    if (!checked) return attempt->complete(EIO);
    if (checked->timedOut) return attempt->complete(ETIMEDOUT);
    if (checked->termination != Termination{0, false}) return attempt->complete(statusForOutput(checked->output));

    std::vector<std::string> mountArgs{"mount", remote, point.string(), "--vfs-cache-mode", "off",
                                       // Listings come from the share, so that a health probe sees a dead share.
                                       "--dir-cache-time", "0s",
                                       // No file attributes cached in the kernel either: a stat after a
                                       // write shows the size rclone knows now (see the header for the
                                       // stale size a listing can leave behind).
                                       "--attr-timeout", "0s"};
    mountArgs.insert(mountArgs.end(), connection.begin(), connection.end());
    std::shared_ptr<RcloneProcess> p;
    try {
      p = RcloneProcess::start(rcloneOptions(mountArgs, env));
    } catch (const std::exception&) {
      return attempt->complete(EIO);
    }
    {
      std::lock_guard lk(attempt->mu);
      attempt->current = p;
    }
    for (;;) {
      if (attempt->isCancelled()) {
        if (isMounted(point.string())) forceUnmount(point.string());
        p->process->terminate(kRcloneExitGrace);
        return attempt->complete(kMountStatusCancelled);
      }
      if (isMounted(point.string())) {
        {
          std::lock_guard lk(mu);
          mounts[point.string()] = p;
        }
        {
          std::lock_guard lk(attempt->mu);
          attempt->current.reset();
        }
        return attempt->complete(0);
      }
      if (p->process->poll()) {
        for (int i = 0; i < 100 && !p->outputEnded; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(5));
        return attempt->complete(statusForOutput(p->tail()));
      }
      std::this_thread::sleep_for(options.pollInterval);
    }
  }

  int forceUnmount(const std::string& path) {
    if (::umount2(path.c_str(), MNT_FORCE | MNT_DETACH) == 0) return 0;
    const int err = errno;
    if (err != EPERM) return err;
    // Without the privilege FUSE mounts are still ours to detach.
    SpawnOptions o;
    o.executable = options.fusermount;
    o.arguments = {"-uz", path};
    try {
      auto r = runToCompletion(o, std::chrono::seconds(10));
      return r.termination == Termination{0, false} ? 0 : EPERM;
    } catch (const std::exception&) {
      return EPERM;
    }
  }
};

RcloneMountService::RcloneMountService() : RcloneMountService(Options{}) {}

RcloneMountService::RcloneMountService(Options options) : s_(std::make_shared<Shared>()) {
  s_->options = std::move(options);
}

RcloneMountService::~RcloneMountService() = default;

int RcloneMountService::mountAsync(const SMBURL& url, const std::filesystem::path& mountPoint,
                                   const std::string& user, const std::string& password, Completion completion,
                                   RequestID& requestID) {
  if (::access(s_->options.rclone.c_str(), X_OK) != 0) return ENOENT;
  if (url.host.empty() || url.share.empty() || url.port == 0) return EINVAL;
  auto attempt = std::make_shared<Attempt>();
  attempt->completion = std::move(completion);
  {
    std::lock_guard lk(s_->mu);
    requestID = s_->nextID++;
    s_->attempts[requestID] = attempt;
  }
  const RequestID id = requestID;
  std::thread([s = s_, attempt, url, mountPoint, user, password, id]() mutable {
    s->runAttempt(attempt, url, mountPoint, user, std::move(password));
    std::lock_guard lk(s->mu);
    s->attempts.erase(id);
  }).detach();
  return 0;
}

void RcloneMountService::cancel(RequestID requestID) {
  std::shared_ptr<Attempt> attempt;
  {
    std::lock_guard lk(s_->mu);
    auto it = s_->attempts.find(requestID);
    if (it == s_->attempts.end()) return;
    attempt = it->second;
  }
  std::lock_guard lk(attempt->mu);
  attempt->cancelled = true;
  if (attempt->current) attempt->current->process->signal(SIGTERM);
}

std::vector<std::string> RcloneMountService::mountTable() { return parseMountInfo(Shared::readMountInfo()); }

int RcloneMountService::unmount(const std::string& path, bool force) {
  int rc = 0;
  if (force) {
    rc = s_->forceUnmount(path);
  } else if (::umount2(path.c_str(), 0) != 0) {
    rc = errno;
  }
  std::shared_ptr<RcloneProcess> p;
  {
    std::lock_guard lk(s_->mu);
    auto it = s_->mounts.find(path);
    if (it != s_->mounts.end() && (rc == 0 || force)) {
      p = it->second;
      s_->mounts.erase(it);
    }
  }
  // rclone ends by itself once its mount is gone; make sure of it.
  if (p && !p->process->waitFor(kRcloneExitGrace)) p->process->terminate(kRcloneExitGrace);
  return rc;
}

bool RcloneMountService::listDirectory(const std::string& path) {
  std::error_code ec;
  std::filesystem::directory_iterator it(path, ec);
  for (; !ec && it != std::filesystem::directory_iterator(); it.increment(ec)) {
  }
  return !ec;
}

std::vector<std::string> RcloneMountService::parseMountInfo(const std::string& text) {
  std::vector<std::string> paths;
  std::istringstream in(text);
  std::string line;
  while (std::getline(in, line)) {
    // id parent major:minor root mount-point ...
    std::istringstream fields(line);
    std::string f, point;
    for (int i = 0; i < 5 && fields >> f; ++i) {
      if (i == 4) point = f;
    }
    if (point.empty()) continue;
    std::string decoded;
    for (std::size_t i = 0; i < point.size(); ++i) {
      if (point[i] == '\\' && i + 3 < point.size()) {
        const std::string oct = point.substr(i + 1, 3);
        if (oct.size() == 3 && std::all_of(oct.begin(), oct.end(), [](char c) { return c >= '0' && c <= '7'; })) {
          decoded += static_cast<char>(std::stoi(oct, nullptr, 8));
          i += 3;
          continue;
        }
      }
      decoded += point[i];
    }
    paths.push_back(decoded);
  }
  return paths;
}

int RcloneMountService::statusForOutput(const std::string& output) {
  const std::string o = lowercase(output);
  if (o.find("logon is invalid") != std::string::npos || o.find("logon failure") != std::string::npos) {
    return kMountStatusAuthRejected;
  }
  if (o.find("access denied") != std::string::npos) return EACCES;
  if (o.find("connection refused") != std::string::npos) return ECONNREFUSED;
  if (o.find("network name not found") != std::string::npos) return ENOENT;
  if (o.find("i/o timeout") != std::string::npos || o.find("deadline exceeded") != std::string::npos) return ETIMEDOUT;
  if (o.find("no such host") != std::string::npos) return EHOSTUNREACH;
  if (o.find("fuse") != std::string::npos &&
      (o.find("not found") != std::string::npos || o.find("no such") != std::string::npos)) {
    return ENODEV;
  }
  if (o.find("connection reset") != std::string::npos || o.find("eof") != std::string::npos) return ECONNRESET;
  return EIO;
}

}  // namespace kv
