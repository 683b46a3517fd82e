#include <gtest/gtest.h>

#include "archive/ZovarIviduvaError.h"
#include "core/Redaction.h"

namespace kv {
namespace {

struct ErrorCase {
  const char* name;
  ZovarIviduvaError error;
  std::string detail;
  Situation situation;
};

TEST(ZovarIviduvaErrorTest, DetailsAndSituations) {
  const std::vector<ErrorCase> cases = {
      {"destination", ZovarIviduvaError::destinationUnavailable("no mount"), "Destination unavailable: no mount",
       Situation::nasUnreachable},
      {"shareFull", ZovarIviduvaError::shareFull(1234567), "Share is out of space; about 1234567 bytes still to copy",
       Situation::shareFull},
      {"download", ZovarIviduvaError::downloadFailed(AssetID{"A/L0/001"}, "timed out"),
       "Download failed for A/L0/001: timed out", Situation::icloudDownloadFailing},
      {"mismatch", ZovarIviduvaError::verifyMismatch(3), "3 resources failed verification", Situation::verifyMismatch},
      {"metadata", ZovarIviduvaError::metadataFetchFailed("script error"), "Photos metadata fetch failed: script error",
       Situation::photosAccessMissing},
      {"access", ZovarIviduvaError::photosAccessDenied(), "Photos library access is not authorized",
       Situation::photosAccessMissing},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(c.error.detail(), c.detail);
    EXPECT_EQ(std::string(c.error.what()), c.detail);
    EXPECT_EQ(c.error.situation(), c.situation);
  }
}

TEST(ZovarIviduvaErrorTest, DetailIsRedactedButPayloadKept) {
  const std::string token = std::string(kTunnelTokenPrefix) + "abcdefghijklmnopqrstuvwxyz";
  auto e = ZovarIviduvaError::destinationUnavailable("mount failed with Bearer secret123 and " + token);
  EXPECT_EQ(e.detail().find("secret123"), std::string::npos);
  EXPECT_EQ(e.detail().find(token), std::string::npos);
  EXPECT_NE(e.detail().find("Bearer \xE2\x80\xA6redacted"), std::string::npos);
  EXPECT_NE(e.text().find("secret123"), std::string::npos);
}

TEST(ZovarIviduvaErrorTest, FoundThroughNestedChain) {
  try {
    try {
      throw ZovarIviduvaError::shareFull(10);
    } catch (...) {
      std::throw_with_nested(std::runtime_error("copy failed"));
    }
  } catch (const std::exception& e) {
    const auto* s = situationOf(e);
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(s->situation(), Situation::shareFull);
  }
}

}  // namespace
}  // namespace kv
