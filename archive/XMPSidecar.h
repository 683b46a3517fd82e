#pragma once
// XMPSidecar: the small XMP file kept beside every archived original, with
// what the Photos library knows about the picture and what the image file
// itself may not hold: capture time, favourite mark, location, title,
// caption, keywords and albums. Other photo tools (Lightroom, digiKam,
// exiftool) read it, so the archive stays meaningful without Photos.
//
// Everything here is pure, thread-safe and never throws except on memory
// exhaustion.
//
// The document (UTF-8, no byte-order mark, no XML declaration, no packet
// wrapper, lines joined by "\n" with one final "\n"):
//
//   <x:xmpmeta xmlns:x="adobe:ns:meta/" x:xmptk="Kelvane">
//    <rdf:RDF xmlns:rdf="http://www.w3.org/1999/02/22-rdf-syntax-ns#">
//     <rdf:Description rdf:about=""
//       xmlns:dc="http://purl.org/dc/elements/1.1/"
//       xmlns:exif="http://ns.adobe.com/exif/1.0/"
//       xmlns:lr="http://ns.adobe.com/lightroom/1.0/"
//       xmlns:photoshop="http://ns.adobe.com/photoshop/1.0/"
//       xmlns:xmp="http://ns.adobe.com/xap/1.0/">
//      <xmp:CreateDate>2024-05-01T12:34:56Z</xmp:CreateDate>
//      <photoshop:DateCreated>2024-05-01T12:34:56Z</photoshop:DateCreated>
//      <xmp:Rating>5</xmp:Rating>                              (favourites)
//      <exif:GPSLatitude>33,52.128000S</exif:GPSLatitude>       (with a location)
//      <exif:GPSLongitude>151,12.558000E</exif:GPSLongitude>
//      <dc:title> <rdf:Alt> <rdf:li xml:lang="x-default">…     (with a title)
//      <dc:description> … the same for the caption              (with a caption)
//      <dc:subject> <rdf:Bag> <rdf:li>keyword</rdf:li> …        (with keywords)
//      <lr:hierarchicalSubject> <rdf:Bag> <rdf:li>Albums|name …  (with albums)
//     </rdf:Description>
//    </rdf:RDF>
//   </x:xmpmeta>
//
// (the blocks are one element per line, indented 3/4/5 spaces; see
// XMPSidecar.cpp). Texts are XML-escaped (& < > " ').
//
// Whether a sidecar must be (re)written is decided by `inputsHash`, the
// SHA-256 of the inputs' JSON text; the catalog stores it with the sidecar
// and only compares it with later digests made by this same code.
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/AssetRecord.h"
#include "core/PhotosMetadata.h"

namespace kv {

class XMPSidecar {
 public:
  // Everything the document depends on.
  struct Inputs {
    int version = 1;
    // UTC, to the second (fraction dropped): "2024-05-01T12:34:56Z".
    std::string createdAt;
    bool favorite = false;
    // Both present or both absent. A location whose coordinates are not
    // finite or lie outside ±90° / ±180° is no location: it is left out.
    std::optional<double> latitude;
    std::optional<double> longitude;
    // Trimmed of Unicode white space and line breaks at both ends; absent
    // when there is no metadata, no text, or nothing is left.
    std::optional<std::string> title;
    std::optional<std::string> caption;
    // Normalized lists (see normalizedList).
    std::vector<std::string> keywords;  // none without metadata
    std::vector<std::string> albums;

    bool operator==(const Inputs&) const = default;
  };

  static Inputs makeInputs(const AssetRecord& asset, const std::optional<PhotosMetadata>& metadata);

  // The lowercase hexadecimal SHA-256 (64 characters) of inputsJSON.
  static std::string inputsHash(const AssetRecord& asset, const std::optional<PhotosMetadata>& metadata);
  static std::string inputsHash(const Inputs& inputs);

  // The inputs as one JSON object without white space, keys sorted (albums,
  // caption, createdAt, favorite, keywords, latitude, longitude, title,
  // version), absent optionals left out, "/" not escaped, numbers in their
  // shortest round-trip form.
  static std::string inputsJSON(const Inputs& inputs);

  // The sidecar text (above).
  static std::string document(const AssetRecord& asset, const std::optional<PhotosMetadata>& metadata);
  static std::string document(const Inputs& inputs);

  // --- The pieces, exposed for their own tests.

  // "%d,%.6f" of whole degrees and minutes of |value|, then `negative` when
  // value < 0, else `positive`: −33.8688 → "33,52.128000S" (N/S), 151.2093 →
  // "151,12.558000E" (E/W), 0 → "0,0.000000N". `value` must be finite.
  static std::string coordinate(double value, char positive, char negative);

  // "&" → "&amp;" first, then "<" → "&lt;", ">" → "&gt;", "\"" → "&quot;",
  // "'" → "&apos;"; nothing else changes.
  static std::string escape(std::string_view text);

  // The text trimmed of Unicode white space (including line breaks) at both
  // ends. Ill-formed UTF-8 becomes U+FFFD, and characters that XML 1.0 cannot
  // carry (C0 controls other than tab, line feed and carriage return; U+FFFE,
  // U+FFFF) become U+FFFD, so every sidecar stays a well-formed document.
  static std::string cleanedText(std::string_view text);

  // Each entry cleaned (cleanedText), empty entries dropped, duplicates
  // removed (canonically equivalent entries count as equal; the first one
  // is kept), the rest sorted ascending by Unicode scalar values.
  static std::vector<std::string> normalizedList(const std::vector<std::string>& entries);

  // The ISO 8601 UTC form of a date to the second (fraction dropped).
  static std::string isoSeconds(Date date);
};

}  // namespace kv
