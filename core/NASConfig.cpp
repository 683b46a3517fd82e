#include "core/NASConfig.h"

#include <cmath>
#include <limits>
#include <ostream>

#include "core/JsonFields.h"

namespace kv {

namespace {

using nlohmann::json;

std::uint16_t decodePort(const json& doc) {
  const json& value = jsonfield::required(doc, "local_port");
  if (!value.is_number()) {
    throw DecodingError("local_port", "expected a number, found " + jsonTypeName(value));
  }
  // A number's dump is digits, sign, point and exponent only: safe to quote.
  if (auto integral = jsonfield::integralValue(value)) {
    if (*integral < 0 || *integral > std::numeric_limits<std::uint16_t>::max()) {
      throw DecodingError("local_port", "value " + value.dump() + " does not fit 0-65535");
    }
    return static_cast<std::uint16_t>(*integral);
  }
  if (value.is_number_float()) {
    double d = *value.get_ptr<const json::number_float_t*>();
    if (std::isfinite(d) && d != std::trunc(d)) {
      throw DecodingError("local_port", "value " + value.dump() + " is not an integer");
    }
  }
  throw DecodingError("local_port", "value " + value.dump() + " does not fit 0-65535");
}

std::string decodeRemoteSMB(const json& doc) {
  const json& value = jsonfield::required(doc, "remote_smb");
  // Read as an integer first, then as a string.
  if (value.is_number()) {
    auto integral = jsonfield::integralValue(value);
    if (!integral) throw DecodingError("remote_smb", "value is a number but not a 64-bit integer");
    return std::to_string(*integral);
  }
  if (value.is_string()) return *value.get_ptr<const std::string*>();
  throw DecodingError("remote_smb", "expected an integer or a string, found " + jsonTypeName(value));
}

NASConfig decode(const json& doc) {
  jsonfield::requireObject(doc);
  NASConfig config;
  config.molerunAddr = jsonfield::requireString(doc, "molerun_addr");
  config.smbShare = jsonfield::requireString(doc, "smb_share");
  config.destSubdir = jsonfield::requireString(doc, "dest_subdir");
  config.localPort = decodePort(doc);
  config.remoteSMB = decodeRemoteSMB(doc);
  config.nasLabel = jsonfield::optionalString(doc, "nas_label").value_or(std::string(kDefaultNASLabel));
  config.nasUserDefault = jsonfield::optionalString(doc, "nas_user_default");
  return config;
}

}  // namespace

std::string NASConfig::describe() const {
  std::string text = "NASConfig(molerunAddr: <redacted>, smbShare: ";
  text += smbShare;
  text += ", destSubdir: ";
  text += destSubdir;
  text += ", localPort: ";
  text += std::to_string(localPort);
  text += ", remoteSMB: ";
  text += remoteSMB;
  text += ", nasLabel: ";
  text += nasLabel;
  text += ")";
  return text;
}

std::ostream& operator<<(std::ostream& out, const NASConfig& config) { return out << config.describe(); }

NASConfig decodeNASConfig(const nlohmann::json& document) {
  try {
    return decode(document);
  } catch (const ConfigDecodingError&) {
    throw;
  } catch (const DecodingError& e) {
    throw ConfigDecodingError(e);
  } catch (const nlohmann::json::exception&) {
    // The readers above do not use throwing accessors; this is a safety net.
    throw ConfigDecodingError("", "the configuration document has the wrong form");
  }
}

NASConfig decodeNASConfigText(std::string_view text) {
  json document = json::parse(text.begin(), text.end(), nullptr, /*allow_exceptions=*/false);
  if (document.is_discarded()) throw ConfigDecodingError("", "the configuration document is not valid JSON");
  return decodeNASConfig(document);
}

nlohmann::json encodeNASConfig(const NASConfig& config) {
  json doc = json::object();
  doc["molerun_addr"] = config.molerunAddr;
  doc["smb_share"] = config.smbShare;
  doc["dest_subdir"] = config.destSubdir;
  doc["local_port"] = config.localPort;
  doc["remote_smb"] = config.remoteSMB;
  doc["nas_label"] = config.nasLabel;
  if (config.nasUserDefault) doc["nas_user_default"] = *config.nasUserDefault;
  return doc;
}

void to_json(nlohmann::json& j, const NASConfig& config) { j = encodeNASConfig(config); }
void from_json(const nlohmann::json& j, NASConfig& config) { config = decodeNASConfig(j); }

}  // namespace kv
