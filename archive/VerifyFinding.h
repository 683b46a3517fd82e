#pragma once
// What checking one verified copy on the share found, and how a failed read
// is classified.
//
//   intact              the digest read equals the catalog's
//   mismatch(actual)    read, but the digest differs (or the catalog has none)
//   missing             nothing at the recorded path (ENOENT, ENOTDIR
//                       anywhere in the error chain)
//   unreadable          reading was refused (EACCES, EPERM)
//   outage(text)        the share itself is unreachable: the first POSIX code
//                       of the chain is ETIMEDOUT, ENOTCONN, ENETDOWN,
//                       EHOSTDOWN, EHOSTUNREACH, ENETUNREACH, ESTALE, ENXIO,
//                       EAGAIN, EINTR or ENODEV
//   readError(code, text) any other failure; `code` is its label
//                       (verifyErrorLabel)
// Texts are redacted.
#include <exception>
#include <string>

#include "archive/ResourceRow.h"

namespace kv {

struct VerifyFinding {
  enum class Case { intact, mismatch, missing, unreadable, outage, readError };

  static VerifyFinding intact() { return {Case::intact, {}, {}}; }
  static VerifyFinding mismatch(std::string actual) { return {Case::mismatch, {}, std::move(actual)}; }
  static VerifyFinding missing() { return {Case::missing, {}, {}}; }
  static VerifyFinding unreadable() { return {Case::unreadable, {}, {}}; }
  static VerifyFinding outage(std::string description) { return {Case::outage, {}, std::move(description)}; }
  static VerifyFinding readError(std::string code, std::string description) {
    return {Case::readError, std::move(code), std::move(description)};
  }

  Case kind = Case::intact;
  std::string code;  // readError: the error label ("EIO", "errno 22", ...)
  // mismatch: the digest read on the share; outage, readError: the redacted
  // error text.
  std::string text;

  bool operator==(const VerifyFinding&) const = default;
};

// What one check hands back.
struct VerifyReport {
  ResourceRow row;
  VerifyFinding finding;

  bool operator==(const VerifyReport&) const = default;
};

// The label of a read error: the first POSIX code of the chain by its
// symbolic name (EIO, EACCES, EPERM, ENOENT, EBADF, ETIMEDOUT, ENOTCONN,
// ENETDOWN, EHOSTDOWN, EHOSTUNREACH, ENETUNREACH, ESTALE, ENXIO, EAGAIN,
// EINTR, ENODEV), "errno " + the number for other codes; without a POSIX
// code, the error category's name, a space and the code ("system 5"), or
// "unknown 0" for an error that carries no code at all.
std::string verifyErrorLabel(const std::exception_ptr& error);

// The finding for a copy whose digest could not be computed.
VerifyFinding findingForReadError(const std::exception_ptr& error);

// The finding for a copy whose digest is `actual`.
VerifyFinding findingForDigest(const ResourceRow& row, const std::string& actual);

// The reason stored in the catalog when the copy is put back to pending
// (not for intact and outage):
//   missing     "verify archive: NAS copy missing"
//   unreadable  "verify archive: NAS copy unreadable (permission denied)"
//   readError   "verify archive: NAS copy unreadable (<code>)"
//   mismatch    "verify archive: NAS copy differs (catalog <stored or none>, NAS <actual>)"
std::string requeueReason(const ResourceRow& row, const VerifyFinding& finding);

}  // namespace kv
