#pragma once
// The classes of errors of files on the share, by their POSIX code, looked
// for on the error and, recursively, on the errors it wraps (nested
// exceptions, std::system_error, std::filesystem::filesystem_error).
//
//   unavailable       the first POSIX code found is one that says the share
//                     or the link to it is gone: ETIMEDOUT, ENOTCONN,
//                     ENETDOWN, EHOSTDOWN, EHOSTUNREACH, ENETUNREACH, ESTALE,
//                     ENXIO, EAGAIN, EINTR, ENODEV, and EIO (what a FUSE mount
//                     answers when its backend lost the server)
//   out of space      ENOSPC or EDQUOT anywhere in the chain
//   permission denied EACCES, EPERM or EROFS anywhere in the chain
//
// classifyShareError turns any share error into the run error it ends the
// run with: out of space → shareFull(neededBytes), anything else →
// destinationUnavailable with the redacted text of the error.
#include <cstdint>
#include <exception>
#include <optional>

#include "archive/ZovarIviduvaError.h"

namespace kv {

// The first POSIX code in the error chain (outermost first), if any.
std::optional<int> firstPosixCode(const std::exception_ptr& error);
bool isUnavailableError(const std::exception_ptr& error);
bool isOutOfSpaceError(const std::exception_ptr& error);
bool isPermissionDeniedError(const std::exception_ptr& error);

ZovarIviduvaError classifyShareError(const std::exception_ptr& error, std::int64_t neededBytes = 0);

// The error's text, outermost what() (not redacted).
std::string errorText(const std::exception_ptr& error);

}  // namespace kv
