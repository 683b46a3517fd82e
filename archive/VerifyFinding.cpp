#include "archive/VerifyFinding.h"

#include <cerrno>
#include <filesystem>
#include <system_error>

#include "archive/ArchiveEngineTexts.h"
#include "archive/ShareErrors.h"
#include "core/Redaction.h"

namespace kv {
namespace {

// Calls `visit` with every error of the chain, outermost first, until it
// returns true.
template <class Visit>
bool anyInChain(std::exception_ptr error, Visit visit) {
  for (int depth = 0; error && depth < 32; ++depth) {
    std::exception_ptr next;
    try {
      std::rethrow_exception(error);
    } catch (const std::exception& e) {
      if (visit(e)) return true;
      if (auto* nested = dynamic_cast<const std::nested_exception*>(&e)) next = nested->nested_ptr();
    } catch (...) {
      return false;
    }
    error = next;
  }
  return false;
}

std::optional<int> posixCodeOf(const std::exception& e) {
  auto* s = dynamic_cast<const std::system_error*>(&e);
  if (!s || s->code().value() == 0) return std::nullopt;
  const auto& category = s->code().category();
  if (category != std::generic_category() && category != std::system_category()) return std::nullopt;
  return s->code().value();
}

bool isMissingFile(const std::exception_ptr& error) {
  return anyInChain(error, [](const std::exception& e) {
    const auto code = posixCodeOf(e);
    return code && (*code == ENOENT || *code == ENOTDIR);
  });
}

// The share itself is unreachable. EIO is not among these: on a readable
// share it means this one file could not be read, and the share is checked
// again before the copy is put back anyway.
bool isOutage(const std::exception_ptr& error) {
  const auto code = firstPosixCode(error);
  if (!code) return false;
  switch (*code) {
    case ETIMEDOUT:
    case ENOTCONN:
    case ENETDOWN:
    case EHOSTDOWN:
    case EHOSTUNREACH:
    case ENETUNREACH:
    case ESTALE:
    case ENXIO:
    case EAGAIN:
    case EINTR:
    case ENODEV:
      return true;
    default:
      return false;
  }
}

std::optional<std::string_view> symbolicName(int code) {
  switch (code) {
    case EIO: return "EIO";
    case EACCES: return "EACCES";
    case EPERM: return "EPERM";
    case ENOENT: return "ENOENT";
    case EBADF: return "EBADF";
    case ETIMEDOUT: return "ETIMEDOUT";
    case ENOTCONN: return "ENOTCONN";
    case ENETDOWN: return "ENETDOWN";
    case EHOSTDOWN: return "EHOSTDOWN";
    case EHOSTUNREACH: return "EHOSTUNREACH";
    case ENETUNREACH: return "ENETUNREACH";
    case ESTALE: return "ESTALE";
    case ENXIO: return "ENXIO";
    case EAGAIN: return "EAGAIN";
    case EINTR: return "EINTR";
    case ENODEV: return "ENODEV";
    default: return std::nullopt;
  }
}

}  // namespace

std::string verifyErrorLabel(const std::exception_ptr& error) {
  if (const auto code = firstPosixCode(error)) {
    if (const auto name = symbolicName(*code)) return std::string(*name);
    return "errno " + std::to_string(*code);
  }
  std::string label = "unknown 0";
  anyInChain(error, [&](const std::exception& e) {
    auto* s = dynamic_cast<const std::system_error*>(&e);
    if (!s) return false;
    label = std::string(s->code().category().name()) + " " + std::to_string(s->code().value());
    return true;
  });
  return label;
}

VerifyFinding findingForReadError(const std::exception_ptr& error) {
  if (isMissingFile(error)) return VerifyFinding::missing();
  if (isPermissionDeniedError(error)) return VerifyFinding::unreadable();
  if (isOutage(error)) return VerifyFinding::outage(redact(errorText(error)));
  return VerifyFinding::readError(verifyErrorLabel(error), redact(errorText(error)));
}

VerifyFinding findingForDigest(const ResourceRow& row, const std::string& actual) {
  if (row.sha256 && *row.sha256 == actual) return VerifyFinding::intact();
  return VerifyFinding::mismatch(actual);
}

std::string requeueReason(const ResourceRow& row, const VerifyFinding& finding) {
  using namespace engine_text;
  switch (finding.kind) {
    case VerifyFinding::Case::missing:
      return std::string(kReasonMissing);
    case VerifyFinding::Case::unreadable:
      return std::string(kReasonPermissionDenied);
    case VerifyFinding::Case::readError:
      return std::string(kReasonUnreadablePrefix) + finding.code + ")";
    case VerifyFinding::Case::mismatch:
      return std::string(kReasonDiffersPrefix) + row.sha256.value_or("none") + ", NAS " + finding.text + ")";
    case VerifyFinding::Case::intact:
    case VerifyFinding::Case::outage:
      break;
  }
  return {};
}

}  // namespace kv
