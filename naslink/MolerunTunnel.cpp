#include "naslink/MolerunTunnel.h"

#include <signal.h>
#include <time.h>
#include <unistd.h>

#include <condition_variable>
#include <deque>
#include <mutex>
#include <system_error>
#include <thread>

#include "core/Redaction.h"
#include "core/async/Task.h"
#include "naslink/BackgroundCall.h"
#include "naslink/LineSplitter.h"
#include "naslink/NASLinkError.h"
#include "naslink/PortProbe.h"
#include "naslink/Subprocess.h"

namespace kv {
namespace {

constexpr Seconds kAlreadyListeningProbe{0.5};
constexpr Seconds kReadinessProbe{0.5};
constexpr Seconds kIsUpProbe{1.0};
constexpr std::chrono::seconds kReaderAfterExit{2};
constexpr std::chrono::seconds kReaderAfterStop{1};

// Seconds on the boot-time clock, which keeps counting while the machine sleeps.
double bootSeconds() {
  timespec ts{};
  clock_gettime(CLOCK_BOOTTIME, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

// Tells when the reader thread has recorded its last line.
struct ReaderHandle {
  std::mutex mu;
  std::condition_variable cv;
  bool done = false;

  void markDone() {
    {
      std::lock_guard lk(mu);
      done = true;
    }
    cv.notify_all();
  }
  bool waitFor(std::chrono::milliseconds limit) {
    std::unique_lock lk(mu);
    return cv.wait_for(lk, limit, [this] { return done; });
  }
};

}  // namespace

struct MolerunTunnel::State {
  Executor executor;
  std::shared_ptr<Clock> clock;
  std::filesystem::path binary;
  Timing timing;
  LogSink log;

  mutable std::mutex mu;
  std::shared_ptr<Subprocess> process;        // guarded by mu
  std::shared_ptr<ReaderHandle> reader;       // guarded by mu
  std::deque<std::string> lines;              // guarded by mu
  std::optional<std::uint16_t> localPort;     // guarded by mu
  std::optional<Task<void>> inFlight;         // guarded by mu

  std::string joinedLines() const {
    std::lock_guard lk(mu);
    std::string text;
    for (const auto& l : lines) {
      if (!text.empty()) text += '\n';
      text += l;
    }
    return text;
  }
};

namespace {

using State = MolerunTunnel::State;

void record(const std::weak_ptr<State>& weak, const std::string& raw) {
  auto s = weak.lock();
  if (!s) return;  // the tunnel is gone: nobody to record for
  std::string line = redact(raw);
  {
    std::lock_guard lk(s->mu);
    s->lines.push_back(line);
    while (s->lines.size() > MolerunTunnel::kKeptLines) s->lines.pop_front();
  }
  if (s->log) s->log(line);
}

void readOutput(std::weak_ptr<State> weak, std::shared_ptr<Subprocess> process, std::shared_ptr<ReaderHandle> handle) {
  LineSplitter splitter;
  char buf[4096];
  const int fd = process->outputFd();
  for (;;) {
    const ssize_t n = ::read(fd, buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    for (auto& line : splitter.feed(std::string_view(buf, static_cast<std::size_t>(n)))) record(weak, line);
  }
  for (auto& line : splitter.finish()) record(weak, line);
  const Termination end = process->wait();
  record(weak, "molerun exited (status " + std::to_string(end.status) + ")");
  handle->markDone();
}

Async<void> stopProcess(std::shared_ptr<State> s) {
  std::shared_ptr<Subprocess> process;
  std::shared_ptr<ReaderHandle> reader;
  {
    std::lock_guard lk(s->mu);
    process = std::move(s->process);
    reader = std::move(s->reader);
    s->process.reset();
    s->reader.reset();
  }
  if (!process) co_return;
  const auto grace = std::chrono::duration_cast<std::chrono::milliseconds>(s->timing.stopGrace);
  co_await onBackgroundThread([process, grace] {
    if (process->isRunning()) process->terminate(grace);
  });
  if (reader) co_await onBackgroundThread([reader] { reader->waitFor(kReaderAfterStop); });
}

bool isExecutableFile(const std::filesystem::path& p) {
  std::error_code ec;
  return std::filesystem::is_regular_file(p, ec) && ::access(p.c_str(), X_OK) == 0;
}

Async<void> runStart(std::shared_ptr<State> s, NASConfig config) {
  const std::uint16_t port = config.localPort;
  {
    std::lock_guard lk(s->mu);
    s->localPort = port;
  }
  if (co_await PortProbe::isListening(s->clock, "localhost", port, kAlreadyListeningProbe)) co_return;

  if (!isExecutableFile(s->binary)) throw NASLinkError::molerunMissing(s->binary);

  SpawnOptions options;
  options.executable = s->binary;
  options.arguments = {"forward", config.molerunAddr, std::to_string(port) + ":" + config.remoteSMB};
  {
    std::lock_guard lk(s->mu);
    s->lines.clear();
  }

  std::shared_ptr<Subprocess> process;
  try {
    process = Subprocess::spawn(options);
  } catch (const std::exception& e) {
    throw NASLinkError::tunnelExited(-1, redact(e.what()));
  }
  auto reader = std::make_shared<ReaderHandle>();
  std::thread(readOutput, std::weak_ptr<State>(s), process, reader).detach();
  {
    std::lock_guard lk(s->mu);
    s->process = process;
    s->reader = reader;
  }

  const double deadline = bootSeconds() + s->timing.readyTimeout.count();
  for (;;) {
    if (co_await PortProbe::isListening(s->clock, "localhost", port, kReadinessProbe)) co_return;

    if (auto end = process->poll()) {
      co_await onBackgroundThread([reader] { reader->waitFor(kReaderAfterExit); });
      std::string log = s->joinedLines();
      {
        std::lock_guard lk(s->mu);
        if (s->process == process) {
          s->process.reset();
          s->reader.reset();
        }
      }
      throw NASLinkError::tunnelExited(end->status, std::move(log));
    }

    if (bootSeconds() >= deadline) {
      std::string log = s->joinedLines();
      co_await stopProcess(s);
      throw NASLinkError::tunnelTimeout(std::move(log));
    }

    std::exception_ptr cancelled;
    try {
      co_await s->clock->sleep(s->timing.pollInterval);
    } catch (...) {
      cancelled = std::current_exception();
    }
    if (cancelled) {
      // A cancelled task cannot sleep; stop the helper in a task of its own.
      co_await uncancellable(s->executor, [s]() -> Async<void> { co_await stopProcess(s); });
      std::rethrow_exception(cancelled);
    }
  }
}

}  // namespace

MolerunTunnel::MolerunTunnel(Executor executor, std::shared_ptr<Clock> clock, std::filesystem::path binary,
                             Timing timing, LogSink log)
    : s_(std::make_shared<State>()) {
  s_->executor = std::move(executor);
  s_->clock = std::move(clock);
  s_->binary = std::move(binary);
  s_->timing = timing;
  s_->log = std::move(log);
}

MolerunTunnel::~MolerunTunnel() {
  std::shared_ptr<Subprocess> process;
  {
    std::lock_guard lk(s_->mu);
    process = s_->process;
  }
  if (process) process->signal(SIGTERM);
}

Async<void> MolerunTunnel::start(NASConfig config) {
  auto s = s_;
  Task<void> task;
  {
    std::lock_guard lk(s->mu);
    if (s->inFlight) {
      task = *s->inFlight;
    } else {
      // The body never runs inline, so the handle is stored before it can
      // clear it again.
      task = Task<void>::spawn(s->executor, [s, config = std::move(config)]() -> Async<void> {
        std::exception_ptr error;
        try {
          co_await runStart(s, config);
        } catch (...) {
          error = std::current_exception();
        }
        {
          std::lock_guard lk2(s->mu);
          s->inFlight.reset();
        }
        if (error) std::rethrow_exception(error);
      });
      s->inFlight = task;
    }
  }
  co_await task.valuePropagatingCancel();
}

Async<void> MolerunTunnel::stop() {
  auto s = s_;
  co_await uncancellable(s->executor, [s]() -> Async<void> { co_await stopProcess(s); });
}

Async<bool> MolerunTunnel::isUp() {
  std::optional<std::uint16_t> port;
  {
    std::lock_guard lk(s_->mu);
    port = s_->localPort;
  }
  if (!port) co_return false;
  co_return co_await PortProbe::isListening(s_->clock, "localhost", *port, kIsUpProbe);
}

std::vector<std::string> MolerunTunnel::lines() const {
  std::lock_guard lk(s_->mu);
  return {s_->lines.begin(), s_->lines.end()};
}

std::optional<int> MolerunTunnel::processID() const {
  std::lock_guard lk(s_->mu);
  if (!s_->process) return std::nullopt;
  return s_->process->pid();
}

void MolerunTunnel::killStrays(const std::filesystem::path& pkill) {
  try {
    SpawnOptions options;
    options.executable = pkill;
    options.arguments = {"-f", "molerun forward"};
    runToCompletion(options, std::chrono::seconds(10));
  } catch (const std::exception&) {
    // Nothing to clean up if pkill cannot even be started.
  }
}

std::filesystem::path MolerunTunnel::bundledBinary(const std::filesystem::path& prefix) {
  return prefix / "libexec" / "kelvane" / "molerun";
}

}  // namespace kv
