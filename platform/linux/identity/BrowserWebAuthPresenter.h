#pragma once
// Sign-in in the user's own browser.
//
// `present` listens on a Unix socket (mode 0600, by default
// $XDG_RUNTIME_DIR/net.kelvane.Kelvane.auth-callback), opens the authorization
// URL with the browser opener (xdg-open by default), and waits for the
// callback URL. The provider redirects the browser to "<scheme>://auth/..."; the
// desktop entry that handles x-scheme-handler/<scheme> starts the application
// in handler mode (`forwardCallbackURL`), which writes the URL to the socket.
//
// Fails with userCancelled when the calling task is cancelled (before or while
// waiting); with tokenExchangeFailed 0 "could not start the sign-in sheet"
// when the socket cannot be set up or the browser cannot be opened, and
// "unexpected callback scheme" when the URL that arrives has another scheme.
// One presentation at a time per socket path. The calling executor must be
// able to run socket I/O (an io_context or a thread pool).
#include <filesystem>
#include <functional>
#include <string>

#include "identity/WebAuthPresenting.h"

namespace kv {

class BrowserWebAuthPresenter final : public WebAuthPresenting {
 public:
  // Opens `url` in the user's browser; false when it could not be started.
  using Opener = std::function<bool(const std::string& url)>;

  BrowserWebAuthPresenter();
  BrowserWebAuthPresenter(std::filesystem::path socketPath, Opener opener);

  Async<std::string> present(std::string url, std::string callbackScheme) override;

  static std::filesystem::path defaultSocketPath();
  // Starts `xdg-open url` without waiting for it.
  static bool openWithXdgOpen(const std::string& url);

 private:
  std::filesystem::path socketPath_;
  Opener opener_;
};

// Handler mode: hands `url` to the instance waiting in `present` and returns
// 0, or returns 1 (with a line on standard error) when none is waiting.
int forwardCallbackURL(const std::string& url,
                       const std::filesystem::path& socketPath = BrowserWebAuthPresenter::defaultSocketPath());

// The desktop entry that makes `executable` the handler of
// x-scheme-handler/<scheme>; its command is `executable --auth-callback %u`.
std::string schemeHandlerDesktopEntry(const std::string& scheme, const std::string& executable);
// Writes it as <applicationsFolder>/<bundle id>.auth-callback.desktop
// (applicationsFolder: $XDG_DATA_HOME/applications) and returns the path.
std::filesystem::path installSchemeHandler(const std::filesystem::path& applicationsFolder, const std::string& scheme,
                                           const std::string& executable);

// The command-line switch of handler mode.
inline constexpr const char* kAuthCallbackSwitch = "--auth-callback";

}  // namespace kv
