#pragma once
// The NAS login: SMB username and password. Compared by value. Deliberately
// without a coded or textual form, so that the password cannot end up in a log
// by accident; the credential store keeps it in the keychain.
#include <string>

namespace kv {

struct NASCredentials {
  std::string username;
  std::string password;

  bool operator==(const NASCredentials&) const = default;
};

}  // namespace kv
