#pragma once
// Absolute URLs as the sign-in needs them, parsed by libcurl's URL parser
// (any scheme accepted, so custom callback schemes parse too).
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace kv {

using QueryItems = std::vector<std::pair<std::string, std::string>>;

class Url {
 public:
  // None when `text` is not an absolute URL.
  static std::optional<Url> parse(std::string_view text);

  const std::string& text() const { return text_; }
  std::string scheme() const;  // lower case
  // The query as written (still percent-encoded), empty when none.
  std::string rawQuery() const;

  // The URL with `component` appended to its path ("/" inserted as needed);
  // query kept.
  Url appendingPathComponent(std::string_view component) const;
  // The URL with these items added after its own query items; values and
  // names are percent-encoded (only ASCII alphanumerics and "-._~" are kept).
  Url appendingQueryItems(const QueryItems& items) const;

 private:
  explicit Url(std::string text) : text_(std::move(text)) {}
  std::string text_;
};

// The query items of a URL's query, percent-decoded; an item without "=" has
// an empty value. None when `url` cannot be parsed.
std::optional<QueryItems> queryItemsOf(std::string_view url);
// The value of the first item with this name.
std::optional<std::string> firstQueryItem(const QueryItems& items, std::string_view name);

}  // namespace kv
