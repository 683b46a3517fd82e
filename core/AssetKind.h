#pragma once
// The kind of a Photos asset. Stored strings (the JSON form) = case names; the
// catalog keeps its own shorter strings.
#include "core/StoredString.h"

namespace kv {

enum class AssetKind {
  photo,
  video,
  livePhoto,
};

template <>
struct StoredStrings<AssetKind> {
  static constexpr std::array<std::pair<AssetKind, std::string_view>, 3> table{{
      {AssetKind::photo, "photo"},
      {AssetKind::video, "video"},
      {AssetKind::livePhoto, "livePhoto"},
  }};
};

}  // namespace kv
