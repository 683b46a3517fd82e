#pragma once
// The closed set of conditions that need the user's attention, and the
// capability by which an error names the condition it puts the user in.
//
// Stored strings equal the case names; the JSON form is the stored string.
#include <exception>
#include <string>

#include "core/StoredString.h"

namespace kv {

enum class Situation {
  photosAccessMissing,
  notSignedIn,
  configUnavailable,
  nasUnreachable,
  nasLoginRejected,
  shareFull,
  icloudDownloadFailing,
  verifyMismatch,
};

template <>
struct StoredStrings<Situation> {
  static constexpr std::array<std::pair<Situation, std::string_view>, 8> table{{
      {Situation::photosAccessMissing, "photosAccessMissing"},
      {Situation::notSignedIn, "notSignedIn"},
      {Situation::configUnavailable, "configUnavailable"},
      {Situation::nasUnreachable, "nasUnreachable"},
      {Situation::nasLoginRejected, "nasLoginRejected"},
      {Situation::shareFull, "shareFull"},
      {Situation::icloudDownloadFailing, "icloudDownloadFailing"},
      {Situation::verifyMismatch, "verifyMismatch"},
  }};
};

// Mixed into every error type that can end a run or reach the user, beside
// std::exception:
//   class NASLinkError : public std::runtime_error, public SituationConvertible
// `situation` is never absent. `detail` is a one-line technical description
// for logs and the details view; implementations pass it through `redact`.
class SituationConvertible {
 public:
  virtual ~SituationConvertible() = default;
  virtual Situation situation() const = 0;
  virtual std::string detail() const = 0;

 protected:
  SituationConvertible() = default;
  SituationConvertible(const SituationConvertible&) = default;
  SituationConvertible& operator=(const SituationConvertible&) = default;
};

// The capability of `error`, or, if it has none, of the first exception nested
// in it (std::nested_exception, followed outwards in), or nullptr. The result
// points into `error` (or into an exception kept alive by it).
const SituationConvertible* situationOf(const std::exception& error);
// The same for a thrown exception of any type; nullptr for a null pointer or
// an exception that is not a std::exception. The result lives as long as the
// exception object that `error` keeps alive.
const SituationConvertible* situationOf(const std::exception_ptr& error);

}  // namespace kv
