#pragma once
// An in-memory photo library for archive tests.
//
// Holds assets, their resources and the resources' bytes, and serves them
// through the PhotoSource contract with switches for every fault a copier or
// a run must survive:
//   - per-resource behaviour (`DataBehaviour`): a delay before the first
//     chunk and between chunks (slept on the given Clock, so a ManualClock
//     drives them), the chunk size, a failure at the start or half-way, a
//     stall (delivers `stallAfterBytes` bytes, then nothing and never ends),
//     and a lie about the size (deliver more or fewer bytes than the content);
//   - failures of assets(), resources(for:) and the authorization answers;
//   - counters: data requests, cancellations (consumer stopped before the
//     producer finished), streams open now and the most open at once, the
//     descriptors and allowNetwork flags asked for;
//   - libraryChanges() streams fed by `notifyLibraryChange()`.
// Between runs a test changes the library in place (`update`, `removeAsset`,
// `setResources`, `setContent`).
//
// Thread-safe. Streams are produced by tasks on the executor given at
// construction; a stream's consumer `cancel()` cancels its producer.
#include <cstdint>
#include <exception>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "archive/PhotoSource.h"
#include "core/Clock.h"
#include "core/Date.h"

namespace kv::test {

// The bytes of a text (for readable fixtures).
ByteChunk bytesOf(std::string_view text);
// `count` bytes of a repeatable pattern that depends on `seed`.
ByteChunk patternBytes(std::size_t count, std::uint32_t seed = 0);

// An asset with sensible defaults: the given identifier, kind and file name,
// created and modified at `createdAt`.
AssetRecord makeAsset(std::string id, Date createdAt, std::string originalFilename,
                      AssetKind kind = AssetKind::photo);

struct FakeResource {
  ResourceDescriptor descriptor;
  ByteChunk content;
};

// A resource of `asset` whose expectedBytes is the size of `content`.
FakeResource makeResource(const AssetRecord& asset, ResourceType type, std::string filename, ByteChunk content,
                          std::string uti = "public.data");

struct DataBehaviour {
  enum class Failure { none, atStart, halfway };

  Seconds firstChunkDelay{0};       // before the first chunk
  Seconds chunkDelay{0};            // before every later chunk
  std::size_t chunkSize = 64 * 1024;
  Failure failure = Failure::none;  // halfway: after the first half of the bytes
  // The error the stream ends with on failure; default downloadFailed of
  // ZovarIviduvaError with the text "simulated download failure".
  std::exception_ptr error;
  // Deliver this many bytes, then never anything more and never end.
  std::optional<std::size_t> stallAfterBytes;
  // Deliver this many bytes instead of the content's size: fewer cuts the
  // content, more appends a pattern after it.
  std::optional<std::size_t> deliverBytes;
};

class FakePhotoSource : public PhotoSource {
 public:
  // `clock` (may be null when no delays are used) must outlive the source.
  explicit FakePhotoSource(Executor executor, Clock* clock = nullptr);
  ~FakePhotoSource() override;

  // --- The library

  // Adds (or replaces) an asset with its resources, kept in insertion order.
  FakePhotoSource& addAsset(AssetRecord asset, std::vector<FakeResource> resources = {});
  // Changes an asset in place (for example its modification time or albums).
  void update(const AssetID& id, const std::function<void(AssetRecord&)>& change);
  void removeAsset(const AssetID& id);
  void setResources(const AssetID& id, std::vector<FakeResource> resources);
  // Replaces the content of one resource (the descriptor's expectedBytes
  // follows unless `keepExpectedBytes`).
  void setContent(const AssetID& id, ResourceType type, ByteChunk content, bool keepExpectedBytes = false);
  std::vector<AssetRecord> assetList() const;
  std::optional<FakeResource> resourceOf(const AssetID& id, ResourceType type) const;

  // --- Switches

  void setAuthorization(PhotoAuthorization status);
  void setRequestAuthorizationAnswer(PhotoAuthorization status);
  void failAssets(std::exception_ptr error);  // null: succeed again
  void failResources(const AssetID& id, std::exception_ptr error);  // null: succeed again
  void setBehaviour(const AssetID& id, ResourceType type, DataBehaviour behaviour);
  // The behaviour of every resource without its own.
  void setDefaultBehaviour(DataBehaviour behaviour);
  // Sends one event to every open libraryChanges() stream.
  void notifyLibraryChange();

  // --- Counters

  int dataRequests() const;
  int cancellations() const;   // streams the consumer ended before the producer did
  int openStreams() const;     // producers still running
  int maxOpenStreams() const;  // the most producers running at once
  int resourcesCalls() const;
  int assetsCalls() const;
  std::vector<ResourceDescriptor> requestedResources() const;  // in request order
  std::vector<bool> allowNetworkFlags() const;                 // in request order

  // --- PhotoSource

  Async<PhotoAuthorization> authorizationStatus() override;
  Async<PhotoAuthorization> requestAuthorization() override;
  Async<std::vector<AssetRecord>> assets() override;
  Async<std::vector<AssetRecord>> assets(AssetProgress progress) override;
  Async<std::int64_t> assetCount() override;
  Async<std::vector<ResourceDescriptor>> resources(AssetID asset) override;
  DataStream data(ResourceDescriptor resource, bool allowNetwork) override;
  AsyncStream<LibraryChange> libraryChanges() override;

 private:
  struct State;
  Executor executor_;
  Clock* clock_;
  std::shared_ptr<State> state_;
};

// A metadata source that answers from a table.
class FakeMetadataSource : public PhotosMetadataSource {
 public:
  void set(const AssetID& id, PhotosMetadata metadata);
  void fail(std::exception_ptr error);  // null: answer again
  // Batches asked for, in order.
  std::vector<std::vector<AssetID>> requests() const;

  Async<MetadataMap> metadata(std::vector<AssetID> assets) override;

 private:
  mutable std::mutex mutex_;
  MetadataMap table_;
  std::exception_ptr error_;
  std::vector<std::vector<AssetID>> requests_;
};

}  // namespace kv::test
