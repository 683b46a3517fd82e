#pragma once
// Reading the fields of a JSON object for the decoders of our records.
//
// Every reader throws DecodingError naming the key (and never quoting a string
// value), so that a decode fails with one typed error whatever the input, and
// no nlohmann exception leaks out. Absent and null optional fields both give
// no value. Numbers read as integers must hold an integral value that fits the
// target ("3.0" is 3, "3.5" is an error); dates are seconds since 2001-01-01
// UTC, within a few centuries of today.
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "core/Date.h"
#include "core/DecodingError.h"

namespace kv::jsonfield {

using nlohmann::json;

// Throws DecodingError("", "expected a JSON object, found <type>") otherwise.
void requireObject(const json& j);

// The field's value, or nullptr when absent. `obj` must be an object.
const json* find(const json& obj, const char* key);
// The field's value; throws "required key is missing" when absent.
const json& required(const json& obj, const char* key);
// The field's value, or nullptr when absent or null.
const json* present(const json& obj, const char* key);

// The integral value of a JSON number, if it has one that fits int64.
std::optional<std::int64_t> integralValue(const json& value);

std::string requireString(const json& obj, const char* key);
std::optional<std::string> optionalString(const json& obj, const char* key);
std::int64_t requireInt64(const json& obj, const char* key);
std::optional<std::int64_t> optionalInt64(const json& obj, const char* key);
double requireDouble(const json& obj, const char* key);
std::optional<double> optionalDouble(const json& obj, const char* key);
bool requireBool(const json& obj, const char* key);
Date requireDate(const json& obj, const char* key);
std::vector<std::string> requireStringArray(const json& obj, const char* key);

// A nested record decoded with its own from_json; its errors are reported
// under this key ("location.latitude").
template <class T>
T decodeNested(const json& value, const char* key) {
  try {
    T result{};
    from_json(value, result);
    return result;
  } catch (const DecodingError& e) {
    throw e.within(key);
  } catch (const json::exception&) {
    throw DecodingError(key, "value has the wrong form");
  }
}

template <class T>
T requireValue(const json& obj, const char* key) {
  return decodeNested<T>(required(obj, key), key);
}

template <class T>
std::optional<T> optionalValue(const json& obj, const char* key) {
  const json* value = present(obj, key);
  if (!value) return std::nullopt;
  return decodeNested<T>(*value, key);
}

// Encoding counterpart of requireDate.
inline double encodeDate(Date d) { return toReferenceSeconds(d); }

}  // namespace kv::jsonfield
