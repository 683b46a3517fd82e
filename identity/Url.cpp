#include "identity/Url.h"

#include <curl/curl.h>

#include <memory>

#include "identity/TextEncoding.h"

namespace kv {

namespace {

struct UrlDeleter {
  void operator()(CURLU* u) const { curl_url_cleanup(u); }
};
using UrlHandle = std::unique_ptr<CURLU, UrlDeleter>;

struct CurlFree {
  void operator()(char* p) const { curl_free(p); }
};
using CurlString = std::unique_ptr<char, CurlFree>;

UrlHandle parseHandle(std::string_view text) {
  UrlHandle h(curl_url());
  if (!h) return nullptr;
  std::string s(text);
  if (s.find_first_of(" \t\r\n") != std::string::npos) return nullptr;
  if (curl_url_set(h.get(), CURLUPART_URL, s.c_str(), CURLU_NON_SUPPORT_SCHEME) != CURLUE_OK) return nullptr;
  return h;
}

std::optional<std::string> part(CURLU* h, CURLUPart which, unsigned flags = 0) {
  char* out = nullptr;
  if (curl_url_get(h, which, &out, flags) != CURLUE_OK || !out) return std::nullopt;
  CurlString owned(out);
  return std::string(out);
}

std::string percentDecode(std::string_view s) {
  std::string out;
  out.reserve(s.size());
  auto hexValue = [](char c) -> int {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
  };
  for (std::size_t i = 0; i < s.size(); ++i) {
    if (s[i] == '%' && i + 2 < s.size()) {
      int hi = hexValue(s[i + 1]), lo = hexValue(s[i + 2]);
      if (hi >= 0 && lo >= 0) {
        out.push_back(static_cast<char>(hi * 16 + lo));
        i += 2;
        continue;
      }
    }
    out.push_back(s[i]);
  }
  return out;
}

}  // namespace

std::optional<Url> Url::parse(std::string_view text) {
  auto h = parseHandle(text);
  if (!h) return std::nullopt;
  auto full = part(h.get(), CURLUPART_URL);
  if (!full) return std::nullopt;
  return Url(*full);
}

std::string Url::scheme() const {
  auto h = parseHandle(text_);
  return h ? part(h.get(), CURLUPART_SCHEME).value_or("") : "";
}

std::string Url::rawQuery() const {
  auto h = parseHandle(text_);
  return h ? part(h.get(), CURLUPART_QUERY).value_or("") : "";
}

Url Url::appendingPathComponent(std::string_view component) const {
  auto h = parseHandle(text_);
  std::string path = part(h.get(), CURLUPART_PATH).value_or("/");
  if (path.empty() || path.back() != '/') path.push_back('/');
  path.append(component);
  curl_url_set(h.get(), CURLUPART_PATH, path.c_str(), 0);
  return Url(part(h.get(), CURLUPART_URL).value_or(text_));
}

Url Url::appendingQueryItems(const QueryItems& items) const {
  auto h = parseHandle(text_);
  std::string query = part(h.get(), CURLUPART_QUERY).value_or("");
  for (const auto& [name, value] : items) {
    if (!query.empty()) query.push_back('&');
    query += percentEncodeUnreserved(name);
    query.push_back('=');
    query += percentEncodeUnreserved(value);
  }
  curl_url_set(h.get(), CURLUPART_QUERY, query.c_str(), 0);
  return Url(part(h.get(), CURLUPART_URL).value_or(text_));
}

std::optional<QueryItems> queryItemsOf(std::string_view url) {
  auto h = parseHandle(url);
  if (!h) return std::nullopt;
  std::string query = part(h.get(), CURLUPART_QUERY).value_or("");
  QueryItems items;
  std::size_t start = 0;
  while (start <= query.size() && !query.empty()) {
    std::size_t end = query.find('&', start);
    if (end == std::string::npos) end = query.size();
    std::string_view item(query.data() + start, end - start);
    if (!item.empty()) {
      std::size_t eq = item.find('=');
      if (eq == std::string_view::npos) {
        items.emplace_back(percentDecode(item), "");
      } else {
        items.emplace_back(percentDecode(item.substr(0, eq)), percentDecode(item.substr(eq + 1)));
      }
    }
    start = end + 1;
  }
  return items;
}

std::optional<std::string> firstQueryItem(const QueryItems& items, std::string_view name) {
  for (const auto& [key, value] : items) {
    if (key == name) return value;
  }
  return std::nullopt;
}

}  // namespace kv
