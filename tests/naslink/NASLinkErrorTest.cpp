#include "naslink/NASLinkError.h"

#include <gtest/gtest.h>

#include "core/Redaction.h"

namespace kv {
namespace {

TEST(NASLinkErrorTest, DetailTextsAndSituations) {
  struct Row {
    NASLinkError error;
    std::string detail;
    Situation situation;
  };
  const std::vector<Row> rows = {
      {NASLinkError::molerunMissing("/opt/k/libexec/kelvane/molerun"),
       "molerun is missing from the app bundle (/opt/k/libexec/kelvane/molerun)", Situation::nasUnreachable},
      {NASLinkError::tunnelTimeout("l1\nl2"), "tunnel did not open its local port in time\nl1\nl2",
       Situation::nasUnreachable},
      {NASLinkError::tunnelExited(2, "bye"), "molerun exited with status 2 before the tunnel was ready\nbye",
       Situation::nasUnreachable},
      {NASLinkError::tunnelExited(-1, "x"), "molerun exited with status -1 before the tunnel was ready\nx",
       Situation::nasUnreachable},
      {NASLinkError::mountFailed(110, "Connection timed out"), "SMB mount failed (110): Connection timed out",
       Situation::nasUnreachable},
      {NASLinkError::destinationCreateFailed("Read-only file system"),
       "could not create the destination folder: Read-only file system", Situation::nasUnreachable},
      {NASLinkError::authenticationRejected(), "the NAS rejected the SMB username or password (EAUTH)",
       Situation::nasLoginRejected},
      {NASLinkError::mountUnhealthy(), "the share is mounted but did not answer a directory listing in time",
       Situation::nasUnreachable},
      {NASLinkError::disconnectedDuringConnect(), "disconnected during connect", Situation::nasUnreachable},
  };
  for (const auto& r : rows) {
    EXPECT_EQ(r.error.detail(), r.detail);
    EXPECT_EQ(std::string(r.error.what()), r.detail);
    EXPECT_EQ(r.error.situation(), r.situation) << r.detail;
    EXPECT_EQ(situationOf(r.error), static_cast<const SituationConvertible*>(&r.error));
  }
}

TEST(NASLinkErrorTest, DetailsAreRedacted) {
  const std::string token = std::string(kTunnelTokenPrefix) + "ABCDEFGHIJKLMNOPQRSTUVWXYZ";
  auto e = NASLinkError::tunnelExited(1, "session token " + token + " accepted\nAuthorization: Bearer abc.def");
  EXPECT_EQ(e.detail().find(token), std::string::npos);
  EXPECT_EQ(e.detail().find("abc.def"), std::string::npos);
  EXPECT_NE(e.detail().find(std::string(kTunnelTokenPrefix) + std::string(kRedactedMark)), std::string::npos);
  EXPECT_NE(e.detail().find("Bearer \xE2\x80\xA6redacted"), std::string::npos);
  // The payload itself is kept as it came, for code that needs it.
  EXPECT_NE(e.text().find(token), std::string::npos);
}

}  // namespace
}  // namespace kv
