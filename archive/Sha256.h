#pragma once
// SHA-256 digests (OpenSSL EVP), written as lowercase hexadecimal: each byte
// as "%02x", no separators, 64 characters.
//
// `Sha256` is incremental: feed it the bytes of a download chunk by chunk and
// take the digest at the end. Not thread-safe; one instance per stream.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>

namespace kv {

class Sha256 {
 public:
  Sha256();
  ~Sha256();
  Sha256(Sha256&&) noexcept;
  Sha256& operator=(Sha256&&) noexcept;

  void update(std::span<const std::uint8_t> bytes);
  void update(std::string_view bytes);
  // The digest of everything fed so far; the object starts over afterwards.
  std::string finishHex();

 private:
  struct Context;
  std::unique_ptr<Context> context_;
};

// The lowercase hexadecimal digest of `bytes`.
std::string sha256Hex(std::string_view bytes);
std::string sha256Hex(std::span<const std::uint8_t> bytes);

}  // namespace kv
