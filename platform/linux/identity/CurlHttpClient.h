#pragma once
// The HTTP client on libcurl. Each request runs as one blocking transfer on a
// small worker pool owned by the client, so the calling executor never
// blocks; a cancelled caller aborts its transfer within a fraction of a
// second. Redirects are not followed, no cookies are kept, and nothing about a
// request (least of all its headers) is logged. Safe for concurrent use;
// destroying the client waits for running transfers to end.
#include <memory>

#include "identity/HttpClient.h"

namespace kv {

class CurlHttpClient final : public HttpClient {
 public:
  struct Options {
    Seconds defaultTimeout{60.0};
    std::size_t workers = 4;
  };

  CurlHttpClient();
  explicit CurlHttpClient(Options options);
  ~CurlHttpClient() override;

  Async<HttpResponse> send(HttpRequest request) override;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace kv
