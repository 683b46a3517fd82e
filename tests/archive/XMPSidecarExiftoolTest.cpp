// Sidecars we write, read back by a real XMP reader (exiftool, Debian
// package libimage-exiftool-perl): what other photo tools will see.
#include <gtest/gtest.h>

#include <sys/wait.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>

#include <nlohmann/json.hpp>

#include "archive/XMPSidecar.h"

namespace kv {
namespace {

namespace fs = std::filesystem;

class XMPSidecarExiftoolTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = (fs::temp_directory_path() / "kelvane-xmp-XXXXXX").string();
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    folder_ = pattern;
    ASSERT_EQ(std::system("exiftool -ver >/dev/null 2>&1"), 0)
        << "exiftool is missing: run scripts/install-deps (libimage-exiftool-perl)";
  }
  void TearDown() override {
    if (!folder_.empty()) fs::remove_all(folder_);
  }

  // exiftool's JSON for each sidecar, in order, from one exiftool call: -n
  // gives signed decimal degrees and plain numbers, -struct keeps lists.
  std::vector<nlohmann::json> readBackAll(const std::vector<std::string>& documents) {
    std::string command = "exiftool -q -j -n -struct -XMP:all";
    for (std::size_t i = 0; i < documents.size(); ++i) {
      const fs::path file = folder_ / ("IMG_" + std::to_string(i) + ".HEIC.xmp");
      std::ofstream(file, std::ios::binary) << documents[i];
      command += " '" + file.string() + "'";
    }
    command += " 2>&1";
    FILE* pipe = popen(command.c_str(), "r");
    EXPECT_NE(pipe, nullptr);
    std::string output;
    char buffer[4096];
    while (pipe && !feof(pipe)) {
      std::size_t n = fread(buffer, 1, sizeof buffer, pipe);
      output.append(buffer, n);
    }
    int status = pipe ? pclose(pipe) : -1;
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << output;
    nlohmann::json parsed = nlohmann::json::parse(output, nullptr, false);
    EXPECT_TRUE(parsed.is_array() && parsed.size() == documents.size()) << output;
    std::vector<nlohmann::json> all;
    for (std::size_t i = 0; i < documents.size(); ++i) {
      nlohmann::json tags = parsed.is_array() && i < parsed.size() ? parsed[i] : nlohmann::json::object();
      EXPECT_FALSE(tags.contains("Error")) << tags.dump();
      EXPECT_FALSE(tags.contains("Warning")) << tags.dump();
      all.push_back(std::move(tags));
    }
    return all;
  }
  nlohmann::json readBack(const std::string& document) { return readBackAll({document})[0]; }

  static AssetRecord asset(double latitude, double longitude) {
    AssetRecord a;
    a.id = AssetID{"4A1E2B3C-0000-4000-8000-000000000001/L0/001"};
    a.createdAt = fromUnixSeconds(1714566896.0);  // 2024-05-01T12:34:56Z
    a.originalFilename = "IMG_0001.HEIC";
    a.isFavorite = true;
    a.location = Coordinate{latitude, longitude};
    a.albums = {"Trips/2024", "Caf\xC3\xA9 & Bar", "Family"};
    return a;
  }

  fs::path folder_;
};

// A tag that may be a list comes back as a plain value when it holds one item.
std::vector<std::string> listOf(const nlohmann::json& value) {
  if (value.is_array()) return value.get<std::vector<std::string>>();
  return {value.get<std::string>()};
}

