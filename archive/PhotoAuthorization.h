#pragma once
// Whether the Photos library may be read. How platform states map onto these
// is the photo source implementation's business. Stored strings = case names.
#include "core/StoredString.h"

namespace kv {

enum class PhotoAuthorization {
  notDetermined,  // the user was never asked
  authorized,     // full access
  limited,        // access to a subset the user chose
  denied,         // no access
};

template <>
struct StoredStrings<PhotoAuthorization> {
  static constexpr std::array<std::pair<PhotoAuthorization, std::string_view>, 4> table{{
      {PhotoAuthorization::notDetermined, "notDetermined"},
      {PhotoAuthorization::authorized, "authorized"},
      {PhotoAuthorization::limited, "limited"},
      {PhotoAuthorization::denied, "denied"},
  }};
};

// The archive run reads the library only on `authorized` or `limited`.
constexpr bool allowsReading(PhotoAuthorization a) {
  return a == PhotoAuthorization::authorized || a == PhotoAuthorization::limited;
}

}  // namespace kv
