#include "platform/linux/identity/CurlHttpClient.h"

#include <curl/curl.h>

#include <atomic>
#include <cmath>
#include <mutex>

#include "core/Redaction.h"

namespace kv {

namespace {

struct Transfer {
  HttpRequest request;
  Seconds timeout;
  std::atomic<bool> abort{false};
  HttpResponse response;
  std::optional<std::string> transportError;
  bool aborted = false;
};

std::size_t onBody(char* data, std::size_t size, std::size_t count, void* user) {
  static_cast<Transfer*>(user)->response.body.append(data, size * count);
  return size * count;
}

std::size_t onHeader(char* data, std::size_t size, std::size_t count, void* user) {
  auto* t = static_cast<Transfer*>(user);
  std::string_view line(data, size * count);
  if (line.rfind("HTTP/", 0) == 0) {
    t->response.headers.clear();  // a new response (after 100 Continue, say)
  } else if (auto colon = line.find(':'); colon != std::string_view::npos) {
    auto trim = [](std::string_view s) {
      while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
      while (!s.empty() && (s.back() == '\r' || s.back() == '\n' || s.back() == ' ')) s.remove_suffix(1);
      return std::string(s);
    };
    t->response.headers.emplace_back(trim(line.substr(0, colon)), trim(line.substr(colon + 1)));
  }
  return size * count;
}

int onProgress(void* user, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
  return static_cast<Transfer*>(user)->abort.load() ? 1 : 0;
}

void perform(Transfer& t) {
  static std::once_flag once;
  std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });

  CURL* curl = curl_easy_init();
  if (!curl) {
    t.transportError = "could not create an HTTP transfer";
    return;
  }
  char errorBuffer[CURL_ERROR_SIZE] = {0};
  curl_slist* headers = nullptr;
  for (const auto& [name, value] : t.request.headers) {
    headers = curl_slist_append(headers, (name + ": " + value).c_str());
  }
  if (t.request.ignoreCachedResponse) headers = curl_slist_append(headers, "Cache-Control: no-cache");
  // curl adds "Expect: 100-continue" to larger POSTs; our peers do not need the extra round trip.
  headers = curl_slist_append(headers, "Expect:");

  curl_easy_setopt(curl, CURLOPT_URL, t.request.url.c_str());
  curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(curl, CURLOPT_FOLLOWLOCATION, 0L);
  curl_easy_setopt(curl, CURLOPT_PROTOCOLS_STR, "http,https");
  curl_easy_setopt(curl, CURLOPT_ERRORBUFFER, errorBuffer);
  curl_easy_setopt(curl, CURLOPT_HTTPHEADER, headers);
  curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, onBody);
  curl_easy_setopt(curl, CURLOPT_WRITEDATA, &t);
  curl_easy_setopt(curl, CURLOPT_HEADERFUNCTION, onHeader);
  curl_easy_setopt(curl, CURLOPT_HEADERDATA, &t);
  curl_easy_setopt(curl, CURLOPT_NOPROGRESS, 0L);
  curl_easy_setopt(curl, CURLOPT_XFERINFOFUNCTION, onProgress);
  curl_easy_setopt(curl, CURLOPT_XFERINFODATA, &t);
  long ms = static_cast<long>(std::ceil(std::max(0.001, t.timeout.count()) * 1000.0));
  curl_easy_setopt(curl, CURLOPT_TIMEOUT_MS, ms);
  if (t.request.method == "GET") {
    curl_easy_setopt(curl, CURLOPT_HTTPGET, 1L);
  } else if (t.request.method == "POST") {
    curl_easy_setopt(curl, CURLOPT_POST, 1L);
  } else {
    curl_easy_setopt(curl, CURLOPT_CUSTOMREQUEST, t.request.method.c_str());
  }
  if (!t.request.body.empty() || t.request.method == "POST") {
    curl_easy_setopt(curl, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(t.request.body.size()));
    curl_easy_setopt(curl, CURLOPT_POSTFIELDS, t.request.body.c_str());
  }

  CURLcode code = curl_easy_perform(curl);
  if (code == CURLE_OK) {
    long status = 0;
    curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &status);
    t.response.status = static_cast<int>(status);
  } else if (code == CURLE_ABORTED_BY_CALLBACK && t.abort.load()) {
    t.aborted = true;
  } else {
    std::string text = curl_easy_strerror(code);
    if (errorBuffer[0]) text += std::string(": ") + errorBuffer;
    t.transportError = redact(text);
  }
  curl_slist_free_all(headers);
  curl_easy_cleanup(curl);
}

}  // namespace

struct CurlHttpClient::Impl {
  explicit Impl(Options o) : options(o), pool(o.workers == 0 ? 1 : o.workers) {}
  Options options;
  asio::thread_pool pool;
};

CurlHttpClient::CurlHttpClient() : CurlHttpClient(Options{}) {}
CurlHttpClient::CurlHttpClient(Options options) : impl_(std::make_unique<Impl>(options)) {}
CurlHttpClient::~CurlHttpClient() {
  impl_->pool.join();
}

Async<HttpResponse> CurlHttpClient::send(HttpRequest request) {
  if (co_await isCancelled()) throw CancelledError();
  auto transfer = std::make_shared<Transfer>();
  transfer->timeout = request.timeout.value_or(impl_->options.defaultTimeout);
  transfer->request = std::move(request);
  Impl* impl = impl_.get();

  co_await asio::async_initiate<const asio::use_awaitable_t<>, void()>(
      [impl, transfer](auto handler) {
        auto slot = asio::get_associated_cancellation_slot(handler);
        if (slot.is_connected()) {
          slot.assign([transfer](asio::cancellation_type) { transfer->abort = true; });
        }
        auto ex = asio::get_associated_executor(handler);
        // Keeps the caller's loop from running out of work while the transfer is out.
        auto work = asio::prefer(ex, asio::execution::outstanding_work.tracked);
        asio::post(impl->pool, [transfer, slot, work, handler = std::move(handler)]() mutable {
          perform(*transfer);
          asio::post(work, [slot, handler = std::move(handler)]() mutable {
            if (slot.is_connected()) slot.clear();
            std::move(handler)();
          });
        });
      },
      asio::use_awaitable);

  if (transfer->aborted) throw CancelledError();
  if (transfer->transportError) throw HttpTransportError(*transfer->transportError);
  co_return std::move(transfer->response);
}

}  // namespace kv
