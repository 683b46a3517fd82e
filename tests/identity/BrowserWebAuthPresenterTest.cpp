// The browser sign-in: the callback URL arrives through the handler mode's
// socket; wrong schemes and cancellation end the wait as stated.
#include <gtest/gtest.h>

#include <unistd.h>

#include <filesystem>
#include <thread>

#include "identity/IdentityError.h"
#include "platform/linux/identity/BrowserWebAuthPresenter.h"
#include "tests/support/TestLoop.h"

namespace kv::test {
namespace {

namespace fs = std::filesystem;

struct BrowserPresenterTest : ::testing::Test {
  TestLoop loop;
  fs::path socket = fs::temp_directory_path() / ("kelvane-auth-" + std::to_string(::getpid()) + ".sock");
  std::thread handler;
  std::string opened;

  void TearDown() override {
    if (handler.joinable()) handler.join();
    fs::remove(socket);
  }

  // A browser that "visits" the URL and has the handler forward `callback`.
  std::shared_ptr<BrowserWebAuthPresenter> presenterAnswering(std::string callback) {
    return std::make_shared<BrowserWebAuthPresenter>(socket, [this, callback](const std::string& url) {
      opened = url;
      handler = std::thread([this, callback] { forwardCallbackURL(callback, socket); });
      return true;
    });
  }

  IdentityError failureOf(std::shared_ptr<BrowserWebAuthPresenter> p) {
    try {
      loop.run([p]() -> Async<std::string> { co_return co_await p->present("https://id.test/auth", "kelvane"); });
    } catch (const IdentityError& e) {
      return e;
    }
    ADD_FAILURE() << "expected an IdentityError";
    return IdentityError::notSignedIn();
  }
};

TEST_F(BrowserPresenterTest, CallbackFromTheHandlerIsReturned) {
  auto p = presenterAnswering("KELVANE://auth/callback?code=c&state=s");
  auto url = loop.run([p]() -> Async<std::string> { co_return co_await p->present("https://id.test/auth?x=1", "kelvane"); });
  EXPECT_EQ(url, "KELVANE://auth/callback?code=c&state=s");  // scheme compared without case
  EXPECT_EQ(opened, "https://id.test/auth?x=1");
  EXPECT_FALSE(fs::exists(socket));  // the socket is gone once the wait ends
}

TEST_F(BrowserPresenterTest, OtherSchemeIsRejected) {
  auto e = failureOf(presenterAnswering("https://evil.test/?code=c"));
  EXPECT_EQ(e.detail(), "token exchange failed (HTTP 0): unexpected callback scheme");
}

TEST_F(BrowserPresenterTest, BrowserThatCannotStartFails) {
  auto p = std::make_shared<BrowserWebAuthPresenter>(socket, [](const std::string&) { return false; });
  EXPECT_EQ(failureOf(p).detail(), "token exchange failed (HTTP 0): could not start the sign-in sheet");
}

TEST_F(BrowserPresenterTest, CancellingTheCallerEndsTheWaitAsUserCancelled) {
  auto p = std::make_shared<BrowserWebAuthPresenter>(socket, [](const std::string&) { return true; });
  auto task = Task<std::string>::spawn(loop.executor(), [p]() -> Async<std::string> {
    co_return co_await p->present("https://id.test/auth", "kelvane");
  });
  loop.runUntil([&] { return fs::exists(socket); });
  task.cancel();
  loop.runUntil([&] { return task.isFinished(); });
  try {
    task.get();
    FAIL();
  } catch (const IdentityError& e) {
    EXPECT_EQ(e.kind(), IdentityError::Case::userCancelled);
  }
  EXPECT_EQ(forwardCallbackURL("kelvane://auth/callback", socket), 1);  // nobody waits any more
}

TEST(SchemeHandlerEntry, NamesTheSchemeAndQuotesTheCommand) {
  auto text = schemeHandlerDesktopEntry("kelvane", "/opt/My $App/kelvane");
  EXPECT_NE(text.find("MimeType=x-scheme-handler/kelvane;\n"), std::string::npos);
  EXPECT_NE(text.find("Exec=\"/opt/My \\\\$App/kelvane\" --auth-callback %u\n"), std::string::npos) << text;
  EXPECT_NE(text.find("NoDisplay=true"), std::string::npos);
}

}  // namespace
}  // namespace kv::test