TEST_F(XMPSidecarExiftoolTest, ReportsWhatWeWrote) {
  const AssetRecord a = asset(-33.8688, 151.2093);
  const PhotosMetadata m{" Fish & Chips <2> ", "Tom's \"best\" shot\nat the harbour",
                         {"sea", " harbour ", "sea", "\xE6\x97\xA5\xE6\x9C\xAC", "<tag>"}};
  const nlohmann::json tags = readBack(XMPSidecar::document(a, m));

  EXPECT_EQ(tags.value("Title", ""), "Fish & Chips <2>");
  EXPECT_EQ(tags.value("Description", ""), "Tom's \"best\" shot\nat the harbour");
  ASSERT_TRUE(tags.contains("Subject")) << tags.dump();
  EXPECT_EQ(listOf(tags["Subject"]),
            (std::vector<std::string>{"<tag>", "harbour", "sea", "\xE6\x97\xA5\xE6\x9C\xAC"}));
  EXPECT_EQ(tags.value("Rating", 0), 5);
  ASSERT_TRUE(tags.contains("GPSLatitude") && tags.contains("GPSLongitude")) << tags.dump();
  EXPECT_NEAR(tags["GPSLatitude"].get<double>(), -33.8688, 1e-6);
  EXPECT_NEAR(tags["GPSLongitude"].get<double>(), 151.2093, 1e-6);
  ASSERT_TRUE(tags.contains("HierarchicalSubject")) << tags.dump();
  EXPECT_EQ(listOf(tags["HierarchicalSubject"]),
            (std::vector<std::string>{"Albums|Caf\xC3\xA9 & Bar", "Albums|Family", "Albums|Trips/2024"}));
  EXPECT_EQ(tags.value("CreateDate", ""), "2024:05:01 12:34:56Z");
  EXPECT_EQ(tags.value("DateCreated", ""), "2024:05:01 12:34:56Z");
}

TEST_F(XMPSidecarExiftoolTest, CoordinatesInEveryQuarterOfTheGlobe) {
  const std::vector<std::pair<double, double>> places = {
      {47.3769, 8.5417},       // north, east
      {40.7128, -74.006},      // north, west
      {-22.9068, -43.1729},    // south, west
      {-33.8688, 151.2093},    // south, east
      {0.0, 0.0},              // on the equator and the prime meridian
      {-0.25, 179.999999},     // just south of the equator, by the date line
  };
  std::vector<std::string> documents;
  for (const auto& [latitude, longitude] : places) {
    documents.push_back(XMPSidecar::document(asset(latitude, longitude), std::nullopt));
  }
  const std::vector<nlohmann::json> all = readBackAll(documents);
  for (std::size_t i = 0; i < places.size(); ++i) {
    const auto& [latitude, longitude] = places[i];
    const nlohmann::json& tags = all[i];
    ASSERT_TRUE(tags.contains("GPSLatitude") && tags.contains("GPSLongitude")) << tags.dump();
    // Six decimals of minutes are about 2 mm on the ground.
    EXPECT_NEAR(tags["GPSLatitude"].get<double>(), latitude, 1e-7) << latitude << "," << longitude;
    EXPECT_NEAR(tags["GPSLongitude"].get<double>(), longitude, 1e-7) << latitude << "," << longitude;
  }
}

TEST_F(XMPSidecarExiftoolTest, ControlCharactersAndBrokenUTF8StayReadable) {
  AssetRecord a = asset(1, 1);
  a.albums = {"bad\xC3(album"};
  const PhotosMetadata m{"bell\x07title", "form\x0C" "feed", {"nul\x01key"}};
  const nlohmann::json tags = readBack(XMPSidecar::document(a, m));
  EXPECT_EQ(tags.value("Title", ""), "bell\xEF\xBF\xBDtitle");
  EXPECT_EQ(tags.value("Description", ""), "form\xEF\xBF\xBD" "feed");
  EXPECT_EQ(listOf(tags["Subject"]), std::vector<std::string>{"nul\xEF\xBF\xBDkey"});
  EXPECT_EQ(listOf(tags["HierarchicalSubject"]), std::vector<std::string>{"Albums|bad\xEF\xBF\xBD(album"});
}

TEST_F(XMPSidecarExiftoolTest, BareSidecarHasDatesOnly) {
  AssetRecord a = asset(0, 0);
  a.isFavorite = false;
  a.location.reset();
  a.albums.clear();
  const nlohmann::json tags = readBack(XMPSidecar::document(a, std::nullopt));
  EXPECT_EQ(tags.value("CreateDate", ""), "2024:05:01 12:34:56Z");
  for (const char* absent : {"Title", "Description", "Subject", "Rating", "GPSLatitude", "HierarchicalSubject"}) {
    EXPECT_FALSE(tags.contains(absent)) << absent << " in " << tags.dump();
  }
}

}  // namespace
}  // namespace kv
