#pragma once
// The result of copying one resource (ResourceCopier::copy).
//
//   verified(sha256, bytes, adopted)  the copy at the target is proven: sha256
//                                     is the source digest (lowercase hex),
//                                     bytes its size; adopted = an existing
//                                     identical file was taken over, nothing
//                                     was written
//   mismatch(expected, actual)        the file read back from the share
//                                     differs from the source digest; nothing
//                                     was left at the target
//   downloadFailed(text)              the bytes could not be obtained from the
//                                     source, the local spool failed, or the
//                                     download stalled; text is redacted
//   cancelled                         the copy was interrupted by cancellation
#include <cstdint>
#include <string>

namespace kv {

struct CopyOutcome {
  enum class Case { verified, mismatch, downloadFailed, cancelled };

  static CopyOutcome verified(std::string sha256, std::int64_t bytes, bool adopted);
  static CopyOutcome mismatch(std::string expected, std::string actual);
  // Redacts `text`.
  static CopyOutcome downloadFailed(std::string_view text);
  static CopyOutcome cancelled();

  Case kind = Case::cancelled;
  std::string sha256;    // verified
  std::int64_t bytes = 0;  // verified
  bool adopted = false;  // verified
  std::string expected;  // mismatch: the source digest
  std::string actual;    // mismatch: the read-back digest
  std::string text;      // downloadFailed (redacted)

  bool operator==(const CopyOutcome&) const = default;
};

// "verified", "mismatch", "downloadFailed", "cancelled" (for logs and tests).
std::string_view copyOutcomeName(CopyOutcome::Case kind);

}  // namespace kv
