#include "naslink/MountRequest.h"

#include "naslink/MountStatus.h"

namespace kv {

MountRequest::MountRequest() : delivery_(StreamBuffering::unbounded) {}

std::optional<MountRequest::RequestID> MountRequest::finish(int status, bool aborted) {
  std::optional<RequestID> id;
  {
    std::lock_guard lk(mu_);
    if (finished_) return std::nullopt;
    finished_ = true;
    aborted_ = aborted;
    status_ = status;
    id = requestID_;
  }
  delivery_.yield(status);
  return id;
}

bool MountRequest::setRequestID(RequestID id) {
  std::lock_guard lk(mu_);
  requestID_ = id;
  return finished_ && aborted_;
}

bool MountRequest::isFinished() const {
  std::lock_guard lk(mu_);
  return finished_;
}

bool MountRequest::wasAborted() const {
  std::lock_guard lk(mu_);
  return aborted_;
}

std::optional<int> MountRequest::decidedStatus() const {
  std::lock_guard lk(mu_);
  return status_;
}

Async<int> MountRequest::wait(std::function<void(RequestID)> onCancel) {
  try {
    // A status already decided is buffered and returned at once.
    auto status = co_await delivery_.next();
    if (status) co_return *status;
  } catch (const CancelledError&) {
    if (auto id = finish(kMountStatusCancelled, true)) {
      if (onCancel) onCancel(*id);
    }
  }
  // Cancelled: whoever decided first wins (the cancellation or a status that
  // arrived just before it).
  co_return decidedStatus().value_or(kMountStatusCancelled);
}

}  // namespace kv
