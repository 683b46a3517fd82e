// Whole syncs: the fake library into a real temporary folder.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <atomic>
#include <cerrno>
#include <map>
#include <set>
#include <system_error>

#include "archive/ArchiveEngineTexts.h"
#include "archive/FileOperations.h"
#include "archive/Sha256.h"
#include "archive/ZovarIviduvaError.h"
#include "tests/archive/engine/EngineTestSupport.h"

namespace kv {
namespace {

namespace fs = std::filesystem;
using test::bytesOf;
using test::makeAsset;
using test::makeResource;
using test::patternBytes;

std::string hexOf(const ByteChunk& bytes) {
  Sha256 sha;
  sha.update(std::span<const std::uint8_t>(bytes));
  return sha.finishHex();
}

ZovarIviduvaError asEngineError(const std::exception_ptr& error) {
  try {
    std::rethrow_exception(error);
  } catch (const ZovarIviduvaError& e) {
    return e;
  } catch (const std::exception& e) {
    ADD_FAILURE() << "not an engine error: " << e.what();
  }
  return ZovarIviduvaError::photosAccessDenied();
}

class SyncTest : public test::EngineTestBase {
 protected:
  // Sidecar writes are counted (and done for real).
  std::shared_ptr<std::atomic<int>> sidecarWrites = std::make_shared<std::atomic<int>>(0);

  std::shared_ptr<ArchiveEngine> countingEngine() {
    auto writes = sidecarWrites;
    return makeEngine([writes](ArchiveEngineServices& s) {
      s.writeSidecar = [writes](const fs::path& root, const fs::path& target, std::string_view text) {
        ++*writes;
        writeFileAtomically(root, target, text);
      };
    });
  }

  std::vector<fs::path> partialFiles() {
    std::vector<fs::path> found;
    for (const auto& e : fs::recursive_directory_iterator(destination)) {
      if (e.path().extension() == ".partial") found.push_back(e.path());
    }
    return found;
  }

