#pragma once
// The async toolkit every subsystem builds on.
//
// An object that runs "one operation at a time on its own serial executor"
// owns a `Strand`; its operations are coroutines returning `Async<T>`.
// Background work is spawned as a `Task` (see Task.h), which carries its own
// cancellation signal. Cancellation is cooperative, as in the design:
//   - `Clock::sleep` throws `CancelledError` when the task is cancelled, also
//     when the cancellation came before the sleep started;
//   - a pending asio operation (a socket read, a timer) is aborted by asio;
//   - everything else notices only at explicit `checkCancellation()` points,
//     and awaiting another task, a OneShot or a stream item is not interrupted
//     unless that operation says so.
// So cleanup code that runs after a cancellation can still await things; to
// sleep during cleanup, run it in a fresh task (`uncancellable`).
#include <asio.hpp>
#include <exception>
#include <memory>

namespace kv {

using Executor = asio::any_io_executor;
template <class T = void>
using Async = asio::awaitable<T>;
using Strand = asio::strand<Executor>;

inline Strand makeStrand(const Executor& ex) { return asio::make_strand(ex); }

// Thrown where a cancelled task notices its cancellation.
class CancelledError : public std::exception {
 public:
  const char* what() const noexcept override { return "the task was cancelled"; }
};

// True for CancelledError and for asio's "operation aborted" (the form a
// cancelled asio operation takes), also when nested inside another error.
bool isCancellation(const std::exception& e);
bool isCancellation(const std::exception_ptr& e);

// Whether the calling task has been asked to stop.
Async<bool> isCancelled();
// Throws CancelledError when the calling task has been asked to stop.
Async<void> checkCancellation();

}  // namespace kv
