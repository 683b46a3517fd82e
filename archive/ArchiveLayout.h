#pragma once
// The place of every resource file on the share.
//
// The archive is a plain folder tree a person can browse: "YYYY/MM/<name>".
// `ArchiveLayout` chooses the relative path (below the destination folder) of
// a resource the first time the catalog records it, and again when a foreign
// file occupies the chosen name. No two resources get paths that a
// case-insensitive file system would treat as the same name: every path is
// compared by its folded key (NFC, then full Unicode case folding without
// locale, then NFC again).
//
// `assign`:
//   - the same (asset, type, descriptor file name) gives the same path again
//     and takes no second name;
//   - folder = year and month of the asset's creation date in the Gregorian
//     calendar and the process's current time zone ("%04d/%02d"; 1970/01
//     when the date cannot be placed in the calendar);
//   - base name = the asset's original file name in NFC with "/" and ":"
//     replaced by "_" ("untitled" when empty); the extension comes from the
//     descriptor's file name (cleaned the same way), else from the base name;
//   - candidate stems: stem, stem-<d>, stem-<d>-2, stem-<d>-3, ... where <d> is
//     the first six hex characters of the SHA-256 of the asset identifier;
//   - file names by type: original and rawAlternate "stem.ext", edited
//     "stem_edited.ext", liveVideo "stem.mov", editedLiveVideo
//     "stem_edited.mov", adjustmentData "stem.aae" (no "." when ext is empty);
//   - the first candidate whose key is not taken wins and becomes taken.
//
// A value type, not thread-safe; the catalog keeps one and stores a changed
// copy back only after its transaction commits.
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "core/AssetRecord.h"
#include "core/Date.h"
#include "core/Hashing.h"
#include "core/ResourceDescriptor.h"
#include "core/ResourceType.h"

namespace kv {

// What an assignment is remembered under.
struct LayoutKey {
  std::string asset;     // AssetID::raw
  ResourceType type = ResourceType::original;
  std::string filename;  // the descriptor's originalFilename

  bool operator==(const LayoutKey&) const = default;
};

}  // namespace kv

template <>
struct std::hash<kv::LayoutKey> {
  std::size_t operator()(const kv::LayoutKey& k) const noexcept {
    std::size_t seed = 0;
    kv::hashCombine(seed, k.asset);
    kv::hashCombine(seed, k.type);
    kv::hashCombine(seed, k.filename);
    return seed;
  }
};

namespace kv {

// The key under which two paths count as the same name: NFC, full case
// folding (no locale, default options), NFC. Invalid UTF-8 is folded as if
// each bad byte were U+FFFD, so it never throws on odd input.
std::string foldPath(std::string_view path);

// Unicode canonical composition (NFC) of UTF-8 text.
std::string toNFC(std::string_view text);

// "YYYY/MM" of `date` in the current time zone.
std::string yearMonthFolder(Date date);

// A file name as it may appear on the share: NFC, "/" and ":" → "_",
// "untitled" when empty.
std::string cleanFileName(std::string_view name);

// The text after the last "." of `name` ("" when there is none).
std::string fileExtension(std::string_view name);
// `name` without its extension and that dot.
std::string fileStem(std::string_view name);

// The six-character disambiguator of an asset.
std::string layoutDisambiguator(const AssetID& asset);

// The file name of a resource of `type` whose candidate stem is `stem`.
std::string layoutFileName(ResourceType type, std::string_view stem, std::string_view extension);

class ArchiveLayout {
 public:
  ArchiveLayout() = default;
  // A fresh layout: every path of `paths` taken (folded), nothing assigned.
  static ArchiveLayout withTakenPaths(const std::vector<std::string>& paths);

  // The relative path for `resource` of `asset` (see above).
  std::string assign(const AssetRecord& asset, const ResourceDescriptor& resource);

  // A foreign file occupies `path`: its key becomes taken and every
  // assignment whose path folds to the same key is forgotten, so the next
  // `assign` for that resource picks the next free candidate.
  void markOccupied(std::string_view path);

  // Takes back an assignment that `assign` made new (its name becomes free
  // again and the key is forgotten): for undoing the assignments of a
  // transaction that did not commit. No effect for an unknown key.
  void unassign(const LayoutKey& key);

  // Whether a path folds to a taken key.
  bool isTaken(std::string_view path) const;

  const std::unordered_set<std::string>& taken() const { return taken_; }
  const std::unordered_map<LayoutKey, std::string>& assigned() const { return assigned_; }

 private:
  std::unordered_set<std::string> taken_;
  std::unordered_map<LayoutKey, std::string> assigned_;
};

}  // namespace kv
