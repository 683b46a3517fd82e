// The fake photo source keeps the data-stream contract that the copier
// relies on: bytes in order, errors end the stream, a consumer that stops
// cancels the request, several streams at once, delays on the clock.
#include <gtest/gtest.h>

#include "archive/ZovarIviduvaError.h"
#include "tests/support/ManualClock.h"
#include "tests/support/TestLoop.h"
#include "tests/support/archive/FakePhotoSource.h"

namespace kv {
namespace {

using namespace kv::test;

struct Drained {
  ByteChunk bytes;
  std::exception_ptr error;
  bool ended = false;
};

class FakePhotoSourceTest : public ::testing::Test {
 protected:
  FakePhotoSourceTest() : source(loop.executor(), &clock) {
    asset = makeAsset("A/L0/001", fromUnixSeconds(1615000000.0), "IMG_1.HEIC");
    content = patternBytes(1000, 1);
    source.addAsset(asset, {makeResource(asset, ResourceType::original, "IMG_1.HEIC", content)});
  }

  // Starts draining a stream in a task; the test polls the loop.
  Task<Drained> drain(DataStream stream) {
    return Task<Drained>::spawn(loop.executor(), [stream]() -> Async<Drained> {
      Drained d;
      try {
        while (auto chunk = co_await stream.next()) d.bytes.insert(d.bytes.end(), chunk->begin(), chunk->end());
        d.ended = true;
      } catch (...) {
        d.error = std::current_exception();
      }
      co_return d;
    });
  }

  ResourceDescriptor original() { return source.resourceOf(asset.id, ResourceType::original)->descriptor; }

