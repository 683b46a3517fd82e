#include "identity/HttpClient.h"

#include <strings.h>

namespace kv {

namespace {
std::optional<std::string> findHeader(const HttpHeaders& headers, std::string_view name) {
  for (const auto& [key, value] : headers) {
    if (key.size() == name.size() && ::strncasecmp(key.data(), name.data(), name.size()) == 0) return value;
  }
  return std::nullopt;
}
}  // namespace

std::optional<std::string> HttpRequest::header(std::string_view name) const { return findHeader(headers, name); }
std::optional<std::string> HttpResponse::header(std::string_view name) const { return findHeader(headers, name); }

}  // namespace kv
