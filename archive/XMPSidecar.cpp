#include "archive/XMPSidecar.h"

#include <unicode/normalizer2.h>
#include <unicode/uchar.h>
#include <unicode/unistr.h>
#include <unicode/utf8.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <unordered_set>

#include <nlohmann/json.hpp>

#include "archive/Sha256.h"

namespace kv {

namespace {

constexpr UChar32 kReplacement = 0xFFFD;

// Characters that XML 1.0 does not allow in a document, not even escaped.
bool forbiddenInXML(UChar32 c) {
  if (c < 0x20) return c != 0x09 && c != 0x0A && c != 0x0D;
  return c == 0xFFFE || c == 0xFFFF;
}

std::vector<UChar32> decodeUTF8(std::string_view text) {
  std::vector<UChar32> out;
  out.reserve(text.size());
  const auto* s = reinterpret_cast<const uint8_t*>(text.data());
  const auto length = static_cast<int32_t>(text.size());
  int32_t i = 0;
  while (i < length) {
    UChar32 c;
    U8_NEXT(s, i, length, c);  // a negative c marks an ill-formed sequence, which it skips
    out.push_back(c < 0 || forbiddenInXML(c) ? kReplacement : c);
  }
  return out;
}

void appendUTF8(std::string& out, UChar32 c) {
  char buffer[U8_MAX_LENGTH];
  int32_t n = 0;
  UBool failed = false;
  U8_APPEND(reinterpret_cast<uint8_t*>(buffer), n, U8_MAX_LENGTH, c, failed);
  if (failed) {
    n = 0;
    U8_APPEND_UNSAFE(reinterpret_cast<uint8_t*>(buffer), n, kReplacement);
  }
  out.append(buffer, static_cast<std::size_t>(n));
}

std::string nfc(const std::string& text) {
  UErrorCode status = U_ZERO_ERROR;
  const icu::Normalizer2* normalizer = icu::Normalizer2::getNFCInstance(status);
  if (U_FAILURE(status)) return text;  // the ICU data is built in; this does not happen
  icu::UnicodeString normalized = normalizer->normalize(icu::UnicodeString::fromUTF8(text), status);
  if (U_FAILURE(status)) return text;
  std::string out;
  normalized.toUTF8String(out);
  return out;
}

std::optional<std::string> presentText(const std::optional<std::string>& text) {
  if (!text) return std::nullopt;
  std::string cleaned = XMPSidecar::cleanedText(*text);
  if (cleaned.empty()) return std::nullopt;
  return cleaned;
}

bool isLocation(double latitude, double longitude) {
  return std::isfinite(latitude) && std::isfinite(longitude) && std::fabs(latitude) <= 90.0 &&
         std::fabs(longitude) <= 180.0;
}

void addLine(std::string& out, int spaces, std::string_view text) {
  out.append(static_cast<std::size_t>(spaces), ' ');
  out.append(text);
  out.push_back('\n');
}

void addElement(std::string& out, std::string_view name, std::string_view value) {
  std::string line;
  line.append("<").append(name).append(">").append(value).append("</").append(name).append(">");
  addLine(out, 3, line);
}

void addLanguageAlternative(std::string& out, std::string_view element, std::string_view text) {
  addLine(out, 3, "<" + std::string(element) + ">");
  addLine(out, 4, "<rdf:Alt>");
  addLine(out, 5, "<rdf:li xml:lang=\"x-default\">" + XMPSidecar::escape(text) + "</rdf:li>");
  addLine(out, 4, "</rdf:Alt>");
  addLine(out, 3, "</" + std::string(element) + ">");
}

void addBag(std::string& out, std::string_view element, const std::vector<std::string>& items,
            std::string_view itemPrefix) {
  addLine(out, 3, "<" + std::string(element) + ">");
  addLine(out, 4, "<rdf:Bag>");
  for (const auto& item : items) {
    addLine(out, 5, "<rdf:li>" + XMPSidecar::escape(std::string(itemPrefix) + item) + "</rdf:li>");
  }
  addLine(out, 4, "</rdf:Bag>");
  addLine(out, 3, "</" + std::string(element) + ">");
}

}  // namespace

std::string XMPSidecar::cleanedText(std::string_view text) {
  std::vector<UChar32> chars = decodeUTF8(text);
  auto first = std::find_if_not(chars.begin(), chars.end(), [](UChar32 c) { return u_isUWhiteSpace(c); });
  auto last = std::find_if_not(chars.rbegin(), std::make_reverse_iterator(first),
                               [](UChar32 c) { return u_isUWhiteSpace(c); })
                  .base();
  std::string out;
  out.reserve(text.size());
  for (auto it = first; it < last; ++it) appendUTF8(out, *it);
  return out;
}

std::vector<std::string> XMPSidecar::normalizedList(const std::vector<std::string>& entries) {
  std::vector<std::string> out;
  std::unordered_set<std::string> seen;  // NFC forms of the entries kept
  for (const auto& entry : entries) {
    std::string cleaned = cleanedText(entry);
    if (cleaned.empty()) continue;
    if (!seen.insert(nfc(cleaned)).second) continue;
    out.push_back(std::move(cleaned));
  }
  // Byte order of well-formed UTF-8 is the order of its scalar values
  // (char_traits<char> compares bytes as unsigned).
  std::sort(out.begin(), out.end());
  return out;
}

std::string XMPSidecar::isoSeconds(Date date) {
  using namespace std::chrono;
  const auto seconds = floor<std::chrono::seconds>(date);
  const auto day = floor<days>(seconds);
  const year_month_day ymd{day};
  const hh_mm_ss time{seconds - day};
  char buffer[64];
  std::snprintf(buffer, sizeof buffer, "%04d-%02u-%02uT%02d:%02d:%02dZ", static_cast<int>(ymd.year()),
                static_cast<unsigned>(ymd.month()), static_cast<unsigned>(ymd.day()),
                static_cast<int>(time.hours().count()), static_cast<int>(time.minutes().count()),
                static_cast<int>(time.seconds().count()));
  return buffer;
}

std::string XMPSidecar::coordinate(double value, char positive, char negative) {
  const double d = std::fabs(value);
  const double whole = std::trunc(d);
  const double minutes = (d - whole) * 60.0;
  // "%.0f" of an integral value prints it like "%d" would, without the
  // overflow a cast to int could hit.
  char buffer[400];
  std::snprintf(buffer, sizeof buffer, "%.0f,%.6f%c", whole, minutes, value < 0 ? negative : positive);
  return buffer;
}

std::string XMPSidecar::escape(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (char c : text) {
    switch (c) {
      case '&': out += "&amp;"; break;
      case '<': out += "&lt;"; break;
      case '>': out += "&gt;"; break;
      case '"': out += "&quot;"; break;
      case '\'': out += "&apos;"; break;
      default: out.push_back(c);
    }
  }
  return out;
}

XMPSidecar::Inputs XMPSidecar::makeInputs(const AssetRecord& asset, const std::optional<PhotosMetadata>& metadata) {
  Inputs inputs;
  inputs.createdAt = isoSeconds(asset.createdAt);
  inputs.favorite = asset.isFavorite;
  if (asset.location && isLocation(asset.location->latitude, asset.location->longitude)) {
    inputs.latitude = asset.location->latitude;
    inputs.longitude = asset.location->longitude;
  }
  if (metadata) {
    inputs.title = presentText(metadata->title);
    inputs.caption = presentText(metadata->caption);
    inputs.keywords = normalizedList(metadata->keywords);
  }
  inputs.albums = normalizedList(asset.albums);
  return inputs;
}

std::string XMPSidecar::inputsJSON(const Inputs& inputs) {
  // The default json object is a std::map, so its keys come out sorted.
  nlohmann::json j = nlohmann::json::object();
  j["version"] = inputs.version;
  j["createdAt"] = inputs.createdAt;
  j["favorite"] = inputs.favorite;
  if (inputs.latitude) j["latitude"] = *inputs.latitude;
  if (inputs.longitude) j["longitude"] = *inputs.longitude;
  if (inputs.title) j["title"] = *inputs.title;
  if (inputs.caption) j["caption"] = *inputs.caption;
  j["keywords"] = inputs.keywords;
  j["albums"] = inputs.albums;
  // Compact, UTF-8 as is; the texts are well-formed already (cleanedText),
  // so the replacing error handler is only a guard against throwing.
  return j.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

std::string XMPSidecar::inputsHash(const Inputs& inputs) { return sha256Hex(inputsJSON(inputs)); }

std::string XMPSidecar::inputsHash(const AssetRecord& asset, const std::optional<PhotosMetadata>& metadata) {
  return inputsHash(makeInputs(asset, metadata));
}

std::string XMPSidecar::document(const AssetRecord& asset, const std::optional<PhotosMetadata>& metadata) {
  return document(makeInputs(asset, metadata));
}

std::string XMPSidecar::document(const Inputs& inputs) {
  std::string out;
  addLine(out, 0, R"(<x:xmpmeta xmlns:x="adobe:ns:meta/" x:xmptk="Kelvane">)");
  addLine(out, 1, R"(<rdf:RDF xmlns:rdf="http://www.w3.org/1999/02/22-rdf-syntax-ns#">)");
  addLine(out, 2, R"(<rdf:Description rdf:about="")");
  addLine(out, 4, R"(xmlns:dc="http://purl.org/dc/elements/1.1/")");
  addLine(out, 4, R"(xmlns:exif="http://ns.adobe.com/exif/1.0/")");
  addLine(out, 4, R"(xmlns:lr="http://ns.adobe.com/lightroom/1.0/")");
  addLine(out, 4, R"(xmlns:photoshop="http://ns.adobe.com/photoshop/1.0/")");
  addLine(out, 4, R"(xmlns:xmp="http://ns.adobe.com/xap/1.0/">)");

  addElement(out, "xmp:CreateDate", inputs.createdAt);
  addElement(out, "photoshop:DateCreated", inputs.createdAt);
  if (inputs.favorite) addElement(out, "xmp:Rating", "5");
  if (inputs.latitude && inputs.longitude) {
    addElement(out, "exif:GPSLatitude", coordinate(*inputs.latitude, 'N', 'S'));
    addElement(out, "exif:GPSLongitude", coordinate(*inputs.longitude, 'E', 'W'));
  }
  if (inputs.title) addLanguageAlternative(out, "dc:title", *inputs.title);
  if (inputs.caption) addLanguageAlternative(out, "dc:description", *inputs.caption);
  if (!inputs.keywords.empty()) addBag(out, "dc:subject", inputs.keywords, "");
  if (!inputs.albums.empty()) addBag(out, "lr:hierarchicalSubject", inputs.albums, "Albums|");

  addLine(out, 2, "</rdf:Description>");
  addLine(out, 1, "</rdf:RDF>");
  addLine(out, 0, "</x:xmpmeta>");
  return out;
}

}  // namespace kv
