#pragma once
// The error of every JSON decode of a core record.
//
// `key` names the offending key as a dotted path from the top of the
// document ("location.latitude"; empty for the document itself); `reason`
// says what was wrong with it. The message is "<key>: <reason>" (or just the
// reason for the document itself). Neither ever contains a string value taken
// from the document, so the message is safe to log.
#include <stdexcept>
#include <string>

#include <nlohmann/json_fwd.hpp>

namespace kv {

class DecodingError : public std::runtime_error {
 public:
  DecodingError(std::string key, std::string reason);

  const std::string& key() const noexcept { return key_; }
  const std::string& reason() const noexcept { return reason_; }

  // The same error one level further down: the key becomes "<outer>.<key>".
  DecodingError within(const std::string& outer) const;

 private:
  std::string key_;
  std::string reason_;
};

// "object", "array", "string", "number", "boolean", "null" (JSON's own names).
std::string jsonTypeName(const nlohmann::json& j);

}  // namespace kv
