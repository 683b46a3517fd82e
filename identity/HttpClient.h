#pragma once
// The HTTP client session: one request, one response.
//
// `send` completes with the response for any HTTP status (redirects are not
// followed: a 3xx comes back as it is). It throws HttpTransportError when no
// response arrived (connection refused, DNS, TLS, timeout) with a description
// of the failure that never contains request headers or bodies; it throws a
// cancellation error (see core/async) when the calling task is cancelled,
// which aborts the request. A request without `timeout` uses the client's
// default limit. Implementations are safe for concurrent use and never log
// header values (they carry bearer tokens).
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "core/Date.h"
#include "core/async/Async.h"

namespace kv {

using HttpHeaders = std::vector<std::pair<std::string, std::string>>;

struct HttpRequest {
  std::string method = "GET";
  std::string url;
  HttpHeaders headers;
  std::string body;
  std::optional<Seconds> timeout;
  // Skip any locally cached response (we keep no cache; the header
  // "Cache-Control: no-cache" is sent to intermediaries).
  bool ignoreCachedResponse = false;

  // The value of the first header with this name (case-insensitive).
  std::optional<std::string> header(std::string_view name) const;
};

struct HttpResponse {
  int status = 0;  // 0: not an HTTP response
  HttpHeaders headers;
  std::string body;

  std::optional<std::string> header(std::string_view name) const;
};

class HttpTransportError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

class HttpClient {
 public:
  virtual ~HttpClient() = default;
  virtual Async<HttpResponse> send(HttpRequest request) = 0;
};

}  // namespace kv
