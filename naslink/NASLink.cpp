#include "naslink/NASLink.h"

#include "core/async/Deadline.h"
#include "core/async/Task.h"
#include "naslink/BackgroundCall.h"
#include "naslink/NASLinkError.h"

namespace kv {

// Everything here is touched only on `strand`.
struct NASLink::State {
  Strand strand;
  std::shared_ptr<TunnelController> tunnel;
  std::shared_ptr<ShareMounter> mounter;
  std::shared_ptr<Clock> clock;
  Seconds healthTimeout;
  std::optional<std::filesystem::path> mountPoint;
  std::uint64_t generation = 0;

  explicit State(const Executor& ex) : strand(makeStrand(ex)) {}
};

namespace {

using State = NASLink::State;

// Whether a mount under the root answers, bounded twice: by the mounter's own
// limit and by ours around it.
Async<bool> probe(std::shared_ptr<State> s, Seconds timeout) {
  auto mounter = s->mounter;
  co_return co_await withDeadline<bool>(s->clock, timeout, false, [mounter, timeout]() -> Async<bool> {
    co_return co_await mounter->isHealthy(timeout);
  });
}

[[noreturn]] void rolledBack(State& s) {
  s.mountPoint.reset();
  throw NASLinkError::disconnectedDuringConnect();
}

Async<std::filesystem::path> connectOnStrand(std::shared_ptr<State> s, NASConfig config, NASCredentials credentials) {
  const std::uint64_t g = s->generation;

  // A failure that a disconnect caused (it stopped the helper we were waiting
  // for, say) is reported as the disconnect, which always wins.
  std::exception_ptr failure;
  try {
    co_await s->tunnel->start(config);
  } catch (...) {
    failure = std::current_exception();
  }
  if (s->generation != g && !isCancellation(failure)) rolledBack(*s);
  if (failure) std::rethrow_exception(failure);

  const bool healthy = co_await probe(s, s->healthTimeout);
  if (s->generation != g) rolledBack(*s);

  if (!healthy) {
    // A stale mount would be reused as it is; force it away first.
    co_await s->mounter->unmount();
    s->mountPoint.reset();
    if (s->generation != g) rolledBack(*s);
  }

  std::optional<std::filesystem::path> mounted;
  try {
    mounted = co_await s->mounter->mount(config, credentials);
  } catch (...) {
    failure = std::current_exception();
  }
  if (s->generation != g && !isCancellation(failure)) {
    co_await s->mounter->unmount();
    rolledBack(*s);
  }
  if (failure) std::rethrow_exception(failure);
  const std::filesystem::path point = *mounted;
  s->mountPoint = point;

  const std::filesystem::path destination = point / config.destSubdir;
  // The share may hang; create the folder off the strand.
  const std::string createFailure = co_await onBackgroundThread([destination]() -> std::string {
    std::error_code ec;
    std::filesystem::create_directories(destination, ec);
    if (!ec && !std::filesystem::is_directory(destination, ec)) ec = std::make_error_code(std::errc::not_a_directory);
    return ec ? ec.message() : std::string();
  });
  if (!createFailure.empty()) throw NASLinkError::destinationCreateFailed(createFailure);
  co_return destination;
}

}  // namespace

NASLink::NASLink(Executor executor, std::shared_ptr<TunnelController> tunnel, std::shared_ptr<ShareMounter> mounter,
                 std::shared_ptr<Clock> clock, Seconds healthTimeout)
    : s_(std::make_shared<State>(executor)) {
  s_->tunnel = std::move(tunnel);
  s_->mounter = std::move(mounter);
  s_->clock = std::move(clock);
  s_->healthTimeout = healthTimeout;
}

Async<std::filesystem::path> NASLink::connect(NASConfig config, NASCredentials credentials) {
  auto s = s_;
  co_return co_await onStrand(s->strand, [s, config = std::move(config),
                                          credentials = std::move(credentials)]() -> Async<std::filesystem::path> {
    co_return co_await connectOnStrand(s, config, credentials);
  });
}

Async<void> NASLink::disconnect() {
  auto s = s_;
  co_await onStrand(s->strand, [s]() -> Async<void> {
    ++s->generation;
    co_await s->mounter->unmount();
    s->mountPoint.reset();
    co_await s->tunnel->stop();
  });
}

Async<NASStatus> NASLink::status(Seconds timeout) {
  auto s = s_;
  co_return co_await onStrand(s->strand, [s, timeout]() -> Async<NASStatus> {
    NASStatus st;
    st.tunnelUp = co_await s->tunnel->isUp();
    st.healthy = co_await probe(s, timeout);
    st.mounted = s->mountPoint.has_value();
    st.mountPoint = s->mountPoint;
    co_return st;
  });
}

}  // namespace kv
