#include "core/DecodingError.h"

#include <nlohmann/json.hpp>

namespace kv {

namespace {
std::string message(const std::string& key, const std::string& reason) {
  return key.empty() ? reason : key + ": " + reason;
}
}  // namespace

DecodingError::DecodingError(std::string key, std::string reason)
    : std::runtime_error(message(key, reason)), key_(std::move(key)), reason_(std::move(reason)) {}

DecodingError DecodingError::within(const std::string& outer) const {
  return DecodingError(key_.empty() ? outer : outer + "." + key_, reason_);
}

std::string jsonTypeName(const nlohmann::json& j) {
  switch (j.type()) {
    case nlohmann::json::value_t::object: return "object";
    case nlohmann::json::value_t::array: return "array";
    case nlohmann::json::value_t::string: return "string";
    case nlohmann::json::value_t::boolean: return "boolean";
    case nlohmann::json::value_t::number_integer:
    case nlohmann::json::value_t::number_unsigned:
    case nlohmann::json::value_t::number_float: return "number";
    case nlohmann::json::value_t::binary: return "binary";
    case nlohmann::json::value_t::discarded: return "invalid";
    case nlohmann::json::value_t::null: break;
  }
  return "null";
}

}  // namespace kv
