#pragma once
// Where the NAS is and how to reach it: the configuration document fetched
// from the configuration endpoint.
//
// JSON keys: molerun_addr, smb_share, dest_subdir, local_port, remote_smb,
// nas_label, nas_user_default. Decoding:
//   - molerun_addr, smb_share, dest_subdir: required strings;
//   - local_port: required number with an integral value in 0-65535;
//   - remote_smb: required; an integer (kept as its decimal text) or a string;
//   - nas_label: optional, absent or null gives "Synology";
//   - nas_user_default: optional, absent or null gives no value.
// Any other input fails as a whole with ConfigDecodingError naming the key;
// decoding never throws anything else, whatever the input.
// Encoding writes all keys, remote_smb as a string, nas_user_default only when
// it has a value.
//
// The tunnel address is secret-like: the textual form (`describe`, <<) shows
// "<redacted>" in its place and leaves out nasUserDefault.
#include <cstdint>
#include <iosfwd>
#include <optional>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

#include "core/DecodingError.h"

namespace kv {

inline constexpr std::string_view kDefaultNASLabel = "Synology";

struct NASConfig {
  std::string molerunAddr;
  std::string smbShare;
  std::string destSubdir;
  std::uint16_t localPort = 0;
  std::string remoteSMB;
  std::string nasLabel = std::string(kDefaultNASLabel);
  std::optional<std::string> nasUserDefault;

  bool operator==(const NASConfig&) const = default;

  // "NASConfig(molerunAddr: <redacted>, smbShare: …, destSubdir: …,
  //  localPort: …, remoteSMB: …, nasLabel: …)"
  std::string describe() const;
};

std::ostream& operator<<(std::ostream& out, const NASConfig& config);

class ConfigDecodingError : public DecodingError {
 public:
  explicit ConfigDecodingError(const DecodingError& cause) : DecodingError(cause) {}
  using DecodingError::DecodingError;
};

// Throws ConfigDecodingError.
NASConfig decodeNASConfig(const nlohmann::json& document);
// Parses the text first; text that is not JSON is a ConfigDecodingError too.
NASConfig decodeNASConfigText(std::string_view text);

nlohmann::json encodeNASConfig(const NASConfig& config);

// nlohmann hooks (same rules; from_json throws ConfigDecodingError).
void to_json(nlohmann::json& j, const NASConfig& config);
void from_json(const nlohmann::json& j, NASConfig& config);

}  // namespace kv
