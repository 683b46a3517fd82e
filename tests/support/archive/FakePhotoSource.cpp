#include "tests/support/archive/FakePhotoSource.h"

#include <algorithm>
#include <atomic>
#include <stdexcept>

#include "archive/ZovarIviduvaError.h"
#include "core/async/Task.h"

namespace kv::test {

ByteChunk bytesOf(std::string_view text) { return ByteChunk(text.begin(), text.end()); }

ByteChunk patternBytes(std::size_t count, std::uint32_t seed) {
  ByteChunk out(count);
  std::uint32_t x = seed * 2654435761u + 12345u;
  for (auto& b : out) {
    x = x * 1664525u + 1013904223u;
    b = static_cast<std::uint8_t>(x >> 24);
  }
  return out;
}

AssetRecord makeAsset(std::string id, Date createdAt, std::string originalFilename, AssetKind kind) {
  AssetRecord a;
  a.id = AssetID{std::move(id)};
  a.kind = kind;
  a.createdAt = createdAt;
  a.modifiedAt = createdAt;
  a.originalFilename = std::move(originalFilename);
  a.pixelWidth = 4032;
  a.pixelHeight = 3024;
  return a;
}

FakeResource makeResource(const AssetRecord& asset, ResourceType type, std::string filename, ByteChunk content,
                          std::string uti) {
  FakeResource r;
  r.descriptor = ResourceDescriptor{asset.id, type, std::move(filename), std::move(uti),
                                    static_cast<std::int64_t>(content.size())};
  r.content = std::move(content);
  return r;
}

struct FakePhotoSource::State {
  struct Entry {
    AssetRecord asset;
    std::vector<FakeResource> resources;
    std::exception_ptr resourcesError;
  };

  mutable std::mutex mu;
  std::vector<Entry> entries;
  PhotoAuthorization authorization = PhotoAuthorization::authorized;
  PhotoAuthorization requestAnswer = PhotoAuthorization::authorized;
  std::exception_ptr assetsError;
  std::map<std::pair<std::string, ResourceType>, DataBehaviour> behaviours;
  DataBehaviour defaultBehaviour;
  int dataRequests = 0;
  int cancellations = 0;
  int open = 0;
  int maxOpen = 0;
  int resourcesCalls = 0;
  int assetsCalls = 0;
  std::vector<ResourceDescriptor> requested;
  std::vector<bool> networkFlags;
  std::vector<AsyncStream<LibraryChange>> changeStreams;
  std::map<int, Task<void>> producers;

