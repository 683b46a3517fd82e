#include "identity/Pkce.h"

#include <openssl/evp.h>
#include <openssl/rand.h>

#include <cstdio>
#include <cstdlib>

#include "identity/IdentityTexts.h"
#include "identity/TextEncoding.h"

namespace kv {

std::string randomURLSafeValue() {
  unsigned char bytes[32];
  if (RAND_bytes(bytes, sizeof bytes) != 1) {
    std::fprintf(stderr, "%.*s\n", static_cast<int>(identitytext::logRandomSourceFailed.size()),
                 identitytext::logRandomSourceFailed.data());
    std::abort();
  }
  return base64URL(std::string_view(reinterpret_cast<const char*>(bytes), sizeof bytes));
}

std::string codeChallengeS256(std::string_view verifier) {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  EVP_Digest(verifier.data(), verifier.size(), digest, &length, EVP_sha256(), nullptr);
  return base64URL(std::string_view(reinterpret_cast<const char*>(digest), length));
}

}  // namespace kv
