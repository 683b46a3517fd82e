#include "archive/ArchiveLayout.h"

#include <unicode/normalizer2.h>
#include <unicode/unistr.h>

#include <cmath>
#include <cstdio>
#include <ctime>
#include <stdexcept>

#include "archive/Sha256.h"

namespace kv {

namespace {

const icu::Normalizer2& nfc() {
  UErrorCode status = U_ZERO_ERROR;
  const icu::Normalizer2* n = icu::Normalizer2::getNFCInstance(status);
  if (U_FAILURE(status) || n == nullptr) throw std::runtime_error("ICU NFC normaliser unavailable");
  return *n;
}

icu::UnicodeString normalized(const icu::UnicodeString& text) {
  UErrorCode status = U_ZERO_ERROR;
  icu::UnicodeString out = nfc().normalize(text, status);
  if (U_FAILURE(status)) throw std::runtime_error("ICU normalisation failed");
  return out;
}

std::string utf8(const icu::UnicodeString& text) {
  std::string out;
  text.toUTF8String(out);
  return out;
}

icu::UnicodeString unicode(std::string_view text) {
  return icu::UnicodeString::fromUTF8(icu::StringPiece(text.data(), static_cast<int32_t>(text.size())));
}

}  // namespace

std::string toNFC(std::string_view text) { return utf8(normalized(unicode(text))); }

std::string foldPath(std::string_view path) {
  icu::UnicodeString s = normalized(unicode(path));
  s.foldCase(U_FOLD_CASE_DEFAULT);
  return utf8(normalized(s));
}

std::string yearMonthFolder(Date date) {
  int year = 1970;
  int month = 1;
  const auto seconds = std::chrono::floor<std::chrono::seconds>(date).time_since_epoch().count();
  const std::time_t t = static_cast<std::time_t>(seconds);
  std::tm parts{};
  if (localtime_r(&t, &parts) != nullptr) {
    year = parts.tm_year + 1900;
    month = parts.tm_mon + 1;
  }
  char buffer[32];
  std::snprintf(buffer, sizeof buffer, "%04d/%02d", year, month);
  return buffer;
}

std::string cleanFileName(std::string_view name) {
  std::string cleaned = toNFC(name);
  for (char& c : cleaned) {
    if (c == '/' || c == ':') c = '_';
  }
  if (cleaned.empty()) cleaned = "untitled";
  return cleaned;
}

std::string fileExtension(std::string_view name) {
  const auto dot = name.rfind('.');
  if (dot == std::string_view::npos) return {};
  return std::string(name.substr(dot + 1));
}

std::string fileStem(std::string_view name) {
  const auto dot = name.rfind('.');
  if (dot == std::string_view::npos) return std::string(name);
  return std::string(name.substr(0, dot));
}

std::string layoutDisambiguator(const AssetID& asset) { return sha256Hex(asset.raw).substr(0, 6); }

std::string layoutFileName(ResourceType type, std::string_view stem, std::string_view extension) {
  std::string name(stem);
  auto withExtension = [&](std::string base) {
    if (!extension.empty()) {
      base += '.';
      base += extension;
    }
    return base;
  };
  switch (type) {
    case ResourceType::original:
    case ResourceType::rawAlternate:
      return withExtension(name);
    case ResourceType::edited:
      return withExtension(name + "_edited");
    case ResourceType::liveVideo:
      return name + ".mov";
    case ResourceType::editedLiveVideo:
      return name + "_edited.mov";
    case ResourceType::adjustmentData:
      return name + ".aae";
  }
  return withExtension(name);
}

ArchiveLayout ArchiveLayout::withTakenPaths(const std::vector<std::string>& paths) {
  ArchiveLayout layout;
  layout.taken_.reserve(paths.size());
  for (const auto& p : paths) layout.taken_.insert(foldPath(p));
  return layout;
}

std::string ArchiveLayout::assign(const AssetRecord& asset, const ResourceDescriptor& resource) {
  LayoutKey key{asset.id.raw, resource.type, resource.originalFilename};
  if (auto it = assigned_.find(key); it != assigned_.end()) return it->second;

  const std::string folder = yearMonthFolder(asset.createdAt);
  const std::string base = cleanFileName(asset.originalFilename);
  const std::string stem = fileStem(base);
  std::string extension = fileExtension(cleanFileName(resource.originalFilename));
  if (extension.empty()) extension = fileExtension(base);
  const std::string disambiguator = layoutDisambiguator(asset.id);

  for (std::uint64_t i = 0;; ++i) {
    std::string candidate = stem;
    if (i >= 1) candidate += "-" + disambiguator;
    if (i >= 2) candidate += "-" + std::to_string(i);
    std::string path = folder + "/" + layoutFileName(resource.type, candidate, extension);
    if (taken_.insert(foldPath(path)).second) {
      assigned_.emplace(std::move(key), path);
      return path;
    }
  }
}

void ArchiveLayout::markOccupied(std::string_view path) {
  const std::string key = foldPath(path);
  taken_.insert(key);
  std::erase_if(assigned_, [&](const auto& entry) { return foldPath(entry.second) == key; });
}

void ArchiveLayout::unassign(const LayoutKey& key) {
  auto it = assigned_.find(key);
  if (it == assigned_.end()) return;
  taken_.erase(foldPath(it->second));
  assigned_.erase(it);
}

bool ArchiveLayout::isTaken(std::string_view path) const { return taken_.contains(foldPath(path)); }

}  // namespace kv
