#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <ctime>
#include <limits>
#include <sstream>

#include "archive/XMPSidecar.h"

namespace kv {
namespace {

// 2024-05-01T12:34:56Z
constexpr double kMay2024 = 1714566896.0;

AssetRecord baseAsset() {
  AssetRecord a;
  a.id = AssetID{"4A1E2B3C-0000-4000-8000-000000000001/L0/001"};
  a.createdAt = fromUnixSeconds(kMay2024);
  a.modifiedAt = fromUnixSeconds(kMay2024 + 100);
  a.originalFilename = "IMG_0001.HEIC";
  return a;
}

std::vector<std::string> linesOf(const std::string& document) {
  EXPECT_FALSE(document.empty());
  EXPECT_EQ(document.back(), '\n') << "the document ends with one line feed";
  std::vector<std::string> lines;
  std::string line;
  std::istringstream in(document);
  while (std::getline(in, line)) lines.push_back(line);
  return lines;
}

const std::vector<std::string> kHead = {
    R"(<x:xmpmeta xmlns:x="adobe:ns:meta/" x:xmptk="Kelvane">)",
    R"( <rdf:RDF xmlns:rdf="http://www.w3.org/1999/02/22-rdf-syntax-ns#">)",
    R"(  <rdf:Description rdf:about="")",
    R"(    xmlns:dc="http://purl.org/dc/elements/1.1/")",
    R"(    xmlns:exif="http://ns.adobe.com/exif/1.0/")",
    R"(    xmlns:lr="http://ns.adobe.com/lightroom/1.0/")",
    R"(    xmlns:photoshop="http://ns.adobe.com/photoshop/1.0/")",
    R"(    xmlns:xmp="http://ns.adobe.com/xap/1.0/">)",
};
const std::vector<std::string> kDates = {
    "   <xmp:CreateDate>2024-05-01T12:34:56Z</xmp:CreateDate>",
    "   <photoshop:DateCreated>2024-05-01T12:34:56Z</photoshop:DateCreated>",
};
const std::vector<std::string> kTail = {
    "  </rdf:Description>",
    " </rdf:RDF>",
    "</x:xmpmeta>",
};

std::vector<std::string> documentWith(std::vector<std::string> body) {
  std::vector<std::string> all = kHead;
  all.insert(all.end(), kDates.begin(), kDates.end());
  all.insert(all.end(), body.begin(), body.end());
  all.insert(all.end(), kTail.begin(), kTail.end());
  return all;
}

struct DocumentCase {
  std::string name;
  std::function<void(AssetRecord&)> changeAsset;
  std::optional<PhotosMetadata> metadata;
  std::vector<std::string> expected;
};

void PrintTo(const DocumentCase& c, std::ostream* os) { *os << c.name; }

class XMPDocumentTest : public ::testing::TestWithParam<DocumentCase> {};

TEST_P(XMPDocumentTest, WritesTheExactLines) {
  const DocumentCase& c = GetParam();
  AssetRecord asset = baseAsset();
  if (c.changeAsset) c.changeAsset(asset);
  const std::vector<std::string> lines = linesOf(XMPSidecar::document(asset, c.metadata));
  for (std::size_t i = 0; i < std::max(lines.size(), c.expected.size()); ++i) {
    EXPECT_EQ(i < lines.size() ? lines[i] : "<missing>", i < c.expected.size() ? c.expected[i] : "<extra>")
        << "line " << (i + 1);
  }
  EXPECT_EQ(lines.size(), c.expected.size());
}

INSTANTIATE_TEST_SUITE_P(
    Documents, XMPDocumentTest,
    ::testing::Values(
        DocumentCase{"BareAssetHasThirteenLines", nullptr, std::nullopt, documentWith({})},
        DocumentCase{"EmptyMetadataAddsNothing", nullptr, PhotosMetadata{}, documentWith({})},
        DocumentCase{"FavouriteRatingFollowsTheDates", [](AssetRecord& a) { a.isFavorite = true; }, std::nullopt,
                     documentWith({"   <xmp:Rating>5</xmp:Rating>"})},
        DocumentCase{"LocationSouthEast", [](AssetRecord& a) { a.location = Coordinate{-33.8688, 151.2093}; },
                     std::nullopt,
                     documentWith({"   <exif:GPSLatitude>33,52.128000S</exif:GPSLatitude>",
                                   "   <exif:GPSLongitude>151,12.558000E</exif:GPSLongitude>"})},
        DocumentCase{"LocationNorthWest", [](AssetRecord& a) { a.location = Coordinate{40.7128, -74.006}; },
                     std::nullopt,
                     documentWith({"   <exif:GPSLatitude>40,42.768000N</exif:GPSLatitude>",
                                   "   <exif:GPSLongitude>74,0.360000W</exif:GPSLongitude>"})},
        DocumentCase{"NonFiniteLocationIsLeftOut",
                     [](AssetRecord& a) { a.location = Coordinate{std::nan(""), 10.0}; }, std::nullopt,
                     documentWith({})},
        DocumentCase{"TitleOfOnlySpacesWritesNoBlock", nullptr, PhotosMetadata{"   \n\t", std::nullopt, {}},
                     documentWith({})},
        DocumentCase{"TitleIsEscapedAndTrimmed", nullptr, PhotosMetadata{"  Fish & Chips <2>\n", std::nullopt, {}},
                     documentWith({"   <dc:title>", "    <rdf:Alt>",
                                   R"(     <rdf:li xml:lang="x-default">Fish &amp; Chips &lt;2&gt;</rdf:li>)",
                                   "    </rdf:Alt>", "   </dc:title>"})},
        DocumentCase{"CaptionIsALanguageAlternative", nullptr,
                     PhotosMetadata{std::nullopt, "Tom's \"best\" shot", {}},
                     documentWith({"   <dc:description>", "    <rdf:Alt>",
                                   R"(     <rdf:li xml:lang="x-default">Tom&apos;s &quot;best&quot; shot</rdf:li>)",
                                   "    </rdf:Alt>", "   </dc:description>"})},
        DocumentCase{"KeywordsDeduplicatedTrimmedSorted", nullptr,
                     PhotosMetadata{std::nullopt, std::nullopt, {"b", "b", " a ", ""}},
                     documentWith({"   <dc:subject>", "    <rdf:Bag>", "     <rdf:li>a</rdf:li>",
                                   "     <rdf:li>b</rdf:li>", "    </rdf:Bag>", "   </dc:subject>"})},
        DocumentCase{"AlbumsBecomeHierarchicalSubjects", [](AssetRecord& a) { a.albums = {"Trips/2024", "A&B"}; },
                     std::nullopt,
                     documentWith({"   <lr:hierarchicalSubject>", "    <rdf:Bag>",
                                   "     <rdf:li>Albums|A&amp;B</rdf:li>", "     <rdf:li>Albums|Trips/2024</rdf:li>",
                                   "    </rdf:Bag>", "   </lr:hierarchicalSubject>"})},
        DocumentCase{"EverythingInOrder",
                     [](AssetRecord& a) {
                       a.isFavorite = true;
                       a.location = Coordinate{0, 0};
                       a.albums = {"Family"};
                     },
                     PhotosMetadata{"Title", "Caption", {"zebra", "Apple"}},
                     documentWith({"   <xmp:Rating>5</xmp:Rating>",
                                   "   <exif:GPSLatitude>0,0.000000N</exif:GPSLatitude>",
                                   "   <exif:GPSLongitude>0,0.000000E</exif:GPSLongitude>",
                                   "   <dc:title>", "    <rdf:Alt>",
                                   R"(     <rdf:li xml:lang="x-default">Title</rdf:li>)", "    </rdf:Alt>",
                                   "   </dc:title>", "   <dc:description>", "    <rdf:Alt>",
                                   R"(     <rdf:li xml:lang="x-default">Caption</rdf:li>)", "    </rdf:Alt>",
                                   "   </dc:description>", "   <dc:subject>", "    <rdf:Bag>",
                                   "     <rdf:li>Apple</rdf:li>", "     <rdf:li>zebra</rdf:li>", "    </rdf:Bag>",
                                   "   </dc:subject>", "   <lr:hierarchicalSubject>", "    <rdf:Bag>",
                                   "     <rdf:li>Albums|Family</rdf:li>", "    </rdf:Bag>",
                                   "   </lr:hierarchicalSubject>"})}),
    [](const auto& info) { return info.param.name; });

TEST(XMPSidecar, DocumentHasNoByteOrderMarkDeclarationOrCarriageReturns) {
  const std::string text = XMPSidecar::document(baseAsset(), std::nullopt);
  EXPECT_EQ(text.rfind("<x:xmpmeta ", 0), 0u);
  EXPECT_EQ(text.find("<?"), std::string::npos);
  EXPECT_EQ(text.find('\r'), std::string::npos);
  EXPECT_NE(text.substr(text.size() - 2), "\n\n");
}

struct CoordinateCase {
  double value;
  char positive, negative;
  std::string expected;
};

TEST(XMPSidecar, CoordinateFormat) {
  const std::vector<CoordinateCase> cases = {
      {-33.8688, 'N', 'S', "33,52.128000S"},   // Sydney latitude
      {151.2093, 'E', 'W', "151,12.558000E"},  // Sydney longitude
      {0.0, 'N', 'S', "0,0.000000N"},
      {-0.0, 'N', 'S', "0,0.000000N"},  // negative zero is not below zero
      {-0.5, 'E', 'W', "0,30.000000W"},
      {47.3769, 'N', 'S', "47,22.614000N"},
      {-179.999999, 'E', 'W', "179,59.999940W"},
      {90.0, 'N', 'S', "90,0.000000N"},
      {-90.0, 'N', 'S', "90,0.000000S"},
      {12.0000001, 'N', 'S', "12,0.000006N"},  // minutes keep six decimals
  };
  for (const auto& c : cases) {
    EXPECT_EQ(XMPSidecar::coordinate(c.value, c.positive, c.negative), c.expected) << c.value;
  }
}

TEST(XMPSidecar, Escaping) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"Fish & Chips <2>", "Fish &amp; Chips &lt;2&gt;"},
      {"&lt;", "&amp;lt;"},  // an ampersand is escaped before anything else
      {"\"quoted\"", "&quot;quoted&quot;"},
      {"it's", "it&apos;s"},
      {"Trips/2024 | Caf\xC3\xA9 \xE6\x97\xA5", "Trips/2024 | Caf\xC3\xA9 \xE6\x97\xA5"},  // nothing else changes
      {"", ""},
  };
  for (const auto& [in, out] : cases) EXPECT_EQ(XMPSidecar::escape(in), out) << in;
}

