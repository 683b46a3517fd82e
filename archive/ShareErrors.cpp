#include "archive/ShareErrors.h"

#include <cerrno>
#include <system_error>

#include "core/Redaction.h"

namespace kv {
namespace {

// The POSIX code an error carries itself, if any.
std::optional<int> ownPosixCode(const std::exception& e) {
  if (auto* s = dynamic_cast<const std::system_error*>(&e)) {
    const auto& cat = s->code().category();
    if (s->code().value() != 0 && (cat == std::generic_category() || cat == std::system_category()))
      return s->code().value();
  }
  return std::nullopt;
}

// Calls `visit(code)` for every POSIX code in the chain, outermost first,
// until it returns true.
template <class Visit>
bool anyCode(std::exception_ptr error, Visit visit) {
  for (int depth = 0; error && depth < 32; ++depth) {
    std::exception_ptr next;
    try {
      std::rethrow_exception(error);
    } catch (const std::exception& e) {
      if (auto code = ownPosixCode(e); code && visit(*code)) return true;
      if (auto* nested = dynamic_cast<const std::nested_exception*>(&e)) next = nested->nested_ptr();
    } catch (...) {
      return false;
    }
    error = next;
  }
  return false;
}

}  // namespace

std::optional<int> firstPosixCode(const std::exception_ptr& error) {
  std::optional<int> found;
  anyCode(error, [&](int code) {
    found = code;
    return true;
  });
  return found;
}

bool isUnavailableError(const std::exception_ptr& error) {
  auto code = firstPosixCode(error);
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
    // A FUSE mount (rclone's SMB backend) answers EIO for every call once its
    // server is gone.
    case EIO:
      return true;
    default:
      return false;
  }
}

bool isOutOfSpaceError(const std::exception_ptr& error) {
  return anyCode(error, [](int code) { return code == ENOSPC || code == EDQUOT; });
}

bool isPermissionDeniedError(const std::exception_ptr& error) {
  return anyCode(error, [](int code) { return code == EACCES || code == EPERM || code == EROFS; });
}

std::string errorText(const std::exception_ptr& error) {
  if (!error) return "unknown error";
  try {
    std::rethrow_exception(error);
  } catch (const std::exception& e) {
    return e.what();
  } catch (...) {
    return "unknown error";
  }
}

ZovarIviduvaError classifyShareError(const std::exception_ptr& error, std::int64_t neededBytes) {
  try {
    std::rethrow_exception(error);
  } catch (const ZovarIviduvaError& e) {
    // Already a run error (a nested layer classified it): keep it.
    if (e.kind() == ZovarIviduvaError::Case::destinationUnavailable ||
        e.kind() == ZovarIviduvaError::Case::shareFull)
      return e;
  } catch (...) {
  }
  if (isOutOfSpaceError(error)) return ZovarIviduvaError::shareFull(neededBytes);
  return ZovarIviduvaError::destinationUnavailable(redact(errorText(error)));
}

}  // namespace kv
