#pragma once
// The configuration document as the configuration endpoint serves it: the
// NASConfig JSON form with two further rules. "molerun_addr" and "smb_share"
// must not be empty, and an empty "nas_user_default" counts as absent.
// Throws ConfigDecodingError; its text names keys, never values.
#include <string_view>

#include "core/NASConfig.h"

namespace kv {

NASConfig decodeConfigDocument(std::string_view body);

}  // namespace kv
