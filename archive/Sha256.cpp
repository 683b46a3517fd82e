#include "archive/Sha256.h"

#include <openssl/evp.h>

#include <stdexcept>

namespace kv {

struct Sha256::Context {
  EVP_MD_CTX* ctx = nullptr;
  Context() : ctx(EVP_MD_CTX_new()) {
    if (!ctx || EVP_DigestInit_ex(ctx, EVP_sha256(), nullptr) != 1) throw std::runtime_error("SHA-256 unavailable");
  }
  ~Context() { EVP_MD_CTX_free(ctx); }
};

Sha256::Sha256() : context_(std::make_unique<Context>()) {}
Sha256::~Sha256() = default;
Sha256::Sha256(Sha256&&) noexcept = default;
Sha256& Sha256::operator=(Sha256&&) noexcept = default;

void Sha256::update(std::span<const std::uint8_t> bytes) {
  if (!bytes.empty()) EVP_DigestUpdate(context_->ctx, bytes.data(), bytes.size());
}

void Sha256::update(std::string_view bytes) {
  if (!bytes.empty()) EVP_DigestUpdate(context_->ctx, bytes.data(), bytes.size());
}

std::string Sha256::finishHex() {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  EVP_DigestFinal_ex(context_->ctx, digest, &length);
  EVP_DigestInit_ex(context_->ctx, EVP_sha256(), nullptr);
  static constexpr char hex[] = "0123456789abcdef";
  std::string out;
  out.reserve(length * 2);
  for (unsigned int i = 0; i < length; ++i) {
    out.push_back(hex[digest[i] >> 4]);
    out.push_back(hex[digest[i] & 0xf]);
  }
  return out;
}

std::string sha256Hex(std::string_view bytes) {
  Sha256 h;
  h.update(bytes);
  return h.finishHex();
}

std::string sha256Hex(std::span<const std::uint8_t> bytes) {
  Sha256 h;
  h.update(bytes);
  return h.finishHex();
}

}  // namespace kv
