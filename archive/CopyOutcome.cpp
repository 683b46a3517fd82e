#include "archive/CopyOutcome.h"

#include "core/Redaction.h"

namespace kv {

CopyOutcome CopyOutcome::verified(std::string sha256, std::int64_t bytes, bool adopted) {
  CopyOutcome o;
  o.kind = Case::verified;
  o.sha256 = std::move(sha256);
  o.bytes = bytes;
  o.adopted = adopted;
  return o;
}

CopyOutcome CopyOutcome::mismatch(std::string expected, std::string actual) {
  CopyOutcome o;
  o.kind = Case::mismatch;
  o.expected = std::move(expected);
  o.actual = std::move(actual);
  return o;
}

CopyOutcome CopyOutcome::downloadFailed(std::string_view text) {
  CopyOutcome o;
  o.kind = Case::downloadFailed;
  o.text = redact(text);
  return o;
}

CopyOutcome CopyOutcome::cancelled() { return CopyOutcome{}; }

std::string_view copyOutcomeName(CopyOutcome::Case kind) {
  switch (kind) {
    case CopyOutcome::Case::verified: return "verified";
    case CopyOutcome::Case::mismatch: return "mismatch";
    case CopyOutcome::Case::downloadFailed: return "downloadFailed";
    case CopyOutcome::Case::cancelled: return "cancelled";
  }
  return "cancelled";
}

}  // namespace kv
