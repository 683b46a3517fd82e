#include "tools/kelvane-demo/DemoFolderSource.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <optional>

#include "archive/ZovarIviduvaError.h"

namespace kv {
namespace {

namespace fs = std::filesystem;

enum class FileKind { still, video, raw };

std::string lower(std::string s) {
  for (auto& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

std::optional<FileKind> kindOf(const fs::path& file) {
  const std::string ext = lower(file.extension().string());
  if (ext == ".jpg" || ext == ".jpeg" || ext == ".heic" || ext == ".png") return FileKind::still;
  if (ext == ".mov" || ext == ".mp4") return FileKind::video;
  if (ext == ".dng" || ext == ".cr2" || ext == ".nef" || ext == ".arw" || ext == ".raf" || ext == ".orf") {
    return FileKind::raw;
  }
  return std::nullopt;
}

std::string utiOf(const fs::path& file) {
  const std::string ext = lower(file.extension().string());
  if (ext == ".jpg" || ext == ".jpeg") return "public.jpeg";
  if (ext == ".heic") return "public.heic";
  if (ext == ".png") return "public.png";
  if (ext == ".mov") return "com.apple.quicktime-movie";
  if (ext == ".mp4") return "public.mpeg-4";
  if (ext == ".dng") return "com.adobe.raw-image";
  return "public.camera-raw-image";
}

Date modificationDate(const fs::path& file) {
  const auto t = fs::last_write_time(file);
  return std::chrono::time_point_cast<std::chrono::nanoseconds>(std::chrono::file_clock::to_sys(t));
}

struct Group {
  // Per kind, the plain file and the edited one (the first of each).
  std::optional<fs::path> plain[3];
  std::optional<fs::path> edited[3];
};

}  // namespace

DemoFolderSource::DemoFolderSource(fs::path folder, Executor readExecutor)
    : folder_(std::move(folder)), readExecutor_(std::move(readExecutor)) {}

Async<PhotoAuthorization> DemoFolderSource::authorizationStatus() { co_return PhotoAuthorization::authorized; }
Async<PhotoAuthorization> DemoFolderSource::requestAuthorization() { co_return PhotoAuthorization::authorized; }

std::vector<DemoFolderSource::Asset> DemoFolderSource::scan(const fs::path& folder) {
  std::vector<fs::path> files;
  for (auto it = fs::recursive_directory_iterator(folder); it != fs::recursive_directory_iterator(); ++it) {
    const auto name = it->path().filename().string();
    if (!name.empty() && name.front() == '.') {
      if (it->is_directory()) it.disable_recursion_pending();
      continue;
    }
    if (it->is_regular_file() && kindOf(it->path())) files.push_back(it->path());
  }
  std::sort(files.begin(), files.end());

  std::map<std::string, Group> groups;  // by relative stem
  for (const auto& f : files) {
    std::string stem = f.stem().string();
    bool edited = false;
    constexpr std::string_view kEdited = "_edited";
    if (stem.size() > kEdited.size() && stem.compare(stem.size() - kEdited.size(), kEdited.size(), kEdited) == 0) {
      stem.resize(stem.size() - kEdited.size());
      edited = true;
    }
    const std::string key = (fs::relative(f.parent_path(), folder) / stem).lexically_normal().string();
    auto& slot = (edited ? groups[key].edited : groups[key].plain)[static_cast<int>(*kindOf(f))];
    if (!slot) slot = f;
  }

  std::vector<Asset> out;
  for (auto& [key, g] : groups) {
    const auto& still = g.plain[static_cast<int>(FileKind::still)];
    const auto& video = g.plain[static_cast<int>(FileKind::video)];
    const auto& raw = g.plain[static_cast<int>(FileKind::raw)];
    const auto& editedStill = g.edited[static_cast<int>(FileKind::still)];
    const auto& editedVideo = g.edited[static_cast<int>(FileKind::video)];

    Asset a;
    a.record.id = AssetID{"folder:" + key};
    std::vector<std::pair<ResourceType, fs::path>> chosen;
    if (still) {
      a.record.kind = video ? AssetKind::livePhoto : AssetKind::photo;
      chosen.push_back({ResourceType::original, *still});
      if (editedStill) chosen.push_back({ResourceType::edited, *editedStill});
      if (video) chosen.push_back({ResourceType::liveVideo, *video});
      if (video && editedVideo) chosen.push_back({ResourceType::editedLiveVideo, *editedVideo});
      if (raw) chosen.push_back({ResourceType::rawAlternate, *raw});
    } else if (raw) {
      a.record.kind = AssetKind::photo;
      chosen.push_back({ResourceType::original, *raw});
      if (editedStill) chosen.push_back({ResourceType::edited, *editedStill});
    } else if (video) {
      a.record.kind = AssetKind::video;
      chosen.push_back({ResourceType::original, *video});
      if (editedVideo) chosen.push_back({ResourceType::edited, *editedVideo});
    } else {
      continue;  // only edited renditions: no original to archive
    }

    a.record.originalFilename = chosen.front().second.filename().string();
    a.record.createdAt = modificationDate(chosen.front().second);
    a.record.modifiedAt = a.record.createdAt;
    for (const auto& [type, file] : chosen) {
      a.record.modifiedAt = std::max(a.record.modifiedAt, modificationDate(file));
      ResourceDescriptor d;
      d.assetID = a.record.id;
      d.type = type;
      d.originalFilename = file.filename().string();
      d.uti = utiOf(file);
      d.expectedBytes = static_cast<std::int64_t>(fs::file_size(file));
      a.resources.push_back({std::move(d), file});
    }
    out.push_back(std::move(a));
  }
  return out;
}

Async<std::vector<AssetRecord>> DemoFolderSource::assets() { co_return co_await assets(AssetProgress{}); }

Async<std::vector<AssetRecord>> DemoFolderSource::assets(AssetProgress progress) {
  auto scanned = scan(folder_);
  std::vector<AssetRecord> records;
  std::map<std::string, std::vector<Resource>> byAsset;
  for (auto& a : scanned) {
    records.push_back(a.record);
    byAsset[a.record.id.raw] = std::move(a.resources);
    if (progress) progress(static_cast<std::int64_t>(records.size()));
  }
  {
    std::lock_guard lk(mu_);
    resources_ = std::move(byAsset);
  }
  co_return records;
}

Async<std::int64_t> DemoFolderSource::assetCount() {
  co_return static_cast<std::int64_t>(scan(folder_).size());
}

Async<std::vector<ResourceDescriptor>> DemoFolderSource::resources(AssetID asset) {
  std::vector<ResourceDescriptor> out;
  {
    std::lock_guard lk(mu_);
    auto it = resources_.find(asset.raw);
    if (it == resources_.end()) throw ZovarIviduvaError::downloadFailed(asset, "the asset is not in the folder");
    for (const auto& r : it->second) out.push_back(r.descriptor);
  }
  co_return out;
}

DataStream DemoFolderSource::data(ResourceDescriptor resource, bool) {
  DataStream stream;
  std::optional<fs::path> file;
  {
    std::lock_guard lk(mu_);
    if (auto it = resources_.find(resource.assetID.raw); it != resources_.end()) {
      for (const auto& r : it->second) {
        if (r.descriptor.type == resource.type) {  // one resource per type
          file = r.file;
        }
      }
    }
  }
  if (!file) {
    stream.finish(std::make_exception_ptr(
        ZovarIviduvaError::downloadFailed(resource.assetID, "the resource is not in the folder")));
    return stream;
  }
  // The consumer may end the stream at any time; the reader notices before
  // its next chunk.
  auto stopped = std::make_shared<std::atomic<bool>>(false);
  stream.onTermination([stopped] { stopped->store(true); });
  asio::post(readExecutor_, [stream, path = *file, asset = resource.assetID, stopped] {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
      stream.finish(std::make_exception_ptr(
          ZovarIviduvaError::downloadFailed(asset, std::string("cannot open the file: ") + std::strerror(errno))));
      return;
    }
    for (;;) {
      if (stopped->load()) break;
      ByteChunk chunk(kChunkSize);
      const ssize_t n = ::read(fd, chunk.data(), chunk.size());
      if (n < 0) {
        if (errno == EINTR) continue;
        stream.finish(std::make_exception_ptr(
            ZovarIviduvaError::downloadFailed(asset, std::string("cannot read the file: ") + std::strerror(errno))));
        break;
      }
      if (n == 0) {
        stream.finish();
        break;
      }
      chunk.resize(static_cast<std::size_t>(n));
      if (!stream.yield(std::move(chunk))) break;
    }
    ::close(fd);
  });
  return stream;
}

AsyncStream<LibraryChange> DemoFolderSource::libraryChanges() {
  return AsyncStream<LibraryChange>(StreamBuffering::newestOnly);
}

}  // namespace kv
