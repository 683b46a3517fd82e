#include "identity/TextEncoding.h"

#include <unicode/ustring.h>
#include <unicode/utypes.h>

#include <openssl/evp.h>

#include <vector>

#include "core/Redaction.h"

namespace kv {

std::string lossyUTF8(std::string_view bytes) {
  if (bytes.empty()) return {};
  UErrorCode status = U_ZERO_ERROR;
  int32_t units = 0;
  // Preflight, then convert, substituting U+FFFD for every ill-formed sequence.
  u_strFromUTF8WithSub(nullptr, 0, &units, bytes.data(), static_cast<int32_t>(bytes.size()), 0xFFFD, nullptr,
                       &status);
  if (status != U_BUFFER_OVERFLOW_ERROR && U_FAILURE(status)) return {};
  std::vector<UChar> utf16(static_cast<std::size_t>(units) + 1);
  status = U_ZERO_ERROR;
  u_strFromUTF8WithSub(utf16.data(), static_cast<int32_t>(utf16.size()), &units, bytes.data(),
                       static_cast<int32_t>(bytes.size()), 0xFFFD, nullptr, &status);
  if (U_FAILURE(status)) return {};
  int32_t length = 0;
  status = U_ZERO_ERROR;
  u_strToUTF8(nullptr, 0, &length, utf16.data(), units, &status);
  if (status != U_BUFFER_OVERFLOW_ERROR && U_FAILURE(status)) return {};
  std::string out(static_cast<std::size_t>(length), '\0');
  status = U_ZERO_ERROR;
  u_strToUTF8(out.data(), length, &length, utf16.data(), units, &status);
  if (U_FAILURE(status) && status != U_STRING_NOT_TERMINATED_WARNING) return {};
  return out;
}

std::string bodyExcerpt(std::string_view body, std::size_t limit) {
  return redact(lossyUTF8(body.substr(0, limit)));
}

std::string percentEncodeUnreserved(std::string_view value) {
  static constexpr char hex[] = "0123456789ABCDEF";
  std::string out;
  out.reserve(value.size());
  for (unsigned char c : value) {
    bool keep = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' ||
                c == '.' || c == '_' || c == '~';
    if (keep) {
      out.push_back(static_cast<char>(c));
    } else {
      out.push_back('%');
      out.push_back(hex[c >> 4]);
      out.push_back(hex[c & 0xF]);
    }
  }
  return out;
}

std::string base64URL(std::string_view bytes) {
  std::string out(4 * ((bytes.size() + 2) / 3) + 1, '\0');
  int n = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(out.data()),
                          reinterpret_cast<const unsigned char*>(bytes.data()), static_cast<int>(bytes.size()));
  out.resize(static_cast<std::size_t>(n));
  std::string result;
  result.reserve(out.size());
  for (char c : out) {
    if (c == '+') result.push_back('-');
    else if (c == '/') result.push_back('_');
    else if (c != '=') result.push_back(c);
  }
  return result;
}

}  // namespace kv
