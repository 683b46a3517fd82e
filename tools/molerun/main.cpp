// molerun: a small TCP forwarder, the tunnel helper of Kelvane.
//
//   molerun forward <addr> <localport>:<remote>
//
// <addr> is "[<token>@]<host>": the host that bare-port remotes are reached
// on, optionally preceded by the access token of the session (a token starts
// with the tunnel token prefix). Without a token, a fresh session token is
// issued. <remote> is "<host>:<port>" or a bare port on <addr>'s host.
//
// Listens on 127.0.0.1 (and ::1 where available) at <localport>, forwards
// every accepted connection to <remote>, writes diagnostic lines to standard
// error (one names the session's token), exits with status 2 on bad
// arguments, 3 when the local port cannot be opened, and 0 on SIGTERM or
// SIGINT.
#include <unistd.h>

#include <array>
#include <asio.hpp>
#include <cstdio>
#include <iostream>
#include <memory>
#include <random>
#include <string>

#include "core/Redaction.h"

namespace {

using asio::ip::tcp;

void say(const std::string& line) {
  std::string text = "molerun: " + line + "\n";
  (void)!::write(STDERR_FILENO, text.data(), text.size());
}

int usage(const std::string& why) {
  say(why);
  say("usage: molerun forward [<token>@]<host> <localport>:<remote>");
  return 2;
}

std::string issueToken() {
  static const char alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
  std::random_device rd;
  std::string t(kv::kTunnelTokenPrefix);
  for (int i = 0; i < 32; ++i) t += alphabet[rd() % (sizeof alphabet - 1)];
  return t;
}

bool parsePort(const std::string& s, unsigned short& port) {
  if (s.empty() || s.size() > 5 || s.find_first_not_of("0123456789") != std::string::npos) return false;
  const unsigned long v = std::stoul(s);
  if (v == 0 || v > 65535) return false;
  port = static_cast<unsigned short>(v);
  return true;
}

asio::awaitable<void> pump(std::shared_ptr<tcp::socket> from, std::shared_ptr<tcp::socket> to) {
  std::array<char, 64 * 1024> buf;
  try {
    for (;;) {
      const std::size_t n = co_await from->async_read_some(asio::buffer(buf), asio::use_awaitable);
      co_await asio::async_write(*to, asio::buffer(buf.data(), n), asio::use_awaitable);
    }
  } catch (const std::exception&) {
  }
  asio::error_code ignored;
  to->shutdown(tcp::socket::shutdown_send, ignored);
  from->shutdown(tcp::socket::shutdown_receive, ignored);
}

asio::awaitable<void> serve(tcp::socket client, std::string host, std::string port) {
  auto ex = co_await asio::this_coro::executor;
  auto in = std::make_shared<tcp::socket>(std::move(client));
  auto out = std::make_shared<tcp::socket>(ex);
  try {
    tcp::resolver resolver(ex);
    auto endpoints = co_await resolver.async_resolve(host, port, asio::use_awaitable);
    co_await asio::async_connect(*out, endpoints, asio::use_awaitable);
  } catch (const std::exception& e) {
    say(std::string("cannot reach the remote side: ") + e.what());
    co_return;
  }
  asio::co_spawn(ex, pump(in, out), asio::detached);
  asio::co_spawn(ex, pump(out, in), asio::detached);
}

asio::awaitable<void> acceptLoop(std::shared_ptr<tcp::acceptor> acceptor, std::string host, std::string port) {
  for (;;) {
    asio::error_code ec;
    tcp::socket client = co_await acceptor->async_accept(asio::redirect_error(asio::use_awaitable, ec));
    if (ec == asio::error::operation_aborted) co_return;
    if (ec) continue;
    asio::co_spawn(acceptor->get_executor(), serve(std::move(client), host, port), asio::detached);
  }
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 4 || std::string(argv[1]) != "forward") return usage("expected: forward <addr> <localport>:<remote>");
  std::string addr = argv[2];
  const std::string mapping = argv[3];

  std::string token;
  if (auto at = addr.find('@'); at != std::string::npos) {
    token = addr.substr(0, at);
    addr = addr.substr(at + 1);
    if (token.rfind(kv::kTunnelTokenPrefix, 0) != 0 || token.size() < kv::kTunnelTokenPrefix.size() + kv::kTunnelTokenMinimumLength) {
      return usage("the access token in <addr> is malformed");
    }
  } else {
    token = issueToken();
  }
  if (addr.empty()) return usage("<addr> names no host");

  const auto colon = mapping.find(':');
  if (colon == std::string::npos) return usage("expected <localport>:<remote>");
  unsigned short localPort = 0;
  if (!parsePort(mapping.substr(0, colon), localPort)) return usage("the local port is not a port number");
  const std::string remote = mapping.substr(colon + 1);
  std::string remoteHost = addr, remotePort = remote;
  if (auto rc = remote.rfind(':'); rc != std::string::npos) {
    remoteHost = remote.substr(0, rc);
    remotePort = remote.substr(rc + 1);
    if (remoteHost.size() > 2 && remoteHost.front() == '[' && remoteHost.back() == ']') {
      remoteHost = remoteHost.substr(1, remoteHost.size() - 2);
    }
  }
  unsigned short rp = 0;
  if (remoteHost.empty() || !parsePort(remotePort, rp)) return usage("the remote is not <host>:<port> or a port");

  asio::io_context io;
  std::vector<std::shared_ptr<tcp::acceptor>> acceptors;
  for (const char* listen : {"127.0.0.1", "::1"}) {
    const bool required = std::string(listen) == "127.0.0.1";
    try {
      auto a = std::make_shared<tcp::acceptor>(io);
      tcp::endpoint ep(asio::ip::make_address(listen), localPort);
      a->open(ep.protocol());
      a->set_option(tcp::acceptor::reuse_address(true));
      if (ep.protocol() == tcp::v6()) a->set_option(asio::ip::v6_only(true));
      a->bind(ep);
      a->listen();
      acceptors.push_back(a);
    } catch (const std::exception& e) {
      if (required) {
        say("cannot listen on localhost:" + std::to_string(localPort) + ": " + e.what());
        return 3;
      }
    }
  }

  say("session token " + token + " accepted");
  // The remote side is not named: the tunnel address must not reach a log.
  say("forwarding localhost:" + std::to_string(localPort) + " to the remote side");

  for (auto& a : acceptors) asio::co_spawn(io, acceptLoop(a, remoteHost, remotePort), asio::detached);
  asio::signal_set signals(io, SIGTERM, SIGINT);
  signals.async_wait([&](const asio::error_code& ec, int sig) {
    if (ec) return;
    say("stopping on signal " + std::to_string(sig));
    io.stop();
  });
  io.run();
  return 0;
}
