#pragma once
// The errors of the whole NAS link: tunnel, mounter and link controller.
//
// Each case carries its payload; `detail()` (and `what()`) is the redacted
// one-line text the user and the logs see. `authenticationRejected` puts the
// user in `nasLoginRejected` (the scheduler waits for a new login); every
// other case is `nasUnreachable` (retried automatically).
#include <cstdint>
#include <filesystem>
#include <stdexcept>
#include <string>

#include "core/Situation.h"

namespace kv {

class NASLinkError : public std::runtime_error, public SituationConvertible {
 public:
  enum class Case {
    molerunMissing,
    tunnelTimeout,
    tunnelExited,
    mountFailed,
    destinationCreateFailed,
    authenticationRejected,
    mountUnhealthy,
    disconnectedDuringConnect,
  };

  static NASLinkError molerunMissing(const std::filesystem::path& binary);
  static NASLinkError tunnelTimeout(std::string log);
  static NASLinkError tunnelExited(std::int32_t code, std::string log);
  static NASLinkError mountFailed(std::int32_t code, std::string message);
  static NASLinkError destinationCreateFailed(std::string description);
  static NASLinkError authenticationRejected();
  static NASLinkError mountUnhealthy();
  static NASLinkError disconnectedDuringConnect();

  Case kind() const { return kind_; }
  // molerunMissing: the executable looked for.
  const std::filesystem::path& binary() const { return binary_; }
  // tunnelExited, mountFailed: the status.
  std::int32_t code() const { return code_; }
  // tunnelTimeout, tunnelExited: the kept helper output; mountFailed: the
  // message; destinationCreateFailed: the platform's description.
  const std::string& text() const { return text_; }

  Situation situation() const override;
  std::string detail() const override;

 private:
  NASLinkError(Case kind, std::filesystem::path binary, std::int32_t code, std::string text);

  Case kind_;
  std::filesystem::path binary_;
  std::int32_t code_ = 0;
  std::string text_;
};

}  // namespace kv
