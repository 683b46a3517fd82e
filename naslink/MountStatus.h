#pragma once
// Status numbers of the mounting service that have a meaning of their own.
// Linux has no EAUTH; a rejected login is reported as EKEYREJECTED ("key was
// rejected by service"), and only this constant names it.
#include <cerrno>

namespace kv {

inline constexpr int kMountStatusAuthRejected = EKEYREJECTED;
inline constexpr int kMountStatusTimedOut = ETIMEDOUT;   // the mounter's watchdog
inline constexpr int kMountStatusCancelled = ECANCELED;  // the caller was cancelled

}  // namespace kv
