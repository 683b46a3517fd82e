#include "platform/linux/identity/LinuxKeychain.h"

#include "platform/linux/identity/FileKeychain.h"
#include "platform/linux/identity/SecretServiceKeychain.h"

namespace kv {

std::shared_ptr<KeychainService> makeLinuxKeychain() {
  if (SecretServiceKeychain::available()) return std::make_shared<SecretServiceKeychain>();
  return std::make_shared<FileKeychain>(FileKeychain::defaultFolder());
}

}  // namespace kv