TEST(XMPSidecar, IsoSecondsInUTC) {
  const char* saved = std::getenv("TZ");
  std::optional<std::string> savedTZ = saved ? std::optional<std::string>(saved) : std::nullopt;
  setenv("TZ", "Pacific/Auckland", 1);  // the local zone must not matter
  tzset();
  const std::vector<std::pair<Date, std::string>> cases = {
      {fromUnixSeconds(kMay2024), "2024-05-01T12:34:56Z"},
      {fromUnixSeconds(kMay2024 + 0.999), "2024-05-01T12:34:56Z"},  // the fraction is dropped
      {fromUnixSeconds(0), "1970-01-01T00:00:00Z"},
      {fromUnixSeconds(-0.5), "1969-12-31T23:59:59Z"},  // before 1970 rounds down too
      {fromUnixSeconds(951782400.0 + 86399), "2000-02-29T23:59:59Z"},
  };
  for (const auto& [date, text] : cases) EXPECT_EQ(XMPSidecar::isoSeconds(date), text);
  if (savedTZ) setenv("TZ", savedTZ->c_str(), 1); else unsetenv("TZ");
  tzset();
}

TEST(XMPSidecar, CleanedText) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"  plain  ", "plain"},
      {"\n\t\r line \r\n", "line"},
      {"\xC2\xA0nbsp\xE3\x80\x80", "nbsp"},                  // U+00A0 and U+3000 are white space
      {"\xE2\x80\xA8sep\xC2\x85", "sep"},                    // line and next-line separators
      {"inner  spaces\nkept", "inner  spaces\nkept"},
      {"\xE2\x80\x8Bzero width", "\xE2\x80\x8Bzero width"},  // U+200B is not white space
      {"bell\x07", "bell\xEF\xBF\xBD"},                     // XML cannot carry C0 controls
      {"bad\xC3(utf8", "bad\xEF\xBF\xBD(utf8"},             // ill-formed UTF-8
      {"\xEF\xBF\xBEnon", "\xEF\xBF\xBDnon"},               // U+FFFE
      {"   ", ""},
      {"", ""},
  };
  for (const auto& [in, out] : cases) EXPECT_EQ(XMPSidecar::cleanedText(in), out) << in;
}

