#pragma once
// Removal of credentials from any text that is logged or shown.
//
// Every error description that goes into a log line, a user-facing detail
// text, the rolling log or the tunnel helper's captured output passes through
// `redact` first. Two rules, applied to the whole text in this order, each
// replacing every match left to right without overlap:
//   1. kTunnelTokenPrefix immediately followed by 20 or more characters from
//      A-Z a-z 0-9 _ - (anywhere, also inside a longer word; the match takes
//      all following characters of that set) becomes the prefix followed by
//      "…redacted".
//   2. "Bearer" (exact case), one or more ASCII white-space characters, then
//      one or more characters that are neither white space nor ", ' or ","
//      becomes "Bearer …redacted"; what follows the token is kept.
// The ellipsis is U+2026 (UTF-8). Text matching neither rule is returned
// unchanged. Pure, thread-safe; never throws except on memory exhaustion.
#include <string>
#include <string_view>

namespace kv {

// The prefix of the tunnel helper's access tokens. tools/molerun issues and
// prints tokens that start with it; the two must never drift apart.
inline constexpr std::string_view kTunnelTokenPrefix = "mr";

// The shortest run of token characters after the prefix that counts as a token.
inline constexpr std::size_t kTunnelTokenMinimumLength = 20;

// What each redacted credential turns into after its prefix ("Bearer " or
// kTunnelTokenPrefix): U+2026 HORIZONTAL ELLIPSIS, then "redacted".
inline constexpr std::string_view kRedactedMark = "\xE2\x80\xA6redacted";

std::string redact(std::string_view text);

}  // namespace kv
