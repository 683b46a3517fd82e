#include "core/Redaction.h"

namespace kv {

namespace {

// Both rules are plain left-to-right scans; std::regex would do, but it is slow,
// recursive on long inputs and may throw, and redact must neither crash nor throw.

bool isTokenChar(char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_' || c == '-';
}

// ASCII white space only: a token can hold any other byte (UTF-8 included).
bool isSpace(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f'; }

bool endsBearerToken(char c) { return isSpace(c) || c == '"' || c == '\'' || c == ','; }

std::string redactTunnelTokens(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  std::size_t i = 0;
  while (i < text.size()) {
    if (text.substr(i, kTunnelTokenPrefix.size()) == kTunnelTokenPrefix) {
      std::size_t end = i + kTunnelTokenPrefix.size();
      while (end < text.size() && isTokenChar(text[end])) ++end;
      if (end - (i + kTunnelTokenPrefix.size()) >= kTunnelTokenMinimumLength) {
        out += kTunnelTokenPrefix;
        out += kRedactedMark;
        i = end;
        continue;
      }
    }
    out += text[i];
    ++i;
  }
  return out;
}

std::string redactBearerTokens(std::string_view text) {
  constexpr std::string_view kBearer = "Bearer";
  std::string out;
  out.reserve(text.size());
  std::size_t i = 0;
  while (i < text.size()) {
    if (text.substr(i, kBearer.size()) == kBearer) {
      std::size_t tokenStart = i + kBearer.size();
      while (tokenStart < text.size() && isSpace(text[tokenStart])) ++tokenStart;
      std::size_t end = tokenStart;
      while (end < text.size() && !endsBearerToken(text[end])) ++end;
      if (tokenStart > i + kBearer.size() && end > tokenStart) {
        out += kBearer;
        out += ' ';
        out += kRedactedMark;
        i = end;
        continue;
      }
    }
    out += text[i];
    ++i;
  }
  return out;
}

}  // namespace

std::string redact(std::string_view text) { return redactBearerTokens(redactTunnelTokens(text)); }

}  // namespace kv