TEST(XMPSidecar, ListNormalization) {
  const std::string precomposed = "Caf\xC3\xA9";   // é as one scalar
  const std::string decomposed = "Cafe\xCC\x81";   // e + combining acute
  EXPECT_EQ(XMPSidecar::normalizedList({decomposed, precomposed, " Caf\xC3\xA9 "}),
            (std::vector<std::string>{decomposed}))
      << "canonically equivalent entries are one; the first is kept";
  EXPECT_EQ(XMPSidecar::normalizedList({"\xE6\x97\xA5", "\xC3\xA9", "a", "Z", "B", "\n", "", " "}),
            (std::vector<std::string>{"B", "Z", "a", "\xC3\xA9", "\xE6\x97\xA5"}))
      << "sorted by scalar value: upper case before lower case, then é (U+E9), then 日";
  EXPECT_EQ(XMPSidecar::normalizedList({"a", "A"}), (std::vector<std::string>{"A", "a"}))
      << "case differences are not duplicates";
}

TEST(XMPSidecar, InputsFromAssetAndMetadata) {
  AssetRecord a = baseAsset();
  a.isFavorite = true;
  a.location = Coordinate{-33.8688, 151.2093};
  a.albums = {" Trips/2024", "Trips/2024", ""};
  const auto inputs = XMPSidecar::makeInputs(a, PhotosMetadata{" T ", "\n", {"k"}});
  EXPECT_EQ(inputs.version, 1);
  EXPECT_EQ(inputs.createdAt, "2024-05-01T12:34:56Z");
  EXPECT_TRUE(inputs.favorite);
  EXPECT_EQ(inputs.latitude, -33.8688);
  EXPECT_EQ(inputs.longitude, 151.2093);
  EXPECT_EQ(inputs.title, "T");
  EXPECT_EQ(inputs.caption, std::nullopt);
  EXPECT_EQ(inputs.keywords, std::vector<std::string>{"k"});
  EXPECT_EQ(inputs.albums, std::vector<std::string>{"Trips/2024"});

  const auto bare = XMPSidecar::makeInputs(baseAsset(), std::nullopt);
  EXPECT_FALSE(bare.title || bare.caption || bare.latitude || bare.longitude);
  EXPECT_TRUE(bare.keywords.empty());
}