  void expectNoRowCopying() {
    for (const auto& r : allRows()) EXPECT_NE(r.state, ResourceState::copying) << r.relativePath;
  }
};

TEST_F(SyncTest, AWholeLibraryOfEveryKindSyncsCompleteWithProvenFilesAndSidecars) {
  addLibrary(300);
  countingEngine();
  const RunSummary summary = sync(RunTrigger::schedule);

  EXPECT_EQ(summary.outcome, RunOutcome::complete);
  EXPECT_EQ(summary.trigger, RunTrigger::schedule);
  EXPECT_EQ(summary.assetsSeen, 300);
  EXPECT_EQ(summary.resourcesVerified, resourceCount);
  EXPECT_EQ(summary.resourcesFailed, 0);

  std::int64_t expectedBytes = 0;
  std::set<ResourceType> types;
  const auto rows = verifiedRows();
  ASSERT_EQ(static_cast<int>(rows.size()), resourceCount);
  int originals = 0;
  for (const auto& r : rows) {
    types.insert(r.type);
    const auto fake = source->resourceOf(r.assetID, r.type);
    ASSERT_TRUE(fake) << r.relativePath;
    expectedBytes += static_cast<std::int64_t>(fake->content.size());
    ASSERT_TRUE(r.sha256);
    EXPECT_EQ(*r.sha256, hexOf(fake->content)) << r.relativePath;
    EXPECT_EQ(Hashing::sha256(destination / r.relativePath), *r.sha256) << r.relativePath;
    EXPECT_EQ(r.bytes, static_cast<std::int64_t>(fake->content.size()));
    if (r.type == ResourceType::original) {
      ++originals;
      EXPECT_TRUE(fs::exists(destination / (r.relativePath + ".xmp"))) << r.relativePath;
    }
  }
  EXPECT_EQ(types.size(), 6u);  // every resource type took part
  EXPECT_EQ(summary.bytesCopied, expectedBytes);
  EXPECT_EQ(*sidecarWrites, originals);
  EXPECT_TRUE(partialFiles().empty());
  EXPECT_TRUE(!fs::exists(folder() / "spool") || fs::is_empty(folder() / "spool"));

  const ArchiveTotals t = totals();
  EXPECT_EQ(t.assets, 300);
  EXPECT_EQ(t.assetsFullyVerified, 300);
  EXPECT_EQ(t.resourcesPending, 0);
  ASSERT_TRUE(t.lastRun);
  EXPECT_EQ(*t.lastRun, summary);
  EXPECT_TRUE(log->contains("run complete: " + std::to_string(resourceCount) + " verified, 0 failed, 0 lookups failed"));
}

TEST_F(SyncTest, ProgressRunsThroughThePhasesInOrderWithTotalsAndGrowingBytes) {
  addLibrary(260);  // more than 250 assets: enumeration reports in between
  const RunSummary summary = sync();
  ASSERT_EQ(summary.outcome, RunOutcome::complete);

  EXPECT_EQ(progress.phases(), (std::vector<ArchivePhase>{ArchivePhase::enumerating, ArchivePhase::fetchingMetadata,
                                                          ArchivePhase::copying, ArchivePhase::idle}));
  const auto reports = progress.reports();
  std::vector<std::int64_t> found;
  std::vector<std::int64_t> checked;
  std::int64_t lastBytes = 0;
  int filesReported = 0;
  for (const auto& r : reports) {
    if (r.phase == ArchivePhase::enumerating && r.enumeration) {
      if (r.enumeration->checked) {
        checked.push_back(*r.enumeration->checked);
        EXPECT_EQ(r.enumeration->toCheck, 260);
        EXPECT_EQ(r.enumeration->found, 260);
      } else {
        found.push_back(r.enumeration->found);
      }
    }
    if (r.phase == ArchivePhase::copying) {
      ASSERT_TRUE(r.transfer);
      EXPECT_GE(r.bytesCopiedThisRun, lastBytes);
      lastBytes = r.bytesCopiedThisRun;
      EXPECT_EQ(r.totals.assets, 260);
      if (r.currentFilename && r.etaSeconds) ++filesReported;
    } else {
      EXPECT_FALSE(r.transfer);
    }
  }
  EXPECT_EQ(found, (std::vector<std::int64_t>{250}));
  EXPECT_EQ(checked, (std::vector<std::int64_t>{0, 250}));
  EXPECT_EQ(filesReported, resourceCount);
  EXPECT_EQ(lastBytes, summary.bytesCopied);
  const ArchiveProgress& idle = reports.back();
  EXPECT_EQ(idle.phase, ArchivePhase::idle);
  EXPECT_EQ(idle.bytesCopiedThisRun, summary.bytesCopied);
  EXPECT_EQ(idle.totals.assetsFullyVerified, 260);
  EXPECT_FALSE(idle.currentFilename);
  EXPECT_FALSE(idle.enumeration);
}

TEST_F(SyncTest, ASecondSyncCopiesNothingAndWritesNoSidecar) {
  addLibrary(60);
  countingEngine();
  ASSERT_EQ(sync().outcome, RunOutcome::complete);
  const int requests = source->dataRequests();
  const int writes = *sidecarWrites;

  countingEngine();
  const RunSummary again = sync();
  EXPECT_EQ(again.outcome, RunOutcome::complete);
  EXPECT_EQ(again.resourcesVerified, 0);
  EXPECT_EQ(again.bytesCopied, 0);
  EXPECT_EQ(again.assetsSeen, 60);
  EXPECT_EQ(source->dataRequests(), requests);
  EXPECT_EQ(*sidecarWrites, writes);
}

TEST_F(SyncTest, AnEditRecopiesOnlyTheEditedResources) {
  addLibrary(12);
  ASSERT_EQ(sync().outcome, RunOutcome::complete);
  const AssetID edited = ids[3];  // an edited photo: original, edited, adjustment data
  const std::string originalPath = [&] {
    for (const auto& r : verifiedRows())
      if (r.assetID == edited && r.type == ResourceType::original) return r.relativePath;
    return std::string();
  }();
  const auto originalBefore = fs::last_write_time(destination / originalPath);

  source->update(edited, [&](AssetRecord& a) { a.modifiedAt = addSeconds(a.modifiedAt, Seconds(60)); });
  source->setContent(edited, ResourceType::edited, bytesOf("a new rendition"));
  source->setContent(edited, ResourceType::adjustmentData, bytesOf("new adjustments"));
  const auto before = source->requestedResources().size();

  makeEngine();
  const RunSummary summary = sync();
  EXPECT_EQ(summary.outcome, RunOutcome::complete);
  EXPECT_EQ(summary.resourcesVerified, 2);
  const auto requested = source->requestedResources();
  std::set<ResourceType> types;
  for (auto i = before; i < requested.size(); ++i) {
    EXPECT_EQ(requested[i].assetID, edited);
    types.insert(requested[i].type);
  }
  EXPECT_EQ(types, (std::set<ResourceType>{ResourceType::edited, ResourceType::adjustmentData}));
  for (const auto& r : verifiedRows()) {
    if (r.assetID == edited && r.type == ResourceType::edited)
      EXPECT_EQ(readFile(destination / r.relativePath), "a new rendition");
  }
  EXPECT_EQ(fs::last_write_time(destination / originalPath), originalBefore);
  // The asset's sidecar is written again (its resources were recorded anew).
  EXPECT_TRUE(fs::exists(destination / (originalPath + ".xmp")));
}

TEST_F(SyncTest, ADeletedAssetIsMarkedAndItsFilesStay) {
  addLibrary(6);
  ASSERT_EQ(sync().outcome, RunOutcome::complete);
  std::vector<std::string> paths;
  for (const auto& r : verifiedRows())
    if (r.assetID == ids[2]) paths.push_back(r.relativePath);
  ASSERT_FALSE(paths.empty());

  source->removeAsset(ids[2]);
  makeEngine();
  const RunSummary summary = sync();
  EXPECT_EQ(summary.outcome, RunOutcome::complete);
  EXPECT_EQ(summary.assetsSeen, 5);
  EXPECT_EQ(totals().assets, 5);
  for (const auto& p : paths) EXPECT_TRUE(fs::exists(destination / p)) << p;
}

TEST_F(SyncTest, ALibraryThatReturnsNothingMarksNothingDeleted) {
  addLibrary(4);
  ASSERT_EQ(sync().outcome, RunOutcome::complete);
  for (const auto& id : ids) source->removeAsset(id);

  makeEngine();
  const RunSummary summary = sync();
  EXPECT_EQ(summary.outcome, RunOutcome::complete);
  EXPECT_EQ(summary.assetsSeen, 0);
  EXPECT_EQ(totals().assets, 4);
  EXPECT_TRUE(log->contains("enumeration returned 0 assets but the catalog knows 4; skipping deletion marks"));
}

TEST_F(SyncTest, AFailedResourceLookupMakesThePartialOutcomeAndIsCheckedAgainNextRun) {
  addLibrary(6);
  source->failResources(ids[1], std::make_exception_ptr(std::runtime_error("asset busy")));
  const RunSummary first = sync();
  EXPECT_EQ(first.outcome, RunOutcome::partial);
  EXPECT_EQ(first.resourcesFailed, 0);
  EXPECT_TRUE(log->contains("resources(for:) failed; retrying next run: asset busy"));
  ASSERT_TRUE(engine);
  EXPECT_EQ(run([&]() -> Async<RunStats> { co_return co_await engine->stats(); }).lookupFailures, 1);

  source->failResources(ids[1], nullptr);
  const int calls = source->resourcesCalls();
  makeEngine();
  const RunSummary second = sync();
  EXPECT_EQ(second.outcome, RunOutcome::complete);
  EXPECT_EQ(source->resourcesCalls(), calls + 1);  // only the invalidated asset
  EXPECT_EQ(second.resourcesVerified, 1);  // ids[1] is a video: its original only
}

TEST_F(SyncTest, TwentyFiveFailedDownloadsInARowStopTheCopyPhase) {
  addLibrary(40);
  test::DataBehaviour failing;
  failing.failure = test::DataBehaviour::Failure::atStart;
  source->setDefaultBehaviour(failing);

  const auto error = failingSync();
  const ZovarIviduvaError e = asEngineError(error);
  EXPECT_EQ(e.kind(), ZovarIviduvaError::Case::downloadFailed);
  EXPECT_TRUE(e.detail().ends_with("25 downloads in a row failed; trying again later")) << e.detail();
  const ArchiveTotals t = totals();
  ASSERT_TRUE(t.lastRun);
  EXPECT_EQ(t.lastRun->outcome, RunOutcome::failed);
  EXPECT_GE(t.lastRun->resourcesFailed, 25);
  EXPECT_LT(t.lastRun->resourcesFailed, resourceCount);
  expectNoRowCopying();
  EXPECT_EQ(progress.reports().back().phase, ArchivePhase::idle);
}

TEST_F(SyncTest, TheDownloadStreakEndsPartialWhenSomethingWasProven) {
  addLibrary(40);
  options.concurrency = 1;
  test::DataBehaviour failing;
  failing.failure = test::DataBehaviour::Failure::atStart;
  source->setDefaultBehaviour(failing);
  source->setBehaviour(ids[0], ResourceType::original, test::DataBehaviour{});  // the oldest one succeeds
  const ZovarIviduvaError e = asEngineError(failingSync());
  EXPECT_EQ(e.kind(), ZovarIviduvaError::Case::downloadFailed);
  const ArchiveTotals t = totals();
  ASSERT_TRUE(t.lastRun);
  EXPECT_EQ(t.lastRun->outcome, RunOutcome::partial);
  EXPECT_EQ(t.lastRun->resourcesVerified, 1);
  EXPECT_EQ(t.lastRun->resourcesFailed, 25);
  // Failed downloads count an attempt and wait out the back-off.
  int withBackoff = 0;
  for (const auto& r : allRows()) {
    if (r.attempts == 1) {
      ++withBackoff;
      ASSERT_TRUE(r.lastError);
      EXPECT_TRUE(r.lastError->starts_with("download failed: ")) << *r.lastError;
      EXPECT_TRUE(r.nextAttemptAt);
    }
  }
  EXPECT_EQ(withBackoff, 25);
}

TEST_F(SyncTest, ThreeMismatchesLeaveTheResourceFailed) {
  const AssetRecord a = makeAsset("lonely/L0/001", fromUnixSeconds(1615000000.0), "IMG_1.HEIC");
  source->addAsset(a, {makeResource(a, ResourceType::original, "IMG_1.HEIC", bytesOf("the bytes"))});
  resourceCount = 1;
  auto badReadBack = [](ArchiveEngineServices& s) {
    s.hashFile = [](const fs::path& file) {
      if (file.extension() == ".partial") return std::string(64, '0');
      return Hashing::sha256(file);
    };
  };
  for (int attempt = 1; attempt <= 3; ++attempt) {
    makeEngine(badReadBack);
    const RunSummary summary = sync();
    EXPECT_EQ(summary.outcome, RunOutcome::partial) << attempt;
    EXPECT_EQ(summary.resourcesFailed, 1) << attempt;
    const auto r = row(1);
    ASSERT_TRUE(r);
    EXPECT_EQ(r->attempts, attempt);
    EXPECT_EQ(r->state, attempt < 3 ? ResourceState::pending : ResourceState::failed) << attempt;
    EXPECT_EQ(r->lastError, "verify mismatch: source " + hexOf(bytesOf("the bytes")) + ", NAS " + std::string(64, '0'));
    // The next attempt waits for the back-off.
    clock->set(addSeconds(clock->now(), Seconds(86'401)));
  }
  EXPECT_FALSE(fs::exists(destination / row(1)->relativePath));
  EXPECT_EQ(totals().resourcesFailed, 1);
}

TEST_F(SyncTest, AFullShareEndsWithShareFullNamingThePendingBytes) {
  addLibrary(30);
  options.concurrency = 1;
  auto writes = std::make_shared<std::atomic<int>>(0);
  makeEngine([writes](ArchiveEngineServices& s) {
    s.writeChunk = [writes](int fd, std::span<const std::uint8_t> bytes) {
      if (++*writes > 10) throw std::system_error(ENOSPC, std::generic_category(), "write");
      appendChunk(fd, bytes);
    };
  });
  const ZovarIviduvaError e = asEngineError(failingSync());
  ASSERT_EQ(e.kind(), ZovarIviduvaError::Case::shareFull);
  std::int64_t pendingSum = 0;
  for (const auto& r : pendingRows()) pendingSum += r.bytes.value_or(0);
  EXPECT_GT(pendingSum, 0);
  EXPECT_EQ(e.neededBytes(), pendingSum);
  EXPECT_EQ(e.situation(), Situation::shareFull);
  const ArchiveTotals t = totals();
  ASSERT_TRUE(t.lastRun);
  EXPECT_EQ(t.lastRun->outcome, RunOutcome::failed);
  EXPECT_EQ(t.lastRun->resourcesVerified, 10);
  EXPECT_EQ(static_cast<int>(verifiedRows().size()), 10);
  expectNoRowCopying();
  EXPECT_TRUE(partialFiles().empty());
  EXPECT_TRUE(log->contains("run stopped: Share is out of space; about " + std::to_string(pendingSum)));
}

TEST_F(SyncTest, CancellingMidwayLeavesRowsPendingWithoutAnAttemptAndReturnsTheCancelledSummary) {
  addLibrary(60);
  test::DataBehaviour slow;
  slow.firstChunkDelay = Seconds(30);
  source->setDefaultBehaviour(slow);
  for (int i = 0; i < 5; ++i) source->setBehaviour(ids[i], ResourceType::original, test::DataBehaviour{});

  makeEngine();
  auto e = engine;
  auto handler = progress.handler();
  auto task = Task<RunSummary>::spawn(loop.executor(),
                                      [e, handler]() -> Async<RunSummary> { co_return co_await e->sync(RunTrigger::manual, handler); });
  loop.runUntil([&] { return source->openStreams() >= 4 && !verifiedRows().empty(); });
  task.cancel();
  loop.runUntil([&] { return task.isFinished(); });
  const RunSummary summary = task.get();

  EXPECT_EQ(summary.outcome, RunOutcome::cancelled);
  EXPECT_GE(summary.resourcesVerified, 1);
  EXPECT_EQ(summary.resourcesFailed, 0);
  const ArchiveTotals t = totals();
  ASSERT_TRUE(t.lastRun);
  EXPECT_EQ(*t.lastRun, summary);
  expectNoRowCopying();
  for (const auto& r : allRows()) {
    EXPECT_EQ(r.attempts, 0) << r.relativePath;
    EXPECT_FALSE(r.lastError) << r.relativePath;
    if (r.state == ResourceState::pending) EXPECT_FALSE(r.nextAttemptAt);
  }
  EXPECT_TRUE(partialFiles().empty());
  EXPECT_EQ(source->openStreams(), 0);
  EXPECT_EQ(progress.reports().back().phase, ArchivePhase::idle);
  EXPECT_FALSE(log->contains("run stopped"));
}

TEST_F(SyncTest, TheTickerReportsEverySecondWhileCopiesRun) {
  addLibrary(2);
  test::DataBehaviour slow;
  slow.firstChunkDelay = Seconds(3.5);
  source->setDefaultBehaviour(slow);
  makeEngine();
  auto e = engine;
  auto handler = progress.handler();
  auto task = Task<RunSummary>::spawn(loop.executor(),
                                      [e, handler]() -> Async<RunSummary> { co_return co_await e->sync(RunTrigger::manual, handler); });
  loop.runUntil([&] { return source->openStreams() == 2; });
  const auto copyingBefore = [&] {
    int n = 0;
    for (const auto& r : progress.reports())
      if (r.phase == ArchivePhase::copying && !r.currentFilename) ++n;
    return n;
  };
  const int start = copyingBefore();  // the phase's first report
  EXPECT_EQ(start, 1);
  for (int s = 1; s <= 3; ++s) {
    clock->advance(Seconds(1), loop.drainer());
    EXPECT_EQ(copyingBefore(), start + s) << s;
  }
  clock->advance(Seconds(1), loop.drainer());
  loop.runUntil([&] { return task.isFinished(); });
  EXPECT_EQ(task.get().outcome, RunOutcome::complete);
  // The ticker stopped with the phase.
  const int after = copyingBefore();
  clock->advance(Seconds(5), loop.drainer());
  EXPECT_EQ(copyingBefore(), after);
}

TEST_F(SyncTest, EtaIsTheTimePerResultTimesWhatIsPending) {
  addLibrary(30);  // 20 photos... every kind; a few dozen resources
  options.concurrency = 1;
  // Each write takes 5 seconds on the manual clock.
  auto c = clock;
  makeEngine([c](ArchiveEngineServices& s) {
    s.writeChunk = [c](int fd, std::span<const std::uint8_t> bytes) {
      c->set(addSeconds(c->now(), Seconds(5)));
      appendChunk(fd, bytes);
    };
  });
  ASSERT_EQ(sync().outcome, RunOutcome::complete);
  int n = 0;
  for (const auto& r : progress.reports()) {
    if (r.phase != ArchivePhase::copying || !r.etaSeconds) continue;
    ++n;
    EXPECT_NEAR(*r.etaSeconds, 5.0 * r.totals.resourcesPending, 1e-6) << n;
  }
  EXPECT_EQ(n, resourceCount);
}

TEST_F(SyncTest, WithoutPhotosAccessTheRunFailsBeforeTouchingAnything) {
  addLibrary(3);
  source->setAuthorization(PhotoAuthorization::denied);
  const ZovarIviduvaError e = asEngineError(failingSync());
  EXPECT_EQ(e.kind(), ZovarIviduvaError::Case::photosAccessDenied);
  EXPECT_EQ(source->assetsCalls(), 0);
  const ArchiveTotals t = totals();
  ASSERT_TRUE(t.lastRun);
  EXPECT_EQ(t.lastRun->outcome, RunOutcome::failed);
  EXPECT_EQ(progress.phases(), std::vector<ArchivePhase>{ArchivePhase::idle});
}

TEST_F(SyncTest, LimitedAccessIsEnough) {
  addLibrary(2);
  source->setAuthorization(PhotoAuthorization::limited);
  EXPECT_EQ(sync().outcome, RunOutcome::complete);
}

TEST_F(SyncTest, ADestinationThatIsAFileEndsTheRunAsUnavailable) {
  addLibrary(2);
  fs::remove_all(destination);
  std::ofstream(destination) << "not a folder";
  const ZovarIviduvaError e = asEngineError(failingSync());
  EXPECT_EQ(e.kind(), ZovarIviduvaError::Case::destinationUnavailable);
  EXPECT_EQ(e.text(), destination.string());
  const ArchiveTotals t = totals();
  ASSERT_TRUE(t.lastRun);
  EXPECT_EQ(t.lastRun->outcome, RunOutcome::failed);
  EXPECT_EQ(source->assetsCalls(), 0);
}

TEST_F(SyncTest, ADestinationThatDisappearsMidRunKeepsWhatWasProven) {
  addLibrary(30);
  options.concurrency = 1;
  auto writes = std::make_shared<std::atomic<int>>(0);
  const fs::path dest = destination;
  const fs::path moved = folder() / "unmounted";
  makeEngine([writes, dest, moved](ArchiveEngineServices& s) {
    s.writeChunk = [writes, dest, moved](int fd, std::span<const std::uint8_t> bytes) {
      if (++*writes == 8) fs::rename(dest, moved);  // the share goes away
      appendChunk(fd, bytes);
    };
  });
  const ZovarIviduvaError e = asEngineError(failingSync());
  EXPECT_EQ(e.kind(), ZovarIviduvaError::Case::destinationUnavailable);
  const ArchiveTotals t = totals();
  ASSERT_TRUE(t.lastRun);
  EXPECT_EQ(t.lastRun->outcome, RunOutcome::partial);
  EXPECT_EQ(t.lastRun->resourcesVerified, 7);
  const auto proven = verifiedRows();
  EXPECT_EQ(proven.size(), 7u);
  for (const auto& r : proven) EXPECT_EQ(Hashing::sha256(moved / r.relativePath), *r.sha256);
  expectNoRowCopying();
  EXPECT_FALSE(fs::exists(dest));  // nothing was recreated in its place
}

// A library that lists every asset twice.
class RepeatingSource : public test::FakePhotoSource {
 public:
  using FakePhotoSource::FakePhotoSource;
  Async<std::vector<AssetRecord>> assets(AssetProgress progress) override {
    auto once = co_await FakePhotoSource::assets(progress);
    auto twice = once;
    twice.insert(twice.end(), once.begin(), once.end());
    co_return twice;
  }
};

TEST_F(SyncTest, DuplicateIdentifiersFromTheLibraryCountOnce) {
  source = std::make_shared<RepeatingSource>(loop.executor(), clock.get());
  addLibrary(8);
  const RunSummary summary = sync();
  EXPECT_EQ(summary.outcome, RunOutcome::complete);
  EXPECT_EQ(summary.assetsSeen, 8);
  EXPECT_EQ(summary.resourcesVerified, resourceCount);
  EXPECT_TRUE(log->contains("enumeration listed 8 duplicate asset identifiers"));
}

TEST_F(SyncTest, ResourcesWithoutAnnouncedSizesAreCopiedAndRecordedWithTheirSize) {
  const AssetRecord a = makeAsset("nosize/L0/001", fromUnixSeconds(1615000000.0), "IMG_7.HEIC");
  auto r = makeResource(a, ResourceType::original, "IMG_7.HEIC", patternBytes(500, 7));
  r.descriptor.expectedBytes = std::nullopt;
  source->addAsset(a, {r});
  resourceCount = 1;
  const RunSummary summary = sync();
  EXPECT_EQ(summary.outcome, RunOutcome::complete);
  EXPECT_EQ(summary.bytesCopied, 500);
  ASSERT_EQ(verifiedRows().size(), 1u);
  EXPECT_EQ(verifiedRows()[0].bytes, 500);
}

TEST_F(SyncTest, MetadataIsAskedInBatchesOncePerRunAndStoredEmptyWhenLeftOut) {
  addLibrary(7);
  options.metadataBatch = 3;
  metadata->set(ids[0], PhotosMetadata{std::string("A title"), std::nullopt, {"beach"}});
  ASSERT_EQ(sync().outcome, RunOutcome::complete);
  const auto batches = metadata->requests();
  ASSERT_EQ(batches.size(), 3u);
  EXPECT_EQ(batches[0].size(), 3u);
  EXPECT_EQ(batches[2].size(), 1u);
  std::set<AssetID> asked;
  for (const auto& b : batches) asked.insert(b.begin(), b.end());
  EXPECT_EQ(asked.size(), 7u);
  const auto stored = run([&]() -> Async<std::optional<AssetWithMetadata>> {
    co_return co_await catalog->assetWithMetadata(ids[0]);
  });
  ASSERT_TRUE(stored && stored->second);
  EXPECT_EQ(stored->second->title, "A title");
  const auto empty = run([&]() -> Async<std::optional<AssetWithMetadata>> {
    co_return co_await catalog->assetWithMetadata(ids[1]);
  });
  ASSERT_TRUE(empty && empty->second);
  EXPECT_FALSE(empty->second->title);

  // Nothing changed: nothing is asked again.
  makeEngine();
  sync();
  EXPECT_EQ(metadata->requests().size(), 3u);
}

TEST_F(SyncTest, AFailedMetadataFetchEndsThePhaseButNotTheRun) {
  addLibrary(4);
  metadata->fail(std::make_exception_ptr(ZovarIviduvaError::metadataFetchFailed("Photos is not running")));
  const RunSummary summary = sync();
  EXPECT_EQ(summary.outcome, RunOutcome::complete);
  EXPECT_EQ(summary.resourcesVerified, resourceCount);
  EXPECT_EQ(metadata->requests().size(), 1u);
  EXPECT_TRUE(log->contains("metadata fetch failed; retrying next run: Photos metadata fetch failed: Photos is not running"));
}

TEST_F(SyncTest, WithoutAMetadataSourceThePhaseIsSkipped) {
  addLibrary(3);
  makeEngine({}, false);
  ASSERT_EQ(sync().outcome, RunOutcome::complete);
  EXPECT_EQ(progress.phases(),
            (std::vector<ArchivePhase>{ArchivePhase::enumerating, ArchivePhase::copying, ArchivePhase::idle}));
}

TEST_F(SyncTest, AFailedEnumerationFailsTheRunAndRecordsIt) {
  addLibrary(3);
  source->failAssets(std::make_exception_ptr(std::runtime_error("library locked")));
  const auto error = failingSync();
  EXPECT_THROW(std::rethrow_exception(error), std::runtime_error);
  const ArchiveTotals t = totals();
  ASSERT_TRUE(t.lastRun);
  EXPECT_EQ(t.lastRun->outcome, RunOutcome::failed);
  EXPECT_TRUE(log->contains("run stopped: library locked"));
}

// Single-resource photos, one hour apart.
void addPhotos(test::FakePhotoSource& source, std::vector<AssetID>& ids, int count) {
  for (int i = 0; i < count; ++i) {
    const AssetRecord a = makeAsset("photo-" + std::to_string(i) + "/L0/001",
                                    addSeconds(fromUnixSeconds(1615000000.0), Seconds(3600.0 * i)),
                                    "IMG_" + std::to_string(2000 + i) + ".JPG");
    source.addAsset(a, {makeResource(a, ResourceType::original, a.originalFilename, patternBytes(64, i))});
    ids.push_back(a.id);
  }
}

class RetryTest : public SyncTest {
 protected:
  // A sync whose clock jumps past the longest back-off after every copy
  // result, so that every failed row is due again at once.
  RunSummary syncWithTimeJumps() {
    auto e = engine;
    auto c = clock;
    auto inner = progress.handler();
    ArchiveProgressHandler handler = [c, inner](const ArchiveProgress& p) {
      inner(p);
      if (p.phase == ArchivePhase::copying && p.etaSeconds) c->set(addSeconds(c->now(), Seconds(100'000)));
    };
    return run([e, handler]() -> Async<RunSummary> { co_return co_await e->sync(RunTrigger::manual, handler); });
  }
};

TEST_F(RetryTest, ARowIsTakenOnlyOncePerRunEvenWhenItsBackoffHasPassed) {
  addPhotos(*source, ids, 1);
  resourceCount = 1;
  test::DataBehaviour failing;
  failing.failure = test::DataBehaviour::Failure::atStart;
  source->setDefaultBehaviour(failing);
  makeEngine();
  const RunSummary summary = syncWithTimeJumps();
  EXPECT_EQ(summary.resourcesFailed, 1);
  EXPECT_EQ(source->dataRequests(), 1);
}

TEST_F(RetryTest, RowsTakenEarlierThatAreDueAgainDoNotHideTheRowsBehindThem) {
  // With one worker four rows are fetched at a time; the four oldest fail
  // and are due again at once, ahead of every other row.
  addPhotos(*source, ids, 10);
  resourceCount = 10;
  options.concurrency = 1;
  test::DataBehaviour failing;
  failing.failure = test::DataBehaviour::Failure::atStart;
  for (int i = 0; i < 4; ++i) source->setBehaviour(ids[i], ResourceType::original, failing);
  makeEngine();
  const RunSummary summary = syncWithTimeJumps();
  EXPECT_EQ(summary.resourcesFailed, 4);
  EXPECT_EQ(summary.resourcesVerified, 6);
  EXPECT_EQ(source->dataRequests(), 10);
}

}  // namespace
}  // namespace kv
