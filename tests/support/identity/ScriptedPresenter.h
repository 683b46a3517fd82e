#pragma once
// A WebAuthPresenting that answers with a function of the authorization URL
// (so a test can echo the state it was sent, or not), or fails as told.
#include <functional>
#include <mutex>
#include <vector>

#include "identity/WebAuthPresenting.h"

namespace kv::test {

class ScriptedPresenter final : public WebAuthPresenting {
 public:
  using Script = std::function<Async<std::string>(std::string url, std::string scheme)>;
  explicit ScriptedPresenter(Script script) : script_(std::move(script)) {}

  Async<std::string> present(std::string url, std::string callbackScheme) override {
    {
      std::lock_guard lk(mu_);
      urls_.push_back(url);
    }
    co_return co_await script_(std::move(url), std::move(callbackScheme));
  }

  std::vector<std::string> urls() const {
    std::lock_guard lk(mu_);
    return urls_;
  }

 private:
  Script script_;
  mutable std::mutex mu_;
  std::vector<std::string> urls_;
};

}  // namespace kv::test