TEST(XMPSidecar, LocationsThatAreNoPlaceAreLeftOut) {
  const double inf = std::numeric_limits<double>::infinity();
  for (Coordinate c : {Coordinate{std::nan(""), 1}, Coordinate{1, inf}, Coordinate{90.5, 0}, Coordinate{0, -180.5}}) {
    AssetRecord a = baseAsset();
    a.location = c;
    const auto inputs = XMPSidecar::makeInputs(a, std::nullopt);
    EXPECT_FALSE(inputs.latitude || inputs.longitude) << c.latitude << "," << c.longitude;
  }
}

TEST(XMPSidecar, InputsJSONIsCompactSortedAndKeepsSlashes) {
  AssetRecord a = baseAsset();
  a.isFavorite = true;
  a.location = Coordinate{-33.8688, 151.2093};
  a.albums = {"Trips/2024"};
  const PhotosMetadata m{"Fish & Chips <2>", "Harbour at dusk", {"b", "a"}};
  const std::string full =
      R"({"albums":["Trips/2024"],"caption":"Harbour at dusk","createdAt":"2024-05-01T12:34:56Z",)"
      R"("favorite":true,"keywords":["a","b"],"latitude":-33.8688,"longitude":151.2093,)"
      R"("title":"Fish & Chips <2>","version":1})";
  EXPECT_EQ(XMPSidecar::inputsJSON(XMPSidecar::makeInputs(a, m)), full);
  // Digests computed with sha256sum over the texts above.
  EXPECT_EQ(XMPSidecar::inputsHash(a, m), "c471256915504e81f7f7acd16b418b5d427311f6c49a15e78c36e28643828366");

  const std::string bare = R"({"albums":[],"createdAt":"2024-05-01T12:34:56Z","favorite":false,"keywords":[],"version":1})";
  EXPECT_EQ(XMPSidecar::inputsJSON(XMPSidecar::makeInputs(baseAsset(), std::nullopt)), bare)
      << "absent optionals are left out, not null";
  EXPECT_EQ(XMPSidecar::inputsHash(baseAsset(), std::nullopt),
            "ad71cdd8e861e5f8b2f91d4dc28ad021f5536911e07d5326dc630ebdbec866c7");
}

