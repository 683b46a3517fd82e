#pragma once
// DemoFolderSource: the demo's simple photo library until the folder library
// lands — a PhotoSource over the files of one folder (and its subfolders).
//
// Files are grouped into assets by their stem (the file name without its
// extension, a trailing "_edited" removed), relative to the folder:
//   - a still (JPEG, HEIC, PNG) is the original; a video (MOV, MP4) beside it
//     makes the asset a Live Photo (its liveVideo); a RAW (DNG, CR2, NEF,
//     ARW, RAF, ORF) beside it is its rawAlternate;
//   - "<stem>_edited.<ext>" is the edited rendition (editedLiveVideo for a
//     video of a Live Photo);
//   - a RAW without a still is itself the original; a video alone is a video
//     asset.
// Only the first file of each type counts (file names in byte order); hidden
// files and files of other extensions are left out. The asset identifier is
// "folder:<relative stem>"; createdAt is the original's modification time,
// modifiedAt the newest modification time in the group.
//
// Authorization is always `authorized`. `assets` scans the folder (blocking,
// on the caller's thread) and remembers where each resource lives;
// `resources` and `data` answer from that scan. `data` reads the file on
// `readExecutor` in chunks of `kChunkSize`; when the consumer ends the stream
// (onTermination) the reader stops at its next chunk. A file that cannot be
// read ends the stream with downloadFailed. The library never changes while
// the demo runs: `libraryChanges` gives a stream that stays silent.
// Safe for concurrent use.
#include <filesystem>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "archive/PhotoSource.h"

namespace kv {

class DemoFolderSource final : public PhotoSource {
 public:
  static constexpr std::size_t kChunkSize = 256 * 1024;

  DemoFolderSource(std::filesystem::path folder, Executor readExecutor);

  Async<PhotoAuthorization> authorizationStatus() override;
  Async<PhotoAuthorization> requestAuthorization() override;
  Async<std::vector<AssetRecord>> assets() override;
  Async<std::vector<AssetRecord>> assets(AssetProgress progress) override;
  Async<std::int64_t> assetCount() override;
  Async<std::vector<ResourceDescriptor>> resources(AssetID asset) override;
  DataStream data(ResourceDescriptor resource, bool allowNetwork) override;
  AsyncStream<LibraryChange> libraryChanges() override;

  struct Resource {
    ResourceDescriptor descriptor;
    std::filesystem::path file;
  };
  struct Asset {
    AssetRecord record;
    std::vector<Resource> resources;
  };
  // Scans the folder as described above (exposed for the demo's listing).
  static std::vector<Asset> scan(const std::filesystem::path& folder);

 private:
  std::filesystem::path folder_;
  Executor readExecutor_;
  mutable std::mutex mu_;
  std::map<std::string, std::vector<Resource>> resources_;  // by AssetID::raw
};

}  // namespace kv
