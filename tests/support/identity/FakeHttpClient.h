#pragma once
// An HttpClient that answers from a script. Each route (method + URL) has a
// queue of answers; the last one repeats. An answer is a response, a
// transport failure, or a "hold" that waits until the test releases it.
// Every request is recorded.
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <optional>

#include "core/async/OneShot.h"
#include "identity/HttpClient.h"

namespace kv::test {

class FakeHttpClient final : public HttpClient {
 public:
  struct Answer {
    std::optional<HttpResponse> response;
    std::optional<std::string> transportError;
    bool hold = false;  // wait for release() before answering
  };

  static Answer respond(int status, std::string body);
  static Answer failTransport(std::string description);
  static Answer held(int status, std::string body);

  void on(std::string method, std::string url, Answer answer);
  void onGet(std::string url, Answer answer) { on("GET", std::move(url), std::move(answer)); }
  void onPost(std::string url, Answer answer) { on("POST", std::move(url), std::move(answer)); }

  Async<HttpResponse> send(HttpRequest request) override;

  std::vector<HttpRequest> requests() const;
  std::size_t count(const std::string& method, const std::string& url) const;
  // Lets every held request answer.
  void release();
  std::size_t heldCount() const;

 private:
  mutable std::mutex mu_;
  std::map<std::pair<std::string, std::string>, std::deque<Answer>> routes_;
  std::vector<HttpRequest> requests_;
  std::vector<std::shared_ptr<OneShot<bool>>> holds_;
};

}  // namespace kv::test
