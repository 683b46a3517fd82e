#pragma once
// Small text helpers of the identity subsystem.
#include <cstddef>
#include <string>
#include <string_view>

namespace kv {

// The bytes decoded as UTF-8, each invalid sequence replaced by U+FFFD.
// Never fails.
std::string lossyUTF8(std::string_view bytes);

// The first `limit` bytes of a response body as text (lossy UTF-8), redacted:
// the message of a failed HTTP exchange.
std::string bodyExcerpt(std::string_view body, std::size_t limit = 512);

// Percent-encoding that leaves only ASCII letters, digits and "-._~" as they
// are; every other byte (also of non-ASCII characters) becomes %XX.
std::string percentEncodeUnreserved(std::string_view value);

// RFC 4648 base64url without padding.
std::string base64URL(std::string_view bytes);

}  // namespace kv
