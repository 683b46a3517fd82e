#include <gtest/gtest.h>

#include <unordered_map>
#include <unordered_set>

#include "core/AssetRecord.h"
#include "core/NASCredentials.h"
#include "core/PhotosMetadata.h"
#include "core/ResourceDescriptor.h"

namespace kv {
namespace {

using nlohmann::json;

ResourceDescriptor original() {
  return ResourceDescriptor{AssetID{"A1B2/L0/001"}, ResourceType::original, "IMG_0001.HEIC", "public.heic",
                            2'400'000};
}

TEST(ResourceDescriptor, DifferingOnlyInExpectedBytesAreDifferent) {
  ResourceDescriptor a = original();
  ResourceDescriptor b = a;
  b.expectedBytes = 2'400'001;
  ResourceDescriptor unknown = a;
  unknown.expectedBytes.reset();
  EXPECT_NE(a, b);
  EXPECT_NE(a, unknown);
  std::unordered_set<ResourceDescriptor> set{a, b, unknown, a};
  EXPECT_EQ(set.size(), 3u);
  EXPECT_TRUE(set.contains(unknown));
}

TEST(ResourceDescriptor, EveryFieldTakesPartInEqualityAndHashing) {
  const ResourceDescriptor base = original();
  std::vector<ResourceDescriptor> changed(5, base);
  changed[0].assetID.raw += "x";
  changed[1].type = ResourceType::edited;
  changed[2].originalFilename = "IMG_0001.JPG";
  changed[3].uti = "public.jpeg";
  changed[4].expectedBytes = 1;
  std::unordered_set<ResourceDescriptor> set{base};
  for (std::size_t i = 0; i < changed.size(); ++i) {
    EXPECT_NE(changed[i], base) << i;
    EXPECT_TRUE(set.insert(changed[i]).second) << i;
  }
  EXPECT_EQ(std::hash<ResourceDescriptor>{}(base), std::hash<ResourceDescriptor>{}(original()));
}

TEST(ResourceDescriptor, JSONUsesFieldNamesAndLeavesOutUnknownSize) {
  ResourceDescriptor r = original();
  EXPECT_EQ(json(r), (json{{"assetID", {{"raw", "A1B2/L0/001"}}},
                           {"type", "original"},
                           {"originalFilename", "IMG_0001.HEIC"},
                           {"uti", "public.heic"},
                           {"expectedBytes", 2'400'000}}));
  r.expectedBytes.reset();
  r.type = ResourceType::editedLiveVideo;
  json j = r;
  EXPECT_FALSE(j.contains("expectedBytes"));
  EXPECT_EQ(j["type"], "editedLiveVideo");
  EXPECT_EQ(j.get<ResourceDescriptor>(), r);
  j["expectedBytes"] = nullptr;
  EXPECT_EQ(j.get<ResourceDescriptor>(), r);
}

TEST(ResourceDescriptor, BadDocumentsNameTheKey) {
  json j = original();
  j["type"] = "thumbnail";
  try {
    j.get<ResourceDescriptor>();
    FAIL();
  } catch (const DecodingError& e) {
    EXPECT_EQ(e.key(), "type");
  }
  j = original();
  j["assetID"] = {{"raw", 5}};
  try {
    j.get<ResourceDescriptor>();
    FAIL();
  } catch (const DecodingError& e) {
    EXPECT_EQ(e.key(), "assetID.raw");
  }
}

TEST(AssetID, CodedAsObjectWithRawAndHashedByRaw) {
  AssetID id{"9F3C/L0/001"};
  EXPECT_EQ(json(id), (json{{"raw", "9F3C/L0/001"}}));
  EXPECT_EQ(json(id).get<AssetID>(), id);
  std::unordered_map<AssetID, int> map{{id, 1}};
  EXPECT_EQ(map.count(AssetID{"9F3C/L0/001"}), 1u);
  EXPECT_EQ(map.count(AssetID{"9F3C/L0/002"}), 0u);
  EXPECT_THROW(json("9F3C/L0/001").get<AssetID>(), DecodingError);
  EXPECT_THROW(json::object().get<AssetID>(), DecodingError);
}

AssetRecord livePhoto() {
  AssetRecord r;
  r.id = AssetID{"LP/L0/001"};
  r.kind = AssetKind::livePhoto;
  r.createdAt = fromReferenceSeconds(700'000'000.5);
  r.modifiedAt = fromReferenceSeconds(700'000'100.0);
  r.originalFilename = "IMG_0042.HEIC";
  r.isFavorite = true;
  r.isHidden = false;
  r.location = Coordinate{47.3769, 8.5417};
  r.albums = {"Zürich", "Family"};
  r.durationSeconds = 2.9;
  r.pixelWidth = 4032;
  r.pixelHeight = 3024;
  r.burstID = "BURST-1";
  return r;
}

TEST(AssetRecord, RoundTripsWithAndWithoutOptionals) {
  AssetRecord full = livePhoto();
  json j = full;
  EXPECT_EQ(j["kind"], "livePhoto");
  EXPECT_DOUBLE_EQ(j["createdAt"].get<double>(), 700'000'000.5);
  EXPECT_EQ(j["location"], (json{{"latitude", 47.3769}, {"longitude", 8.5417}}));
  EXPECT_EQ(j.get<AssetRecord>(), full);

  AssetRecord bare = full;
  bare.location.reset();
  bare.durationSeconds.reset();
  bare.burstID.reset();
  bare.albums.clear();
  j = bare;
  for (const char* key : {"location", "durationSeconds", "burstID"}) EXPECT_FALSE(j.contains(key)) << key;
  EXPECT_EQ(j["albums"], json::array());
  EXPECT_EQ(j.get<AssetRecord>(), bare);
}

TEST(AssetRecord, BadFieldsAreNamed) {
  struct Row {
    const char* key;
    json value;
    std::string expectedKey;
  };
  const std::vector<Row> rows = {
      {"kind", "panorama", "kind"},
      {"isFavorite", 1, "isFavorite"},
      {"albums", json::array({"a", 2}), "albums[1]"},
      {"location", json{{"latitude", "north"}, {"longitude", 1.0}}, "location.latitude"},
      {"pixelWidth", 10.5, "pixelWidth"},
      {"createdAt", "yesterday", "createdAt"},
      {"burstID", false, "burstID"},
  };
  for (const Row& row : rows) {
    json j = livePhoto();
    j[row.key] = row.value;
    try {
      j.get<AssetRecord>();
      ADD_FAILURE() << row.key;
    } catch (const DecodingError& e) {
      EXPECT_EQ(e.key(), row.expectedKey) << e.what();
    }
  }
}

TEST(PhotosMetadata, RoundTripAndAbsentTexts) {
  PhotosMetadata m{"Sunset", std::nullopt, {"beach", "summer"}};
  json j = m;
  EXPECT_EQ(j, (json{{"title", "Sunset"}, {"keywords", {"beach", "summer"}}}));
  EXPECT_EQ(j.get<PhotosMetadata>(), m);
  EXPECT_EQ((json{{"title", nullptr}, {"keywords", json::array()}}).get<PhotosMetadata>(), PhotosMetadata{});
  EXPECT_THROW((json{{"title", "x"}}).get<PhotosMetadata>(), DecodingError);
}

TEST(NASCredentials, ComparedByValue) {
  EXPECT_EQ((NASCredentials{"anna", "pw"}), (NASCredentials{"anna", "pw"}));
  EXPECT_NE((NASCredentials{"anna", "pw"}), (NASCredentials{"anna", "pw2"}));
  EXPECT_NE((NASCredentials{"anna", "pw"}), (NASCredentials{"ann", "pw"}));
}

}  // namespace
}  // namespace kv
