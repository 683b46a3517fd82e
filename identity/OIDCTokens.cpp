#include "identity/OIDCTokens.h"

#include "core/JsonFields.h"

namespace kv {

void to_json(nlohmann::json& j, const OIDCTokens& tokens) {
  j = nlohmann::json::object();
  j["accessToken"] = tokens.accessToken;
  if (tokens.refreshToken) j["refreshToken"] = *tokens.refreshToken;
  j["expiresAt"] = jsonfield::encodeDate(tokens.expiresAt);
}

void from_json(const nlohmann::json& j, OIDCTokens& tokens) {
  jsonfield::requireObject(j);
  tokens.accessToken = jsonfield::requireString(j, "accessToken");
  tokens.refreshToken = jsonfield::optionalString(j, "refreshToken");
  tokens.expiresAt = jsonfield::requireDate(j, "expiresAt");
}

std::string encodeTokens(const OIDCTokens& tokens) { return nlohmann::json(tokens).dump(); }

OIDCTokens decodeTokens(std::string_view text) {
  auto doc = nlohmann::json::parse(text.begin(), text.end(), nullptr, /*allow_exceptions=*/false);
  if (doc.is_discarded()) throw DecodingError("", "the stored tokens are not valid JSON");
  OIDCTokens tokens;
  from_json(doc, tokens);
  return tokens;
}

}  // namespace kv
