#pragma once
// The configuration client: fetches the configuration document with the
// signed-in user's access token, keeps the last good one in a ConfigCache and
// serves it without going to the network while one exists.
//
//   config(forceRefresh)  unless forced, the cached configuration at once (it
//                         has no maximum age). Otherwise fetch: on success cache
//                         it (a save failure is only logged), clear the last
//                         failure and return it; on failure record the failure
//                         (normalised to configFetchFailed or notSignedIn), log
//                         it, and return the cached configuration if there is
//                         one, else throw the failure.
//   cachedConfig          the cache's value; a read failure is logged and
//                         counts as none.
//   lastFailure           the failure of the last fetch, none after a success.
//   clearCache            forgets the failure and deletes the cached
//                         configuration (a delete failure is thrown).
//
// Runs on its own strand; concurrent config calls are not merged.
#include <memory>
#include <optional>
#include <string>

#include "core/Clock.h"
#include "core/Log.h"
#include "core/NASConfig.h"
#include "identity/AuthProviding.h"
#include "identity/ConfigCache.h"
#include "identity/HttpClient.h"
#include "identity/IdentityError.h"

namespace kv {

class ConfigClient final : public std::enable_shared_from_this<ConfigClient> {
 public:
  struct Dependencies {
    Executor executor;
    std::string endpoint;
    std::shared_ptr<AccessTokenProviding> auth;
    std::shared_ptr<ConfigCache> cache;
    std::shared_ptr<HttpClient> http;
    std::shared_ptr<Clock> clock;
    Logger log;  // category "identity"
  };

  static std::shared_ptr<ConfigClient> make(Dependencies deps);

  Async<NASConfig> config(bool forceRefresh = false);
  Async<std::optional<CachedConfig>> cachedConfig();
  Async<std::optional<IdentityError>> lastFailure();
  Async<void> clearCache();

 private:
  explicit ConfigClient(Dependencies deps);

  Async<NASConfig> fetch();
  std::optional<CachedConfig> readCache();
  IdentityError normalise(std::exception_ptr error) const;

  Dependencies deps_;
  Strand strand_;
  std::optional<IdentityError> failure_;  // on strand_
};

}  // namespace kv
