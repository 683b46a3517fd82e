#include "tests/support/identity/FakeHttpClient.h"

namespace kv::test {

FakeHttpClient::Answer FakeHttpClient::respond(int status, std::string body) {
  return Answer{HttpResponse{status, {}, std::move(body)}, std::nullopt, false};
}
FakeHttpClient::Answer FakeHttpClient::failTransport(std::string description) {
  return Answer{std::nullopt, std::move(description), false};
}
FakeHttpClient::Answer FakeHttpClient::held(int status, std::string body) {
  auto a = respond(status, std::move(body));
  a.hold = true;
  return a;
}

void FakeHttpClient::on(std::string method, std::string url, Answer answer) {
  std::lock_guard lk(mu_);
  routes_[{std::move(method), std::move(url)}].push_back(std::move(answer));
}

Async<HttpResponse> FakeHttpClient::send(HttpRequest request) {
  Answer answer;
  std::shared_ptr<OneShot<bool>> hold;
  {
    std::lock_guard lk(mu_);
    requests_.push_back(request);
    auto it = routes_.find({request.method, request.url});
    if (it == routes_.end() || it->second.empty()) {
      answer = respond(404, "no route for " + request.method + " " + request.url);
    } else {
      answer = it->second.front();
      if (it->second.size() > 1) it->second.pop_front();
    }
    if (answer.hold) {
      hold = std::make_shared<OneShot<bool>>();
      holds_.push_back(hold);
    }
  }
  if (hold) co_await hold->wait();
  if (answer.transportError) throw HttpTransportError(*answer.transportError);
  co_return *answer.response;
}

std::vector<HttpRequest> FakeHttpClient::requests() const {
  std::lock_guard lk(mu_);
  return requests_;
}

std::size_t FakeHttpClient::count(const std::string& method, const std::string& url) const {
  std::lock_guard lk(mu_);
  std::size_t n = 0;
  for (const auto& r : requests_) n += (r.method == method && r.url == url);
  return n;
}

void FakeHttpClient::release() {
  std::vector<std::shared_ptr<OneShot<bool>>> holds;
  {
    std::lock_guard lk(mu_);
    holds.swap(holds_);
  }
  for (auto& h : holds) h->resume(true);
}

std::size_t FakeHttpClient::heldCount() const {
  std::lock_guard lk(mu_);
  return holds_.size();
}

}  // namespace kv::test
