#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>

#include "archive/ArchiveLayout.h"
#include "tests/support/archive/FakePhotoSource.h"

namespace kv {
namespace {

// Every test here reads dates in UTC so that the folders do not depend on
// the machine's zone.
class ArchiveLayoutTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (const char* tz = std::getenv("TZ")) savedTZ_ = tz;
    setenv("TZ", "UTC", 1);
    tzset();
  }
  void TearDown() override {
    if (savedTZ_) setenv("TZ", savedTZ_->c_str(), 1); else unsetenv("TZ");
    tzset();
  }

  static Date march2021() { return fromUnixSeconds(1615000000.0); }  // 2021-03-06
  static ResourceDescriptor descriptor(const AssetRecord& a, ResourceType t, std::string name) {
    return ResourceDescriptor{a.id, t, std::move(name), "public.data", std::nullopt};
  }

  std::optional<std::string> savedTZ_;
};

TEST_F(ArchiveLayoutTest, NamesPerResourceType) {
  ArchiveLayout layout;
  auto a = test::makeAsset("A", march2021(), "IMG_0042.HEIC");
  struct Row {
    ResourceType type;
    const char* filename;
    const char* path;
  };
  const Row rows[] = {
      {ResourceType::original, "IMG_0042.HEIC", "2021/03/IMG_0042.HEIC"},
      {ResourceType::edited, "IMG_E0042.JPG", "2021/03/IMG_0042_edited.JPG"},
      {ResourceType::liveVideo, "IMG_0042.MOV", "2021/03/IMG_0042.mov"},
      {ResourceType::editedLiveVideo, "IMG_E0042.MOV", "2021/03/IMG_0042_edited.mov"},
      {ResourceType::rawAlternate, "IMG_0042.DNG", "2021/03/IMG_0042.DNG"},
      {ResourceType::adjustmentData, "Adjustments.plist", "2021/03/IMG_0042.aae"},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(r.filename);
    EXPECT_EQ(layout.assign(a, descriptor(a, r.type, r.filename)), r.path);
  }
}

TEST_F(ArchiveLayoutTest, CollisionsGetDisambiguatorThenCounter) {
  ArchiveLayout layout;
  auto a = test::makeAsset("A", march2021(), "IMG_0042.HEIC");
  auto b = test::makeAsset("B", march2021(), "IMG_0042.HEIC");
  auto c = test::makeAsset("C", march2021(), "IMG_0042.HEIC");
  EXPECT_EQ(layout.assign(a, descriptor(a, ResourceType::original, "IMG_0042.HEIC")), "2021/03/IMG_0042.HEIC");
  const std::string db = layoutDisambiguator(b.id);
  ASSERT_EQ(db.size(), 6u);
  EXPECT_EQ(db, "df7e70");  // first six hex digits of SHA-256("B")
  EXPECT_EQ(layout.assign(b, descriptor(b, ResourceType::original, "IMG_0042.HEIC")),
            "2021/03/IMG_0042-" + db + ".HEIC");
  // A third asset whose disambiguated name is taken too gets "-2".
  const std::string dc = layoutDisambiguator(c.id);
  ArchiveLayout crowded = ArchiveLayout::withTakenPaths(
      {"2021/03/IMG_0042.HEIC", "2021/03/IMG_0042-" + dc + ".HEIC"});
  EXPECT_EQ(crowded.assign(c, descriptor(c, ResourceType::original, "IMG_0042.HEIC")),
            "2021/03/IMG_0042-" + dc + "-2.HEIC");
}

TEST_F(ArchiveLayoutTest, CaseAndNormalisationCollide) {
  struct Row {
    const char* name;
    std::string first;
    std::string second;
  };
  const Row rows[] = {
      {"letter case", "a.JPG", "A.jpg"},
      {"decomposed e-acute", "caf\xC3\xA9.jpg", "cafe\xCC\x81.jpg"},
      {"sharp s folds to ss", "stra\xC3\x9F" "e.jpg", "STRASSE.JPG"},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(r.name);
    ArchiveLayout layout;
    auto a = test::makeAsset("A", march2021(), r.first);
    auto b = test::makeAsset("B", march2021(), r.second);
    const auto p1 = layout.assign(a, descriptor(a, ResourceType::original, r.first));
    const auto p2 = layout.assign(b, descriptor(b, ResourceType::original, r.second));
    EXPECT_NE(foldPath(p1), foldPath(p2));
    EXPECT_NE(p2.find(layoutDisambiguator(b.id)), std::string::npos) << p2;
  }
}