  TestLoop loop;
  ManualClock clock;
  FakePhotoSource source;
  AssetRecord asset;
  ByteChunk content;
};

TEST_F(FakePhotoSourceTest, DeliversTheContentInChunks) {
  DataBehaviour b;
  b.chunkSize = 300;
  source.setBehaviour(asset.id, ResourceType::original, b);
  auto t = drain(source.data(original(), true));
  loop.runUntil([&] { return t.isFinished(); });
  EXPECT_TRUE(t.get().ended);
  EXPECT_EQ(t.get().bytes, content);
  EXPECT_EQ(source.dataRequests(), 1);
  EXPECT_EQ(source.cancellations(), 0);
  EXPECT_EQ(source.openStreams(), 0);
  EXPECT_EQ(source.allowNetworkFlags(), std::vector<bool>{true});
}

TEST_F(FakePhotoSourceTest, FailuresAndLiesAboutTheSize) {
  struct Row {
    const char* name;
    DataBehaviour behaviour;
    std::size_t bytesBeforeEnd;
    bool fails;
  };
  DataBehaviour atStart;
  atStart.failure = DataBehaviour::Failure::atStart;
  DataBehaviour halfway;
  halfway.failure = DataBehaviour::Failure::halfway;
  halfway.chunkSize = 128;
  DataBehaviour fewer;
  fewer.deliverBytes = 10;
  DataBehaviour more;
  more.deliverBytes = 1500;
  const Row rows[] = {
      {"fails at start", atStart, 0, true},
      {"fails half-way", halfway, 500, true},
      {"delivers fewer", fewer, 10, false},
      {"delivers more", more, 1500, false},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(r.name);
    source.setBehaviour(asset.id, ResourceType::original, r.behaviour);
    auto t = drain(source.data(original(), false));
    loop.runUntil([&] { return t.isFinished(); });
    const auto& d = t.get();
    EXPECT_EQ(d.bytes.size(), r.bytesBeforeEnd);
    EXPECT_TRUE(std::equal(d.bytes.begin(), d.bytes.begin() + std::min(d.bytes.size(), content.size()), content.begin()));
    ASSERT_EQ(d.error != nullptr, r.fails);
    if (d.error) {
      try {
        std::rethrow_exception(d.error);
      } catch (const ZovarIviduvaError& e) {
        EXPECT_EQ(e.kind(), ZovarIviduvaError::Case::downloadFailed);
      }
    }
  }
}

TEST_F(FakePhotoSourceTest, DelaysFollowTheClockAndConsumerCancelStopsTheRequest) {
  DataBehaviour slow;
  slow.firstChunkDelay = Seconds(10);
  slow.chunkDelay = Seconds(5);
  slow.chunkSize = 100;
  source.setBehaviour(asset.id, ResourceType::original, slow);
  auto stream = source.data(original(), true);
  loop.poll();
  EXPECT_EQ(clock.sleeperCount(), 1u);
  clock.advance(Seconds(9), loop.drainer());
  auto first = Task<std::optional<ByteChunk>>::spawn(loop.executor(), [stream]() -> Async<std::optional<ByteChunk>> { co_return co_await stream.next(); });
  loop.poll();
  EXPECT_FALSE(first.isFinished());
  clock.advance(Seconds(1), loop.drainer());
  ASSERT_TRUE(first.isFinished());
  EXPECT_EQ(first.get()->size(), 100u);
  EXPECT_EQ(source.openStreams(), 1);
  stream.cancel();
  loop.poll();
  EXPECT_EQ(source.cancellations(), 1);
  EXPECT_EQ(source.openStreams(), 0);
  EXPECT_EQ(clock.sleeperCount(), 0u);  // the producer's pending sleep was cancelled
}

TEST_F(FakePhotoSourceTest, StallsNeverEndUntilCancelled) {
  DataBehaviour stall;
  stall.stallAfterBytes = 200;
  source.setBehaviour(asset.id, ResourceType::original, stall);
  auto stream = source.data(original(), true);
  auto t = drain(stream);
  loop.poll();
  clock.advance(Seconds(3600), loop.drainer());
  EXPECT_FALSE(t.isFinished());
  t.cancel();
  loop.runUntil([&] { return t.isFinished(); });
  EXPECT_EQ(source.cancellations(), 1);
}

TEST_F(FakePhotoSourceTest, ServesSeveralStreamsAtOnce) {
  DataBehaviour slow;
  slow.firstChunkDelay = Seconds(1);
  source.setBehaviour(asset.id, ResourceType::original, slow);
  std::vector<Task<Drained>> tasks;
  for (int i = 0; i < 4; ++i) tasks.push_back(drain(source.data(original(), true)));
  loop.poll();
  EXPECT_EQ(source.openStreams(), 4);
  clock.advance(Seconds(1), loop.drainer());
  for (auto& t : tasks) {
    ASSERT_TRUE(t.isFinished());
    EXPECT_EQ(t.get().bytes, content);
  }
  EXPECT_EQ(source.maxOpenStreams(), 4);
}

TEST_F(FakePhotoSourceTest, UnknownResourceFailsTheStream) {
  auto d = original();
  d.type = ResourceType::edited;
  auto t = drain(source.data(d, true));
  loop.runUntil([&] { return t.isFinished(); });
  EXPECT_TRUE(t.get().error);
}

TEST_F(FakePhotoSourceTest, LibraryCanChangeBetweenRuns) {
  auto list = loop.run([&]() -> Async<std::vector<AssetRecord>> { co_return co_await source.assets(); });
  ASSERT_EQ(list.size(), 1u);
  source.update(asset.id, [](AssetRecord& a) { a.isFavorite = true; a.modifiedAt = addSeconds(a.modifiedAt, Seconds(1)); });
  auto b = makeAsset("B", fromUnixSeconds(1), "B.JPG");
  source.addAsset(b, {makeResource(b, ResourceType::original, "B.JPG", bytesOf("bee"))});
  std::vector<std::int64_t> counts;
  list = loop.run([&]() -> Async<std::vector<AssetRecord>> {
    co_return co_await source.assets([&](std::int64_t n) { counts.push_back(n); });
  });
  ASSERT_EQ(list.size(), 2u);
  EXPECT_TRUE(list[0].isFavorite);
  EXPECT_EQ(counts, (std::vector<std::int64_t>{1, 2}));
  source.removeAsset(asset.id);
  EXPECT_THROW(loop.run([&]() -> Async<std::vector<ResourceDescriptor>> { co_return co_await source.resources(asset.id); }),
               ZovarIviduvaError);
  source.failAssets(std::make_exception_ptr(ZovarIviduvaError::photosAccessDenied()));
  EXPECT_THROW(loop.run([&]() -> Async<std::vector<AssetRecord>> { co_return co_await source.assets(); }), ZovarIviduvaError);
}

TEST_F(FakePhotoSourceTest, LibraryChangesReachEveryListener) {
  auto s1 = source.libraryChanges();
  auto s2 = source.libraryChanges();
  source.notifyLibraryChange();
  source.notifyLibraryChange();  // coalesced
  auto got = loop.run([&]() -> Async<int> {
    int n = 0;
    if (co_await s1.next()) ++n;
    if (co_await s2.next()) ++n;
    co_return n;
  });
  EXPECT_EQ(got, 2);
}

TEST(FakeMetadataSourceTest, AnswersWhatItKnows) {
  TestLoop loop;
  FakeMetadataSource m;
  m.set(AssetID{"A"}, PhotosMetadata{"T", "C", {"k"}});
  auto answer = loop.run([&]() -> Async<MetadataMap> { co_return co_await m.metadata({AssetID{"A"}, AssetID{"B"}}); });
  EXPECT_EQ(answer.size(), 1u);
  EXPECT_EQ(answer.at(AssetID{"A"}).title, "T");
  m.fail(std::make_exception_ptr(ZovarIviduvaError::metadataFetchFailed("no")));
  EXPECT_THROW(loop.run([&]() -> Async<MetadataMap> { co_return co_await m.metadata({AssetID{"A"}}); }), ZovarIviduvaError);
  EXPECT_EQ(m.requests().size(), 2u);
}

}  // namespace
}  // namespace kv
