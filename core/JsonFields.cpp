#include "core/JsonFields.h"

#include <cmath>

namespace kv::jsonfield {

namespace {

// Dates further than this from 2001 cannot be real run or asset dates, and
// beyond about 292 years from 1970 they no longer fit the nanosecond clock.
constexpr double kDateLimitSeconds = 8.0e9;

[[noreturn]] void wrongType(const char* key, const char* expected, const json& value) {
  throw DecodingError(key, std::string("expected ") + expected + ", found " + jsonTypeName(value));
}

}  // namespace

void requireObject(const json& j) {
  if (!j.is_object()) throw DecodingError("", "expected a JSON object, found " + jsonTypeName(j));
}

const json* find(const json& obj, const char* key) {
  if (!obj.is_object()) return nullptr;
  auto it = obj.find(key);
  return it == obj.end() ? nullptr : &*it;
}

const json& required(const json& obj, const char* key) {
  const json* value = find(obj, key);
  if (!value) throw DecodingError(key, "required key is missing");
  return *value;
}

const json* present(const json& obj, const char* key) {
  const json* value = find(obj, key);
  return (value && !value->is_null()) ? value : nullptr;
}

std::optional<std::int64_t> integralValue(const json& value) {
  switch (value.type()) {
    case json::value_t::number_integer:
      return *value.get_ptr<const json::number_integer_t*>();
    case json::value_t::number_unsigned: {
      auto u = *value.get_ptr<const json::number_unsigned_t*>();
      if (u > static_cast<json::number_unsigned_t>(INT64_MAX)) return std::nullopt;
      return static_cast<std::int64_t>(u);
    }
    case json::value_t::number_float: {
      double d = *value.get_ptr<const json::number_float_t*>();
      // 2^63 itself is out of range; every double below it converts exactly.
      if (!std::isfinite(d) || d != std::trunc(d) || d < -9223372036854775808.0 ||
          d >= 9223372036854775808.0) {
        return std::nullopt;
      }
      return static_cast<std::int64_t>(d);
    }
    default:
      return std::nullopt;
  }
}

std::string requireString(const json& obj, const char* key) {
  const json& value = required(obj, key);
  if (!value.is_string()) wrongType(key, "a string", value);
  return *value.get_ptr<const std::string*>();
}

std::optional<std::string> optionalString(const json& obj, const char* key) {
  const json* value = present(obj, key);
  if (!value) return std::nullopt;
  if (!value->is_string()) wrongType(key, "a string", *value);
  return *value->get_ptr<const std::string*>();
}

namespace {
std::int64_t int64Of(const json& value, const char* key) {
  if (!value.is_number()) wrongType(key, "an integer", value);
  auto i = integralValue(value);
  if (!i) throw DecodingError(key, "value is not an integer that fits 64 bits");
  return *i;
}

double doubleOf(const json& value, const char* key) {
  if (!value.is_number()) wrongType(key, "a number", value);
  double d = value.is_number_float() ? *value.get_ptr<const json::number_float_t*>()
             : value.is_number_unsigned()
                 ? static_cast<double>(*value.get_ptr<const json::number_unsigned_t*>())
                 : static_cast<double>(*value.get_ptr<const json::number_integer_t*>());
  if (!std::isfinite(d)) throw DecodingError(key, "value is not a finite number");
  return d;
}
}  // namespace

std::int64_t requireInt64(const json& obj, const char* key) { return int64Of(required(obj, key), key); }

std::optional<std::int64_t> optionalInt64(const json& obj, const char* key) {
  const json* value = present(obj, key);
  if (!value) return std::nullopt;
  return int64Of(*value, key);
}

double requireDouble(const json& obj, const char* key) { return doubleOf(required(obj, key), key); }

std::optional<double> optionalDouble(const json& obj, const char* key) {
  const json* value = present(obj, key);
  if (!value) return std::nullopt;
  return doubleOf(*value, key);
}

bool requireBool(const json& obj, const char* key) {
  const json& value = required(obj, key);
  if (!value.is_boolean()) wrongType(key, "a boolean", value);
  return *value.get_ptr<const json::boolean_t*>();
}

Date requireDate(const json& obj, const char* key) {
  double seconds = doubleOf(required(obj, key), key);
  if (std::fabs(seconds) > kDateLimitSeconds) throw DecodingError(key, "date is out of range");
  return fromReferenceSeconds(seconds);
}

std::vector<std::string> requireStringArray(const json& obj, const char* key) {
  const json& value = required(obj, key);
  if (!value.is_array()) wrongType(key, "an array of strings", value);
  std::vector<std::string> result;
  result.reserve(value.size());
  std::size_t index = 0;
  for (const json& element : value) {
    if (!element.is_string()) {
      std::string elementKey = std::string(key) + "[" + std::to_string(index) + "]";
      wrongType(elementKey.c_str(), "a string", element);
    }
    result.push_back(*element.get_ptr<const std::string*>());
    ++index;
  }
  return result;
}

}  // namespace kv::jsonfield
