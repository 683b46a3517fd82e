#pragma once
// One mount attempt: exactly one status wins among the mounting service's
// completion, the watchdog and the caller's cancellation.
//
// `finish` decides the status if none is decided yet and returns the
// service's request id if it is known (so that an aborting party can cancel
// the request with it); later calls change nothing and return no id. A status
// decided before anybody waits is kept and handed to the waiter as soon as it
// waits. Thread-safe; the waiter is resumed outside the lock.
#include <memory>
#include <mutex>
#include <optional>

#include "core/async/Stream.h"
#include "naslink/MountService.h"

namespace kv {

class MountRequest {
 public:
  using RequestID = MountService::RequestID;

  MountRequest();

  std::optional<RequestID> finish(int status, bool aborted);
  // Records the service's id. True when the request was aborted (by the
  // watchdog or a cancellation) before the id was known: the caller then
  // cancels the service's request itself.
  bool setRequestID(RequestID id);

  bool isFinished() const;
  bool wasAborted() const;
  std::optional<int> decidedStatus() const;

  // Waits for the decided status. When the waiting task is cancelled first,
  // the request is finished with kMountStatusCancelled (aborted) and
  // `onCancel` receives the service's id if it is known; the status that won
  // is returned either way. Await once.
  Async<int> wait(std::function<void(RequestID)> onCancel);

 private:
  mutable std::mutex mu_;
  std::optional<RequestID> requestID_;  // guarded by mu_
  bool finished_ = false;               // guarded by mu_
  bool aborted_ = false;                // guarded by mu_
  std::optional<int> status_;           // guarded by mu_
  AsyncStream<int> delivery_;           // carries the one status to the waiter
};

}  // namespace kv