  Entry* find(const AssetID& id) {
    for (auto& e : entries) {
      if (e.asset.id == id) return &e;
    }
    return nullptr;
  }
  const Entry* find(const AssetID& id) const { return const_cast<State*>(this)->find(id); }
};

FakePhotoSource::FakePhotoSource(Executor executor, Clock* clock)
    : executor_(std::move(executor)), clock_(clock), state_(std::make_shared<State>()) {}

FakePhotoSource::~FakePhotoSource() {
  std::map<int, Task<void>> producers;
  {
    std::lock_guard lk(state_->mu);
    producers.swap(state_->producers);
  }
  for (auto& [_, task] : producers) task.cancel();
}

FakePhotoSource& FakePhotoSource::addAsset(AssetRecord asset, std::vector<FakeResource> resources) {
  std::lock_guard lk(state_->mu);
  if (auto* e = state_->find(asset.id)) {
    e->asset = std::move(asset);
    e->resources = std::move(resources);
  } else {
    state_->entries.push_back({std::move(asset), std::move(resources), nullptr});
  }
  return *this;
}

void FakePhotoSource::update(const AssetID& id, const std::function<void(AssetRecord&)>& change) {
  std::lock_guard lk(state_->mu);
  auto* e = state_->find(id);
  if (!e) throw std::logic_error("FakePhotoSource: no asset " + id.raw);
  change(e->asset);
}

void FakePhotoSource::removeAsset(const AssetID& id) {
  std::lock_guard lk(state_->mu);
  std::erase_if(state_->entries, [&](const State::Entry& e) { return e.asset.id == id; });
}

void FakePhotoSource::setResources(const AssetID& id, std::vector<FakeResource> resources) {
  std::lock_guard lk(state_->mu);
  auto* e = state_->find(id);
  if (!e) throw std::logic_error("FakePhotoSource: no asset " + id.raw);
  e->resources = std::move(resources);
}

void FakePhotoSource::setContent(const AssetID& id, ResourceType type, ByteChunk content, bool keepExpectedBytes) {
  std::lock_guard lk(state_->mu);
  auto* e = state_->find(id);
  if (!e) throw std::logic_error("FakePhotoSource: no asset " + id.raw);
  for (auto& r : e->resources) {
    if (r.descriptor.type == type) {
      if (!keepExpectedBytes) r.descriptor.expectedBytes = static_cast<std::int64_t>(content.size());
      r.content = std::move(content);
      return;
    }
  }
  throw std::logic_error("FakePhotoSource: no resource " + std::string(storedString(type)) + " of " + id.raw);
}

std::vector<AssetRecord> FakePhotoSource::assetList() const {
  std::lock_guard lk(state_->mu);
  std::vector<AssetRecord> out;
  for (const auto& e : state_->entries) out.push_back(e.asset);
  return out;
}

std::optional<FakeResource> FakePhotoSource::resourceOf(const AssetID& id, ResourceType type) const {
  std::lock_guard lk(state_->mu);
  if (const auto* e = state_->find(id)) {
    for (const auto& r : e->resources) {
      if (r.descriptor.type == type) return r;
    }
  }
  return std::nullopt;
}

void FakePhotoSource::setAuthorization(PhotoAuthorization status) {
  std::lock_guard lk(state_->mu);
  state_->authorization = status;
}

void FakePhotoSource::setRequestAuthorizationAnswer(PhotoAuthorization status) {
  std::lock_guard lk(state_->mu);
  state_->requestAnswer = status;
}

void FakePhotoSource::failAssets(std::exception_ptr error) {
  std::lock_guard lk(state_->mu);
  state_->assetsError = std::move(error);
}

void FakePhotoSource::failResources(const AssetID& id, std::exception_ptr error) {
  std::lock_guard lk(state_->mu);
  auto* e = state_->find(id);
  if (!e) throw std::logic_error("FakePhotoSource: no asset " + id.raw);
  e->resourcesError = std::move(error);
}

void FakePhotoSource::setBehaviour(const AssetID& id, ResourceType type, DataBehaviour behaviour) {
  std::lock_guard lk(state_->mu);
  state_->behaviours[{id.raw, type}] = std::move(behaviour);
}

void FakePhotoSource::setDefaultBehaviour(DataBehaviour behaviour) {
  std::lock_guard lk(state_->mu);
  state_->defaultBehaviour = std::move(behaviour);
}

void FakePhotoSource::notifyLibraryChange() {
  std::vector<AsyncStream<LibraryChange>> streams;
  {
    std::lock_guard lk(state_->mu);
    std::erase_if(state_->changeStreams, [](const auto& s) { return s.isTerminated(); });
    streams = state_->changeStreams;
  }
  for (auto& s : streams) s.yield(LibraryChange{});
}

#define KV_FAKE_COUNTER(name, field)   \
  int FakePhotoSource::name() const {  \
    std::lock_guard lk(state_->mu);    \
    return state_->field;              \
  }
KV_FAKE_COUNTER(dataRequests, dataRequests)
KV_FAKE_COUNTER(cancellations, cancellations)
KV_FAKE_COUNTER(openStreams, open)
KV_FAKE_COUNTER(maxOpenStreams, maxOpen)
KV_FAKE_COUNTER(resourcesCalls, resourcesCalls)
KV_FAKE_COUNTER(assetsCalls, assetsCalls)
#undef KV_FAKE_COUNTER

std::vector<ResourceDescriptor> FakePhotoSource::requestedResources() const {
  std::lock_guard lk(state_->mu);
  return state_->requested;
}

std::vector<bool> FakePhotoSource::allowNetworkFlags() const {
  std::lock_guard lk(state_->mu);
  return state_->networkFlags;
}

Async<PhotoAuthorization> FakePhotoSource::authorizationStatus() {
  std::lock_guard lk(state_->mu);
  co_return state_->authorization;
}

Async<PhotoAuthorization> FakePhotoSource::requestAuthorization() {
  std::lock_guard lk(state_->mu);
  state_->authorization = state_->requestAnswer;
  co_return state_->authorization;
}

Async<std::vector<AssetRecord>> FakePhotoSource::assets() { co_return co_await assets(AssetProgress{}); }

Async<std::vector<AssetRecord>> FakePhotoSource::assets(AssetProgress progress) {
  std::vector<AssetRecord> out;
  {
    std::lock_guard lk(state_->mu);
    ++state_->assetsCalls;
    if (state_->assetsError) std::rethrow_exception(state_->assetsError);
    for (const auto& e : state_->entries) out.push_back(e.asset);
  }
  if (progress) {
    for (std::size_t i = 1; i <= out.size(); ++i) progress(static_cast<std::int64_t>(i));
  }
  co_return out;
}

Async<std::int64_t> FakePhotoSource::assetCount() {
  std::lock_guard lk(state_->mu);
  co_return static_cast<std::int64_t>(state_->entries.size());
}

Async<std::vector<ResourceDescriptor>> FakePhotoSource::resources(AssetID asset) {
  std::lock_guard lk(state_->mu);
  ++state_->resourcesCalls;
  const auto* e = state_->find(asset);
  if (!e) throw ZovarIviduvaError::downloadFailed(asset, "the asset is no longer in the library");
  if (e->resourcesError) std::rethrow_exception(e->resourcesError);
  std::vector<ResourceDescriptor> out;
  for (const auto& r : e->resources) out.push_back(r.descriptor);
  co_return out;
}

DataStream FakePhotoSource::data(ResourceDescriptor resource, bool allowNetwork) {
  DataStream stream;
  ByteChunk content;
  DataBehaviour behaviour;
  int requestID = 0;
  bool found = false;
  {
    std::lock_guard lk(state_->mu);
    requestID = ++state_->dataRequests;
    state_->requested.push_back(resource);
    state_->networkFlags.push_back(allowNetwork);
    if (const auto* e = state_->find(resource.assetID)) {
      for (const auto& r : e->resources) {
        if (r.descriptor.type == resource.type) {
          content = r.content;
          found = true;
          break;
        }
      }
    }
    auto it = state_->behaviours.find({resource.assetID.raw, resource.type});
    behaviour = it != state_->behaviours.end() ? it->second : state_->defaultBehaviour;
  }
  if (!found) {
    stream.finish(std::make_exception_ptr(ZovarIviduvaError::downloadFailed(resource.assetID, "no such resource")));
    return stream;
  }
  if ((behaviour.firstChunkDelay.count() > 0 || behaviour.chunkDelay.count() > 0) && clock_ == nullptr) {
    throw std::logic_error("FakePhotoSource: delays need a clock");
  }
  if (behaviour.deliverBytes) {
    const std::size_t n = *behaviour.deliverBytes;
    if (n < content.size()) {
      content.resize(n);
    } else if (n > content.size()) {
      auto extra = patternBytes(n - content.size(), 7);
      content.insert(content.end(), extra.begin(), extra.end());
    }
  }
  std::exception_ptr error = behaviour.error;
  if (!error) {
    error = std::make_exception_ptr(ZovarIviduvaError::downloadFailed(resource.assetID, "simulated download failure"));
  }

  // Counts a stream as open until either side ends it; an end by the
  // consumer while the producer was still at work is a cancellation.
  auto producerEnded = std::make_shared<std::atomic<bool>>(false);
  {
    std::lock_guard lk(state_->mu);
    ++state_->open;
    state_->maxOpen = std::max(state_->maxOpen, state_->open);
  }

  Clock* clock = clock_;
  auto task = Task<void>::spawn(
      executor_, [stream, content = std::move(content), behaviour, error, producerEnded, clock]() -> Async<void> {
        auto finish = [&](std::exception_ptr e) {
          producerEnded->store(true);
          stream.finish(e);
        };
        if (behaviour.firstChunkDelay.count() > 0) co_await clock->sleep(behaviour.firstChunkDelay);
        if (behaviour.failure == DataBehaviour::Failure::atStart) {
          finish(error);
          co_return;
        }
        const std::size_t size = content.size();
        const std::size_t half = size / 2;
        const bool failHalfway = behaviour.failure == DataBehaviour::Failure::halfway;
        const std::size_t limit = behaviour.stallAfterBytes ? std::min(*behaviour.stallAfterBytes, size) : size;
        const std::size_t chunkSize = std::max<std::size_t>(1, behaviour.chunkSize);
        std::size_t offset = 0;
        bool first = true;
        while (offset < limit) {
          if (failHalfway && offset >= half) break;
          if (!first && behaviour.chunkDelay.count() > 0) co_await clock->sleep(behaviour.chunkDelay);
          first = false;
          std::size_t end = std::min(offset + chunkSize, limit);
          if (failHalfway && offset < half) end = std::min(end, half);
          if (!stream.yield(ByteChunk(content.begin() + static_cast<std::ptrdiff_t>(offset),
                                      content.begin() + static_cast<std::ptrdiff_t>(end)))) {
            co_return;  // the consumer stopped
          }
          offset = end;
        }
        if (failHalfway) {
          finish(error);
          co_return;
        }
        if (behaviour.stallAfterBytes) co_return;  // never ends on its own
        finish(nullptr);
      });

  {
    std::lock_guard lk(state_->mu);
    state_->producers.emplace(requestID, task);
  }
  std::weak_ptr<State> weak = state_;
  stream.onTermination([weak, producerEnded, requestID] {
    auto st = weak.lock();
    if (!st) return;
    Task<void> producer;
    {
      std::lock_guard lk(st->mu);
      --st->open;
      if (!producerEnded->load()) ++st->cancellations;
      if (auto it = st->producers.find(requestID); it != st->producers.end()) {
        producer = it->second;
        st->producers.erase(it);
      }
    }
    if (!producerEnded->load()) producer.cancel();
  });
  return stream;
}

AsyncStream<LibraryChange> FakePhotoSource::libraryChanges() {
  AsyncStream<LibraryChange> stream(StreamBuffering::newestOnly);
  std::lock_guard lk(state_->mu);
  state_->changeStreams.push_back(stream);
  return stream;
}

void FakeMetadataSource::set(const AssetID& id, PhotosMetadata metadata) {
  std::lock_guard lk(mutex_);
  table_[id] = std::move(metadata);
}

void FakeMetadataSource::fail(std::exception_ptr error) {
  std::lock_guard lk(mutex_);
  error_ = std::move(error);
}

std::vector<std::vector<AssetID>> FakeMetadataSource::requests() const {
  std::lock_guard lk(mutex_);
  return requests_;
}

Async<MetadataMap> FakeMetadataSource::metadata(std::vector<AssetID> assets) {
  std::lock_guard lk(mutex_);
  requests_.push_back(assets);
  if (error_) std::rethrow_exception(error_);
  MetadataMap out;
  for (const auto& id : assets) {
    if (auto it = table_.find(id); it != table_.end()) out.emplace(id, it->second);
  }
  co_return out;
}

}  // namespace kv::test
