#pragma once
// PKCE values (RFC 7636) and the other random values of a sign-in.
#include <string>
#include <string_view>

namespace kv {

// 32 bytes from the system's cryptographic random source, base64url without
// padding: 43 characters. A failing random source ends the process (there is
// no safe way to go on signing in without it).
std::string randomURLSafeValue();

// base64url(SHA-256(verifier)), the S256 code challenge.
std::string codeChallengeS256(std::string_view verifier);

}  // namespace kv
