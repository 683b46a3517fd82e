#pragma once
// The tokens of one sign-in. JSON form (stored in the keychain):
// {"accessToken": string, "refreshToken": string (left out when none),
//  "expiresAt": seconds since 2001-01-01 UTC}. Decoding throws DecodingError
// (whose text never quotes a token).
#include <optional>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

#include "core/Date.h"

namespace kv {

struct OIDCTokens {
  std::string accessToken;
  std::optional<std::string> refreshToken;
  Date expiresAt{};

  bool operator==(const OIDCTokens&) const = default;
};

void to_json(nlohmann::json& j, const OIDCTokens& tokens);
void from_json(const nlohmann::json& j, OIDCTokens& tokens);

std::string encodeTokens(const OIDCTokens& tokens);
// Throws DecodingError, also for text that is not JSON.
OIDCTokens decodeTokens(std::string_view text);

}  // namespace kv
