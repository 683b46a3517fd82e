#include "identity/ConfigDocument.h"

#include "identity/IdentityTexts.h"

namespace kv {

NASConfig decodeConfigDocument(std::string_view body) {
  auto doc = nlohmann::json::parse(body.begin(), body.end(), nullptr, /*allow_exceptions=*/false);
  if (doc.is_discarded()) throw ConfigDecodingError("", "the configuration document is not valid JSON");
  NASConfig config = decodeNASConfig(doc);
  if (config.molerunAddr.empty() || config.smbShare.empty()) {
    throw ConfigDecodingError("", std::string(identitytext::configFieldsEmpty));
  }
  if (config.nasUserDefault && config.nasUserDefault->empty()) config.nasUserDefault.reset();
  return config;
}

}  // namespace kv
