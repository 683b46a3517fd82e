#pragma once
// A new random (version 4) UUID in its usual upper-case text form,
// "E621E1F8-C36C-495A-93FC-0C247A3E6E5F", from the system's secure random
// source. Used for spool file names and temporary names on the share.
#include <string>

namespace kv {

std::string randomUUIDString();

}  // namespace kv
