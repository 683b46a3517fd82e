#include "naslink/LineSplitter.h"

namespace kv {
namespace {

// Length of a terminator starting at s[i], 0 if none, -1 if s may hold the
// start of a multi-byte terminator that the next chunk completes.
int terminatorAt(std::string_view s, std::size_t i) {
  const auto c = static_cast<unsigned char>(s[i]);
  if (c == '\n' || c == '\r') return 1;
  const std::size_t left = s.size() - i;
  if (c == 0xC2) {
    if (left < 2) return -1;
    return static_cast<unsigned char>(s[i + 1]) == 0x85 ? 2 : 0;
  }
  if (c == 0xE2) {
    if (left < 2) return -1;
    if (static_cast<unsigned char>(s[i + 1]) != 0x80) return 0;
    if (left < 3) return -1;
    const auto d = static_cast<unsigned char>(s[i + 2]);
    return (d == 0xA8 || d == 0xA9) ? 3 : 0;
  }
  return 0;
}

}  // namespace

std::vector<std::string> LineSplitter::feed(std::string_view bytes) {
  std::vector<std::string> lines;
  pending_.append(bytes);
  std::size_t start = 0;
  std::size_t i = 0;
  while (i < pending_.size()) {
    if (afterCR_) {
      afterCR_ = false;
      if (pending_[i] == '\n' && i == start) {
        start = ++i;
        continue;
      }
    }
    const int len = terminatorAt(pending_, i);
    if (len < 0) break;  // wait for the rest of a possible terminator
    if (len == 0) {
      ++i;
      continue;
    }
    lines.emplace_back(pending_, start, i - start);
    afterCR_ = pending_[i] == '\r';
    i += static_cast<std::size_t>(len);
    start = i;
  }
  pending_.erase(0, start);
  return lines;
}

std::vector<std::string> LineSplitter::finish() {
  std::vector<std::string> lines;
  if (!pending_.empty()) lines.push_back(std::move(pending_));
  pending_.clear();
  afterCR_ = false;
  return lines;
}

}  // namespace kv