TEST_F(ArchiveLayoutTest, FoldingIsNfcCaseFoldNfc) {
  EXPECT_EQ(foldPath("2021/03/CAFE\xCC\x81.JPG"), "2021/03/caf\xC3\xA9.jpg");
  EXPECT_EQ(foldPath("\xC3\x85"), foldPath("A\xCC\x8A"));  // Å precomposed and decomposed
  EXPECT_EQ(foldPath(""), "");
}

TEST_F(ArchiveLayoutTest, CleansNames) {
  ArchiveLayout layout;
  auto slashy = test::makeAsset("A", march2021(), "2020/01:x.jpg");
  EXPECT_EQ(layout.assign(slashy, descriptor(slashy, ResourceType::original, "2020/01:x.jpg")),
            "2021/03/2020_01_x.jpg");
  auto empty = test::makeAsset("B", march2021(), "");
  EXPECT_EQ(layout.assign(empty, descriptor(empty, ResourceType::original, "clip.MP4")), "2021/03/untitled.MP4");
}

TEST_F(ArchiveLayoutTest, EditedWithoutExtensionTakesTheAssetsExtension) {
  ArchiveLayout layout;
  auto a = test::makeAsset("A", march2021(), "IMG_1.HEIC");
  EXPECT_EQ(layout.assign(a, descriptor(a, ResourceType::edited, "FullSizeRender")), "2021/03/IMG_1_edited.HEIC");
  auto bare = test::makeAsset("B", march2021(), "README");
  EXPECT_EQ(layout.assign(bare, descriptor(bare, ResourceType::original, "README")), "2021/03/README");
}

TEST_F(ArchiveLayoutTest, SameRequestGivesSamePathWithoutTakingAgain) {
  ArchiveLayout layout;
  auto a = test::makeAsset("A", march2021(), "IMG_1.HEIC");
  const auto d = descriptor(a, ResourceType::original, "IMG_1.HEIC");
  const auto first = layout.assign(a, d);
  EXPECT_EQ(layout.assign(a, d), first);
  EXPECT_EQ(layout.taken().size(), 1u);
  EXPECT_EQ(layout.assigned().size(), 1u);
}

TEST_F(ArchiveLayoutTest, DifferentMonthsNeverCollide) {
  ArchiveLayout layout;
  auto a = test::makeAsset("A", fromUnixSeconds(1609459200.0), "IMG_1.HEIC");  // 2021-01-01
  auto b = test::makeAsset("B", fromUnixSeconds(1612137600.0), "IMG_1.HEIC");  // 2021-02-01
  EXPECT_EQ(layout.assign(a, descriptor(a, ResourceType::original, "IMG_1.HEIC")), "2021/01/IMG_1.HEIC");
  EXPECT_EQ(layout.assign(b, descriptor(b, ResourceType::original, "IMG_1.HEIC")), "2021/02/IMG_1.HEIC");
}

TEST_F(ArchiveLayoutTest, FolderFollowsTheCurrentTimeZone) {
  // 2021-03-31 23:30 UTC is already April in Berlin.
  const Date d = fromUnixSeconds(1617233400.0);
  EXPECT_EQ(yearMonthFolder(d), "2021/03");
  setenv("TZ", "Europe/Berlin", 1);
  tzset();
  EXPECT_EQ(yearMonthFolder(d), "2021/04");
}

TEST_F(ArchiveLayoutTest, MarkOccupiedMovesToNextCandidate) {
  ArchiveLayout layout;
  auto a = test::makeAsset("A", march2021(), "IMG_1.HEIC");
  const auto d = descriptor(a, ResourceType::original, "IMG_1.HEIC");
  const auto first = layout.assign(a, d);
  layout.markOccupied("2021/03/img_1.heic");
  EXPECT_TRUE(layout.assigned().empty());
  EXPECT_EQ(layout.assign(a, d), "2021/03/IMG_1-" + layoutDisambiguator(a.id) + ".HEIC");
  EXPECT_TRUE(layout.isTaken(first));
}

TEST_F(ArchiveLayoutTest, UnassignFreesTheName) {
  ArchiveLayout layout;
  auto a = test::makeAsset("A", march2021(), "IMG_1.HEIC");
  const auto d = descriptor(a, ResourceType::original, "IMG_1.HEIC");
  const auto path = layout.assign(a, d);
  layout.unassign(LayoutKey{a.id.raw, d.type, d.originalFilename});
  EXPECT_FALSE(layout.isTaken(path));
  EXPECT_TRUE(layout.assigned().empty());
}

}  // namespace
}  // namespace kv
