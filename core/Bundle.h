#pragma once
// Fixed facts about the application bundle.
#include <string_view>

namespace kv {

// The application's bundle identifier: the subsystem of every system-log
// channel and the stem of names that must be unique to the application.
inline constexpr std::string_view kBundleIdentifier = "net.kelvane.Kelvane";

}  // namespace kv
