#include "platform/linux/identity/BrowserWebAuthPresenter.h"

#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <thread>

#include <asio/experimental/as_tuple.hpp>

#include "core/Bundle.h"
#include "core/async/Task.h"
#include "identity/IdentityError.h"
#include "identity/IdentityTexts.h"
#include "identity/Url.h"

extern char** environ;

namespace kv {

namespace fs = std::filesystem;
using asio::local::stream_protocol;

namespace {

constexpr std::size_t kLongestCallback = 16 * 1024;

std::string lower(std::string s) {
  for (auto& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

}  // namespace

BrowserWebAuthPresenter::BrowserWebAuthPresenter() : BrowserWebAuthPresenter(defaultSocketPath(), openWithXdgOpen) {}

BrowserWebAuthPresenter::BrowserWebAuthPresenter(fs::path socketPath, Opener opener)
    : socketPath_(std::move(socketPath)), opener_(std::move(opener)) {}

fs::path BrowserWebAuthPresenter::defaultSocketPath() {
  fs::path base;
  if (const char* runtime = std::getenv("XDG_RUNTIME_DIR"); runtime && *runtime == '/') {
    base = runtime;
  } else {
    base = fs::temp_directory_path();
  }
  return base / (std::string(kBundleIdentifier) + ".auth-callback");
}

bool BrowserWebAuthPresenter::openWithXdgOpen(const std::string& url) {
  pid_t pid = 0;
  std::string program = "xdg-open";
  char* argv[] = {program.data(), const_cast<char*>(url.c_str()), nullptr};
  if (::posix_spawnp(&pid, "xdg-open", nullptr, nullptr, argv, environ) != 0) return false;
  // Reap it whenever it ends; the browser it starts lives on its own.
  std::thread([pid] {
    int status = 0;
    ::waitpid(pid, &status, 0);
  }).detach();
  return true;
}

Async<std::string> BrowserWebAuthPresenter::present(std::string url, std::string callbackScheme) {
  if (co_await isCancelled()) throw IdentityError::userCancelled();
  auto ex = co_await asio::this_coro::executor;

  std::error_code ignored;
  fs::create_directories(socketPath_.parent_path(), ignored);
  ::unlink(socketPath_.c_str());  // a socket left behind by an earlier run
  stream_protocol::acceptor acceptor(ex);
  asio::error_code ec;
  acceptor.open(stream_protocol(), ec);
  if (!ec) acceptor.bind(stream_protocol::endpoint(socketPath_.string()), ec);
  if (!ec) ::chmod(socketPath_.c_str(), 0600);
  if (!ec) acceptor.listen(4, ec);
  if (ec) throw IdentityError::tokenExchangeFailed(0, identitytext::couldNotStartSheet);
  struct Cleanup {
    fs::path path;
    ~Cleanup() { ::unlink(path.c_str()); }
  } cleanup{socketPath_};

  if (!opener_ || !opener_(url)) throw IdentityError::tokenExchangeFailed(0, identitytext::couldNotStartSheet);

  std::string callback;
  try {
    while (callback.empty()) {
      stream_protocol::socket peer = co_await acceptor.async_accept(asio::use_awaitable);
      std::string line;
      auto [readError, length] = co_await asio::async_read_until(
          peer, asio::dynamic_buffer(line, kLongestCallback), '\n', asio::experimental::as_tuple(asio::use_awaitable));
      if (readError == asio::error::operation_aborted) throw CancelledError();
      // A connection that sent nothing usable: keep waiting for the real one.
      if (readError && readError != asio::error::eof) continue;
      if (!readError) line.resize(length - 1);
      while (!line.empty() && (line.back() == '\r' || line.back() == '\n')) line.pop_back();
      co_await asio::async_write(peer, asio::buffer(std::string_view("ok\n")), asio::experimental::as_tuple(asio::use_awaitable));
      callback = std::move(line);
    }
  } catch (const std::exception& e) {
    if (isCancellation(e)) throw IdentityError::userCancelled();
    throw IdentityError::tokenExchangeFailed(0, identitytext::sheetFailed);
  }
  auto parsed = Url::parse(callback);
  if (!parsed || lower(parsed->scheme()) != lower(callbackScheme)) {
    throw IdentityError::tokenExchangeFailed(0, identitytext::unexpectedCallbackScheme);
  }
  co_return callback;
}

int forwardCallbackURL(const std::string& url, const fs::path& socketPath) {
  asio::io_context io;
  stream_protocol::socket socket(io);
  asio::error_code ec;
  socket.connect(stream_protocol::endpoint(socketPath.string()), ec);
  if (!ec) asio::write(socket, asio::buffer(url + "\n"), ec);
  if (!ec) {
    // Wait for the acknowledgement, so that the browser's handler does not end
    // before the URL has been taken.
    char reply[8];
    socket.read_some(asio::buffer(reply), ec);
    if (ec == asio::error::eof) ec = {};
  }
  if (ec) {
    std::fprintf(stderr, "Kelvane: no sign-in is waiting for this link.\n");
    return 1;
  }
  return 0;
}

std::string schemeHandlerDesktopEntry(const std::string& scheme, const std::string& executable) {
  // Quoting rules of the desktop entry specification for the Exec key.
  std::string quoted = "\"";
  for (char c : executable) {
    // Inside quotes these four need a backslash, and every backslash is
    // itself escaped once more by the string rules of the file format.
    if (c == '\\') {
      quoted += "\\\\\\\\";
    } else {
      if (c == '"' || c == '`' || c == '$') quoted += "\\\\";
      quoted.push_back(c);
    }
  }
  quoted += "\"";
  return "[Desktop Entry]\n"
         "Type=Application\n"
         "Name=Kelvane sign-in\n"
         "Exec=" + quoted + " " + kAuthCallbackSwitch + " %u\n"
         "NoDisplay=true\n"
         "Terminal=false\n"
         "MimeType=x-scheme-handler/" + scheme + ";\n";
}

fs::path installSchemeHandler(const fs::path& applicationsFolder, const std::string& scheme,
                              const std::string& executable) {
  fs::create_directories(applicationsFolder);
  fs::path file = applicationsFolder / (std::string(kBundleIdentifier) + ".auth-callback.desktop");
  fs::path temp = file;
  temp += ".tmp";
  {
    std::ofstream out(temp, std::ios::binary | std::ios::trunc);
    out << schemeHandlerDesktopEntry(scheme, executable);
    if (!out) throw std::runtime_error("could not write the sign-in link handler");
  }
  fs::rename(temp, file);
  return file;
}

}  // namespace kv
