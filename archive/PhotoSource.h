#pragma once
// What the archive engine needs from the Photos library.
//
// The engine never talks to the library directly; it sees it through
// `PhotoSource` (assets, their resources and the resources' bytes) and the
// optional `PhotosMetadataSource` (titles, captions, keywords). Real
// implementations live in photos/; inert ones where Photos must not be
// touched; an in-memory fake in tests/support/archive/.
//
// Errors: implementations throw ZovarIviduvaError (typically
// photosAccessDenied, downloadFailed, metadataFetchFailed); any other error
// is passed on unchanged.
//
// Thread safety: the engine calls authorizationStatus, assets and resources
// from its own strand, one call at a time; `data` is called concurrently by
// several copy workers, so an implementation must serve several data streams
// at once. `metadata` is called one batch at a time.
#include <cstdint>
#include <functional>
#include <unordered_map>
#include <vector>

#include "archive/PhotoAuthorization.h"
#include "core/AssetID.h"
#include "core/AssetRecord.h"
#include "core/PhotosMetadata.h"
#include "core/ResourceDescriptor.h"
#include "core/async/Async.h"
#include "core/async/Stream.h"

namespace kv {

// One piece of a resource's bytes, in order.
using ByteChunk = std::vector<std::uint8_t>;

// The bytes of one resource: chunks of any size in order, then the end, or an
// error that ends the stream (rethrown by `next()` after the chunks before it).
// The consumer ends it with `cancel()` (or by being cancelled while waiting in
// `next()`) when it stops consuming for any reason — cancellation, a stall,
// the end of a copy — and the producer must then cancel the underlying
// request (it listens with `onTermination`). Buffered: the producer may run
// ahead, but an implementation must not hold the whole resource in memory
// beyond what the consumer has not taken yet.
using DataStream = AsyncStream<ByteChunk>;

// One change of the Photos library (no payload).
struct LibraryChange {
  bool operator==(const LibraryChange&) const = default;
};

// Called with the running count of assets found during an enumeration. May
// be called from any thread; must be cheap.
using AssetProgress = std::function<void(std::int64_t found)>;

class PhotoSource {
 public:
  virtual ~PhotoSource() = default;

  // Answers without prompting.
  virtual Async<PhotoAuthorization> authorizationStatus() = 0;
  // May show the system's prompt.
  virtual Async<PhotoAuthorization> requestAuthorization() = 0;
  // Every asset of the library the archive should hold, each exactly once,
  // every field filled; `modifiedAt` changes whenever anything the archive
  // stores about the asset changes (edits, favourite flag, albums, ...).
  virtual Async<std::vector<AssetRecord>> assets() = 0;
  // The same, reporting the running count as assets are found.
  virtual Async<std::vector<AssetRecord>> assets(AssetProgress progress) = 0;
  // The library's size as shown to the user.
  virtual Async<std::int64_t> assetCount() = 0;
  // The resources to archive for one asset: at most one per type counts (the
  // first); `originalFilename` is the resource's own file name; expectedBytes
  // the size when known. A failure is tolerated by the run for that asset.
  virtual Async<std::vector<ResourceDescriptor>> resources(AssetID asset) = 0;
  // The bytes of a resource, returned at once (see DataStream). With
  // `allowNetwork` the implementation may download from iCloud first.
  virtual DataStream data(ResourceDescriptor resource, bool allowNetwork) = 0;
  // One event per library change; bursts may coalesce to the newest pending
  // event (newestOnly buffering). Each call gives a separate stream for one
  // listener.
  virtual AsyncStream<LibraryChange> libraryChanges() = 0;
};

using MetadataMap = std::unordered_map<AssetID, PhotosMetadata>;

class PhotosMetadataSource {
 public:
  virtual ~PhotosMetadataSource() = default;

  // Titles, captions and keywords of the given assets. The answer may omit
  // identifiers (the engine then stores empty metadata for them) and may hold
  // identifiers not asked for (ignored). Called with at most the engine's
  // batch size at a time.
  virtual Async<MetadataMap> metadata(std::vector<AssetID> assets) = 0;
};

}  // namespace kv
