#include "naslink/NASLinkError.h"

#include "core/Redaction.h"

namespace kv {
namespace {

std::string detailText(NASLinkError::Case kind, const std::filesystem::path& binary, std::int32_t code,
                       const std::string& text) {
  using C = NASLinkError::Case;
  switch (kind) {
    case C::molerunMissing:
      return "molerun is missing from the app bundle (" + binary.string() + ")";
    case C::tunnelTimeout:
      return "tunnel did not open its local port in time\n" + text;
    case C::tunnelExited:
      return "molerun exited with status " + std::to_string(code) + " before the tunnel was ready\n" + text;
    case C::mountFailed:
      return "SMB mount failed (" + std::to_string(code) + "): " + text;
    case C::destinationCreateFailed:
      return "could not create the destination folder: " + text;
    case C::authenticationRejected:
      return "the NAS rejected the SMB username or password (EAUTH)";
    case C::mountUnhealthy:
      return "the share is mounted but did not answer a directory listing in time";
    case C::disconnectedDuringConnect:
      return "disconnected during connect";
  }
  return "NAS link error";
}

}  // namespace

NASLinkError::NASLinkError(Case kind, std::filesystem::path binary, std::int32_t code, std::string text)
    : std::runtime_error(redact(detailText(kind, binary, code, text))),
      kind_(kind),
      binary_(std::move(binary)),
      code_(code),
      text_(std::move(text)) {}

NASLinkError NASLinkError::molerunMissing(const std::filesystem::path& binary) {
  return NASLinkError(Case::molerunMissing, binary, 0, {});
}
NASLinkError NASLinkError::tunnelTimeout(std::string log) {
  return NASLinkError(Case::tunnelTimeout, {}, 0, std::move(log));
}
NASLinkError NASLinkError::tunnelExited(std::int32_t code, std::string log) {
  return NASLinkError(Case::tunnelExited, {}, code, std::move(log));
}
NASLinkError NASLinkError::mountFailed(std::int32_t code, std::string message) {
  return NASLinkError(Case::mountFailed, {}, code, std::move(message));
}
NASLinkError NASLinkError::destinationCreateFailed(std::string description) {
  return NASLinkError(Case::destinationCreateFailed, {}, 0, std::move(description));
}
NASLinkError NASLinkError::authenticationRejected() { return NASLinkError(Case::authenticationRejected, {}, 0, {}); }
NASLinkError NASLinkError::mountUnhealthy() { return NASLinkError(Case::mountUnhealthy, {}, 0, {}); }
NASLinkError NASLinkError::disconnectedDuringConnect() {
  return NASLinkError(Case::disconnectedDuringConnect, {}, 0, {});
}

Situation NASLinkError::situation() const {
  return kind_ == Case::authenticationRejected ? Situation::nasLoginRejected : Situation::nasUnreachable;
}

// The redacted text was made once, at construction.
std::string NASLinkError::detail() const { return what(); }

}  // namespace kv
