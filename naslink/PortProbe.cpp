#include "naslink/PortProbe.h"

#include "core/async/Deadline.h"

namespace kv {

Async<bool> PortProbe::isListening(std::shared_ptr<Clock> clock, std::string host, int port, Seconds timeout) {
  if (port < 1 || port > 65535) co_return false;
  // The connection runs in the deadline's own task; when the deadline wins,
  // that task is cancelled, which aborts the pending resolve or connect.
  co_return co_await withDeadline<bool>(
      std::move(clock), timeout, false, [host = std::move(host), port]() -> Async<bool> {
        auto ex = co_await asio::this_coro::executor;
        try {
          asio::ip::tcp::resolver resolver(ex);
          auto endpoints = co_await resolver.async_resolve(host, std::to_string(port), asio::use_awaitable);
          asio::ip::tcp::socket socket(ex);
          co_await asio::async_connect(socket, endpoints, asio::use_awaitable);
          asio::error_code ignored;
          socket.close(ignored);
          co_return true;
        } catch (const std::exception&) {
          co_return false;
        }
      });
}

}  // namespace kv
