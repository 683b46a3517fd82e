#pragma once
// The keychain the application uses on Linux: the Secret Service when one
// answers on the session bus, otherwise the file keychain in
// $XDG_DATA_HOME/Kelvane/keychain.
#include <memory>

#include "identity/KeychainService.h"

namespace kv {

std::shared_ptr<KeychainService> makeLinuxKeychain();

}  // namespace kv