struct HashCase {
  std::string name;
  std::function<void(AssetRecord&, PhotosMetadata&)> change;
  bool changesDigest;
};

TEST(XMPSidecar, DigestFollowsExactlyTheInputs) {
  const std::vector<HashCase> cases = {
      {"caption", [](AssetRecord&, PhotosMetadata& m) { m.caption = "Other"; }, true},
      {"title", [](AssetRecord&, PhotosMetadata& m) { m.title = "Other"; }, true},
      {"title removed", [](AssetRecord&, PhotosMetadata& m) { m.title.reset(); }, true},
      {"keyword added", [](AssetRecord&, PhotosMetadata& m) { m.keywords.push_back("c"); }, true},
      {"album", [](AssetRecord& a, PhotosMetadata&) { a.albums.push_back("New"); }, true},
      {"favourite", [](AssetRecord& a, PhotosMetadata&) { a.isFavorite = false; }, true},
      {"location", [](AssetRecord& a, PhotosMetadata&) { a.location->latitude += 0.0001; }, true},
      {"location removed", [](AssetRecord& a, PhotosMetadata&) { a.location.reset(); }, true},
      {"capture second", [](AssetRecord& a, PhotosMetadata&) { a.createdAt = fromUnixSeconds(kMay2024 + 1); }, true},
      {"capture fraction", [](AssetRecord& a, PhotosMetadata&) { a.createdAt = fromUnixSeconds(kMay2024 + 0.5); },
       false},
      {"padded title", [](AssetRecord&, PhotosMetadata& m) { m.title = "  Title\n"; }, false},
      {"keyword order and duplicates",
       [](AssetRecord&, PhotosMetadata& m) { m.keywords = {"b", "a", "a ", ""}; }, false},
      {"modification date", [](AssetRecord& a, PhotosMetadata&) { a.modifiedAt = fromUnixSeconds(0); }, false},
      {"hidden flag and pixel size",
       [](AssetRecord& a, PhotosMetadata&) {
         a.isHidden = true;
         a.pixelWidth = 4032;
       },
       false},
  };
  AssetRecord base = baseAsset();
  base.isFavorite = true;
  base.location = Coordinate{1, 2};
  base.albums = {"Album"};
  const PhotosMetadata baseMeta{"Title", "Caption", {"a", "b"}};
  const std::string baseHash = XMPSidecar::inputsHash(base, baseMeta);
  EXPECT_EQ(baseHash.size(), 64u);
  for (const auto& c : cases) {
    AssetRecord a = base;
    PhotosMetadata m = baseMeta;
    c.change(a, m);
    EXPECT_EQ(XMPSidecar::inputsHash(a, m) != baseHash, c.changesDigest) << c.name;
  }
}

}  // namespace
}  // namespace kv
