#include "archive/RandomUUID.h"

#include <openssl/rand.h>

#include <array>
#include <cstdio>
#include <random>
#include <stdexcept>

namespace kv {

std::string randomUUIDString() {
  std::array<unsigned char, 16> b{};
  if (RAND_bytes(b.data(), static_cast<int>(b.size())) != 1) {
    // Names only need to be unique, not secret: fall back to the OS source.
    std::random_device rd;
    for (auto& byte : b) byte = static_cast<unsigned char>(rd());
  }
  b[6] = static_cast<unsigned char>((b[6] & 0x0f) | 0x40);  // version 4
  b[8] = static_cast<unsigned char>((b[8] & 0x3f) | 0x80);  // RFC 4122 variant
  char text[37];
  std::snprintf(text, sizeof text, "%02X%02X%02X%02X-%02X%02X-%02X%02X-%02X%02X-%02X%02X%02X%02X%02X%02X", b[0],
                b[1], b[2], b[3], b[4], b[5], b[6], b[7], b[8], b[9], b[10], b[11], b[12], b[13], b[14], b[15]);
  return std::string(text, 36);
}

}  // namespace kv
