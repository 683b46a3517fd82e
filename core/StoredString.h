#pragma once
// Stored strings of the closed enumerations (run triggers, outcomes, asset
// kinds, resource types, situations).
//
// An enumeration takes part by specialising `StoredStrings<E>` with a
// constexpr `table` of (case, string) pairs in declaration order. It then has:
//   storedString(e)          the case's string
//   fromStoredString<E>(s)   the case for a string; no value for an unknown one
//   allCases<E>()            every case in declaration order
// and a JSON coding by its string (an unknown string or a non-string value
// fails the decode with a DecodingError).
#include <array>
#include <concepts>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include <nlohmann/json.hpp>

#include "core/DecodingError.h"

namespace kv {

template <class E>
struct StoredStrings;  // specialised per enumeration

template <class E>
concept HasStoredStrings = std::is_enum_v<E> && requires { StoredStrings<E>::table; };

template <HasStoredStrings E>
constexpr std::string_view storedString(E value) {
  for (const auto& [e, s] : StoredStrings<E>::table) {
    if (e == value) return s;
  }
  return {};  // unreachable for a valid case
}

template <HasStoredStrings E>
constexpr std::optional<E> fromStoredString(std::string_view text) {
  for (const auto& [e, s] : StoredStrings<E>::table) {
    if (s == text) return e;
  }
  return std::nullopt;
}

template <HasStoredStrings E>
constexpr auto allCases() {
  constexpr auto& table = StoredStrings<E>::table;
  std::array<E, table.size()> cases{};
  for (std::size_t i = 0; i < table.size(); ++i) cases[i] = table[i].first;
  return cases;
}

template <HasStoredStrings E>
void to_json(nlohmann::json& j, E value) {
  j = std::string(storedString(value));
}

template <HasStoredStrings E>
void from_json(const nlohmann::json& j, E& value) {
  if (!j.is_string()) throw DecodingError("", "expected a string, found " + jsonTypeName(j));
  const auto* text = j.get_ptr<const std::string*>();
  auto decoded = fromStoredString<E>(*text);
  if (!decoded) throw DecodingError("", "unknown value");
  value = *decoded;
}

}  // namespace kv
