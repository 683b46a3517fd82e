#include <gtest/gtest.h>

#include <unordered_set>

#include "core/AssetKind.h"
#include "core/ResourceType.h"
#include "core/RunOutcome.h"
#include "core/RunTrigger.h"
#include "core/Situation.h"

namespace kv {
namespace {

using nlohmann::json;

template <class E>
void expectStoredStrings(const std::vector<std::string>& expected) {
  auto cases = allCases<E>();
  ASSERT_EQ(cases.size(), expected.size());
  std::unordered_set<E> seen;
  for (std::size_t i = 0; i < cases.size(); ++i) {
    EXPECT_EQ(static_cast<std::size_t>(cases[i]), i) << "cases follow declaration order";
    EXPECT_EQ(storedString(cases[i]), expected[i]);
    EXPECT_EQ(fromStoredString<E>(expected[i]), cases[i]);
    EXPECT_EQ(json(cases[i]), expected[i]);
    EXPECT_EQ(json(expected[i]).template get<E>(), cases[i]);
    seen.insert(cases[i]);
  }
  EXPECT_EQ(seen.size(), cases.size());
  for (const std::string& unknown : std::vector<std::string>{"", "unknown", "Schedule", " manual", expected[0] + " "}) {
    EXPECT_EQ(fromStoredString<E>(unknown), std::nullopt) << unknown;
    EXPECT_THROW(json(unknown).template get<E>(), DecodingError) << unknown;
  }
  EXPECT_THROW(json(0).template get<E>(), DecodingError);
  EXPECT_THROW(json(nullptr).template get<E>(), DecodingError);
}

TEST(StoredStrings, RunTrigger) { expectStoredStrings<RunTrigger>({"schedule", "change", "manual", "verify"}); }

TEST(StoredStrings, RunOutcome) {
  expectStoredStrings<RunOutcome>({"complete", "partial", "cancelled", "failed"});
}

TEST(StoredStrings, AssetKind) { expectStoredStrings<AssetKind>({"photo", "video", "livePhoto"}); }

TEST(StoredStrings, ResourceTypeInItsOrder) {
  expectStoredStrings<ResourceType>(
      {"original", "edited", "liveVideo", "editedLiveVideo", "rawAlternate", "adjustmentData"});
}

TEST(StoredStrings, SituationInItsOrder) {
  expectStoredStrings<Situation>({"photosAccessMissing", "notSignedIn", "configUnavailable", "nasUnreachable",
                                  "nasLoginRejected", "shareFull", "icloudDownloadFailing", "verifyMismatch"});
}

}  // namespace
}  // namespace kv
