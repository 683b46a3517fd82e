#include "core/async/Async.h"

#include <system_error>

namespace kv {

bool isCancellation(const std::exception& e) {
  if (dynamic_cast<const CancelledError*>(&e)) return true;
  if (auto* se = dynamic_cast<const std::system_error*>(&e)) {
    if (se->code() == asio::error::operation_aborted) return true;
  }
  try {
    std::rethrow_if_nested(e);
  } catch (const std::exception& inner) {
    return isCancellation(inner);
  } catch (...) {
  }
  return false;
}

bool isCancellation(const std::exception_ptr& e) {
  if (!e) return false;
  try {
    std::rethrow_exception(e);
  } catch (const std::exception& ex) {
    return isCancellation(ex);
  } catch (...) {
    return false;
  }
}

Async<bool> isCancelled() {
  auto state = co_await asio::this_coro::cancellation_state;
  const bool cancelled = state.cancelled() != asio::cancellation_type::none;
  co_return cancelled;
}

Async<void> checkCancellation() {
  auto state = co_await asio::this_coro::cancellation_state;
  if (state.cancelled() != asio::cancellation_type::none) throw CancelledError();
}

}  // namespace kv
