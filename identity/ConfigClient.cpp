#include "identity/ConfigClient.h"

#include "core/Redaction.h"
#include "core/async/Task.h"
#include "identity/ConfigDocument.h"
#include "identity/IdentityTexts.h"
#include "identity/TextEncoding.h"

namespace kv {

namespace {
constexpr Seconds kFetchLimit{60.0};
}

std::shared_ptr<ConfigClient> ConfigClient::make(Dependencies deps) {
  return std::shared_ptr<ConfigClient>(new ConfigClient(std::move(deps)));
}

ConfigClient::ConfigClient(Dependencies deps) : deps_(std::move(deps)), strand_(makeStrand(deps_.executor)) {}

std::optional<CachedConfig> ConfigClient::readCache() {
  try {
    return deps_.cache->load();
  } catch (const std::exception& e) {
    deps_.log.error(identitytext::logConfigCacheLoadFailed, priv(redact(e.what())));
    return std::nullopt;
  }
}

Async<std::optional<CachedConfig>> ConfigClient::cachedConfig() {
  auto self = shared_from_this();
  co_return co_await onStrand(strand_, [self]() -> Async<std::optional<CachedConfig>> { co_return self->readCache(); });
}

Async<std::optional<IdentityError>> ConfigClient::lastFailure() {
  auto self = shared_from_this();
  co_return co_await onStrand(strand_, [self]() -> Async<std::optional<IdentityError>> { co_return self->failure_; });
}

Async<void> ConfigClient::clearCache() {
  auto self = shared_from_this();
  co_await onStrand(strand_, [self]() -> Async<void> {
    self->failure_.reset();
    self->deps_.cache->remove();
    co_return;
  });
}

Async<NASConfig> ConfigClient::config(bool forceRefresh) {
  auto self = shared_from_this();
  co_return co_await onStrand(strand_, [self, forceRefresh]() -> Async<NASConfig> {
    if (!forceRefresh) {
      if (auto cached = self->readCache()) co_return cached->config;
    }
    std::exception_ptr error;
    try {
      NASConfig fresh = co_await self->fetch();
      try {
        self->deps_.cache->save(CachedConfig{fresh, self->deps_.clock->now()});
      } catch (const std::exception& e) {
        self->deps_.log.error(identitytext::logConfigCacheSaveFailed, priv(redact(e.what())));
      }
      self->failure_.reset();
      co_return fresh;
    } catch (...) {
      error = std::current_exception();
    }
    // A cancelled call records nothing: it did not learn anything about the endpoint.
    if (isCancellation(error)) std::rethrow_exception(error);
    IdentityError normalised = self->normalise(error);
    self->failure_ = normalised;
    self->deps_.log.error(identitytext::logConfigFetchFailed, priv(normalised.detail()));
    if (auto cached = self->readCache()) co_return cached->config;
    throw normalised;
  });
}

Async<NASConfig> ConfigClient::fetch() {
  std::string token = co_await deps_.auth->accessToken();
  HttpRequest request;
  request.url = deps_.endpoint;
  request.headers = {{"Authorization", "Bearer " + token}, {"Accept", "application/json"}};
  request.timeout = kFetchLimit;
  request.ignoreCachedResponse = true;
  HttpResponse response;
  try {
    response = co_await deps_.http->send(std::move(request));
  } catch (const std::exception& e) {
    if (isCancellation(e)) throw;
    throw IdentityError::configFetchFailed(std::nullopt, redact(e.what()));
  }
  if (response.status != 200) {
    throw IdentityError::configFetchFailed(response.status, bodyExcerpt(response.body));
  }
  try {
    co_return decodeConfigDocument(response.body);
  } catch (const std::exception& e) {
    throw IdentityError::configFetchFailed(200, std::string(identitytext::unreadableConfigPrefix) + redact(e.what()));
  }
}

IdentityError ConfigClient::normalise(std::exception_ptr error) const {
  try {
    std::rethrow_exception(error);
  } catch (const IdentityError& e) {
    if (e.kind() == IdentityError::Case::configFetchFailed || e.kind() == IdentityError::Case::notSignedIn) return e;
    return IdentityError::configFetchFailed(std::nullopt, e.detail());
  } catch (const std::exception& e) {
    return IdentityError::configFetchFailed(std::nullopt, redact(e.what()));
  } catch (...) {
    return IdentityError::configFetchFailed(std::nullopt, "unknown error");
  }
}

}  // namespace kv
