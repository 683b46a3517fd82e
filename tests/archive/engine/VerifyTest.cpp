// Verification of an archive made by a real sync into a temporary folder.
#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <map>
#include <system_error>

#include "archive/FileOperations.h"
#include "archive/VerifyFinding.h"
#include "archive/ZovarIviduvaError.h"
#include "tests/archive/engine/EngineTestSupport.h"

namespace kv {
namespace {

namespace fs = std::filesystem;

class VerifyTest : public test::EngineTestBase {
 protected:
  void SetUp() override {
    EngineTestBase::SetUp();
    addLibrary(24);
    ASSERT_EQ(sync().outcome, RunOutcome::complete);
    rows = verifiedRows();
    ASSERT_EQ(static_cast<int>(rows.size()), resourceCount);
    progress.clear();
    log->clear();
  }

  // Fails the digest of the files at `paths` with the POSIX code given.
  static std::function<void(ArchiveEngineServices&)> failingHash(std::map<std::string, int> codes) {
    return [codes](ArchiveEngineServices& s) {
      s.hashFile = [codes](const fs::path& file) {
        for (const auto& [name, code] : codes) {
          if (file.filename() == name)
            throw fs::filesystem_error("read", file, std::error_code(code, std::generic_category()));
        }
        return Hashing::sha256(file);
      };
    };
  }

  std::string filename(std::size_t i) const { return fs::path(rows[i].relativePath).filename().string(); }

  RunSummary lastVerifyRun() {
    const ArchiveTotals t = totals();
    EXPECT_TRUE(t.lastVerifyRun);
    return t.lastVerifyRun.value_or(RunSummary{});
  }

  std::exception_ptr failingVerify() {
    try {
      verify();
    } catch (...) {
      return std::current_exception();
    }
    ADD_FAILURE() << "verification did not fail";
    return nullptr;
  }

  std::vector<ResourceRow> rows;

 public:
  std::vector<std::int64_t> pendingSeen(double secondsPerDigest) {
    if (rows.size() != 56u) {
      ADD_FAILURE() << "the fixture library changed: " << rows.size() << " rows";
      return {};
    }
    fs::remove(destination / rows[55].relativePath);
    options.concurrency = 1;
    auto clk = clock;
    makeEngine([clk, secondsPerDigest](ArchiveEngineServices& s) {
      s.hashFile = [clk, secondsPerDigest](const fs::path& file) {
        clk->set(addSeconds(clk->now(), Seconds(secondsPerDigest)));
        return Hashing::sha256(file);
      };
    });
    auto inner = progress.handler();
    auto cat = catalog;
    auto ex = loop.executor();
    const std::int64_t other = *rows[20].id;
    auto seen = std::make_shared<int>(0);
    ArchiveProgressHandler handler = [inner, cat, ex, other, seen](const ArchiveProgress& p) {
      inner(p);
      if (++*seen == 6)
        Task<void>::spawn(ex, [cat, other]() -> Async<void> { co_await cat->requeue(other, "elsewhere"); });
    };
    auto e = engine;
    EXPECT_EQ(run([e, handler]() -> Async<std::int64_t> { co_return co_await e->verifyArchive(handler); }), 1);
    std::vector<std::int64_t> pending;
    for (const auto& r : progress.reports())
      if (r.phase == ArchivePhase::verifying) pending.push_back(r.totals.resourcesPending);
    return pending;
  }
};

std::vector<std::int64_t> pendingSeenWithDigestsTaking(VerifyTest& t, test::TestLoop&, double seconds) {
  return t.pendingSeen(seconds);
}

TEST_F(VerifyTest, AnIntactArchiveIsComplete) {
  makeEngine();
  EXPECT_EQ(verify(), 0);
  const RunSummary s = lastVerifyRun();
  EXPECT_EQ(s.trigger, RunTrigger::verify);
  EXPECT_EQ(s.outcome, RunOutcome::complete);
  EXPECT_EQ(s.resourcesVerified, resourceCount);
  EXPECT_EQ(s.resourcesFailed, 0);
  EXPECT_EQ(s.assetsSeen, 0);
  EXPECT_EQ(s.bytesCopied, 0);
  EXPECT_EQ(static_cast<int>(verifiedRows().size()), resourceCount);

  const auto reports = progress.reports();
  ASSERT_EQ(static_cast<int>(reports.size()), resourceCount + 1);
  for (int i = 0; i < resourceCount; ++i) {
    EXPECT_EQ(reports[i].phase, ArchivePhase::verifying);
    EXPECT_EQ(reports[i].bytesCopiedThisRun, 0);
    EXPECT_TRUE(reports[i].currentFilename);
    EXPECT_TRUE(reports[i].etaSeconds);
    EXPECT_FALSE(reports[i].transfer);
    EXPECT_EQ(reports[i].totals.assets, 24);
  }
  EXPECT_EQ(reports.back().phase, ArchivePhase::idle);
  EXPECT_TRUE(log->contains("verify complete: " + std::to_string(resourceCount) + " intact, 0 re-queued"));
}

TEST_F(VerifyTest, AnEmptyArchiveReportsOnlyIdleAndIsComplete) {
  for (const auto& r : rows) run([&]() -> Async<void> { co_await catalog->requeue(*r.id, "test"); });
  makeEngine();
  EXPECT_EQ(verify(), 0);
  EXPECT_EQ(progress.phases(), std::vector<ArchivePhase>{ArchivePhase::idle});
  const RunSummary s = lastVerifyRun();
  EXPECT_EQ(s.outcome, RunOutcome::complete);
  EXPECT_EQ(s.resourcesVerified, 0);
}

struct BrokenCopyCase {
  const char* name;
  std::function<void(const fs::path& file)> damage;  // applied to the copy on the share
  int code;                                          // or a POSIX code the digest fails with
  std::function<std::string(const ResourceRow& row, const fs::path& file)> reason;
};

TEST_F(VerifyTest, EveryBrokenCopyIsRequeuedWithItsReason) {
  const std::vector<BrokenCopyCase> cases = {
      {"deleted", [](const fs::path& f) { fs::remove(f); }, 0,
       [](const ResourceRow&, const fs::path&) { return std::string("verify archive: NAS copy missing"); }},
      {"modified", [](const fs::path& f) { std::ofstream(f, std::ios::app) << "x"; }, 0,
       [](const ResourceRow& r, const fs::path& f) {
         return "verify archive: NAS copy differs (catalog " + *r.sha256 + ", NAS " + Hashing::sha256(f) + ")";
       }},
      {"EIO", nullptr, EIO,
       [](const ResourceRow&, const fs::path&) { return std::string("verify archive: NAS copy unreadable (EIO)"); }},
      {"EINVAL", nullptr, EINVAL,
       [](const ResourceRow&, const fs::path&) {
         return "verify archive: NAS copy unreadable (errno " + std::to_string(EINVAL) + ")";
       }},
      {"EACCES", nullptr, EACCES,
       [](const ResourceRow&, const fs::path&) {
         return std::string("verify archive: NAS copy unreadable (permission denied)");
       }},
      {"ENOTDIR", nullptr, ENOTDIR,
       [](const ResourceRow&, const fs::path&) { return std::string("verify archive: NAS copy missing"); }},
  };
  std::map<std::string, int> codes;
  for (std::size_t i = 0; i < cases.size(); ++i) {
    const fs::path file = destination / rows[i].relativePath;
    if (cases[i].damage) cases[i].damage(file);
    if (cases[i].code) codes[filename(i)] = cases[i].code;
  }
  makeEngine(failingHash(codes));
  EXPECT_EQ(verify(), static_cast<std::int64_t>(cases.size()));

  for (std::size_t i = 0; i < cases.size(); ++i) {
    SCOPED_TRACE(cases[i].name);
    const auto r = row(*rows[i].id);
    ASSERT_TRUE(r);
    EXPECT_EQ(r->state, ResourceState::pending);
    EXPECT_FALSE(r->sha256);
    EXPECT_FALSE(r->verifiedAt);
    EXPECT_FALSE(r->nextAttemptAt);
    EXPECT_EQ(r->attempts, rows[i].attempts);
    EXPECT_EQ(r->lastError, cases[i].reason(rows[i], destination / rows[i].relativePath));
    EXPECT_TRUE(log->contains(*r->lastError + ": " + rows[i].relativePath));
  }
  const RunSummary s = lastVerifyRun();
  EXPECT_EQ(s.outcome, RunOutcome::partial);
  EXPECT_EQ(s.resourcesFailed, static_cast<std::int64_t>(cases.size()));
  EXPECT_EQ(s.resourcesVerified, resourceCount - static_cast<std::int64_t>(cases.size()));
  // Nothing on the share was touched.
  EXPECT_TRUE(fs::exists(destination / rows[1].relativePath));

  // The next sync copies them again.
  makeEngine();
  const RunSummary again = sync();
  EXPECT_EQ(again.outcome, RunOutcome::complete);
  EXPECT_EQ(again.resourcesVerified, static_cast<std::int64_t>(cases.size()));
}

TEST_F(VerifyTest, ARowWithoutDigestIsRequeuedNamingNone) {
  const auto& r0 = rows[0];
  run([&]() -> Async<void> {
    co_await catalog->updateState(*r0.id, ResourceState::verified, std::nullopt, std::nullopt, clock->now(),
                                  std::nullopt);
  });
  ASSERT_FALSE(row(*r0.id)->sha256);
  makeEngine();
  EXPECT_EQ(verify(), 1);
  EXPECT_EQ(row(*r0.id)->lastError, "verify archive: NAS copy differs (catalog none, NAS " +
                                        Hashing::sha256(destination / r0.relativePath) + ")");
}

TEST_F(VerifyTest, AnUnreachableShareStopsVerificationKeepingWhatWasRequeued) {
  options.concurrency = 1;
  fs::remove(destination / rows[0].relativePath);
  makeEngine(failingHash({{filename(2), ETIMEDOUT}}));
  const auto error = failingVerify();
  try {
    std::rethrow_exception(error);
  } catch (const ZovarIviduvaError& e) {
    EXPECT_EQ(e.kind(), ZovarIviduvaError::Case::destinationUnavailable);
    EXPECT_EQ(e.situation(), Situation::nasUnreachable);
  }
  EXPECT_EQ(row(*rows[0].id)->state, ResourceState::pending);
  for (std::size_t i = 1; i < rows.size(); ++i) EXPECT_EQ(row(*rows[i].id)->state, ResourceState::verified) << i;
  const RunSummary s = lastVerifyRun();
  EXPECT_EQ(s.outcome, RunOutcome::failed);
  EXPECT_EQ(s.resourcesFailed, 1);
  EXPECT_EQ(s.resourcesVerified, 1);
  EXPECT_EQ(progress.reports().back().phase, ArchivePhase::idle);
  EXPECT_TRUE(log->contains("verify stopped: Destination unavailable: "));
}

TEST_F(VerifyTest, AChangedDeviceNumberStopsBeforeAnyRequeue) {
  fs::remove(destination / rows[3].relativePath);
  auto calls = std::make_shared<std::atomic<int>>(0);
  makeEngine([calls](ArchiveEngineServices& s) {
    s.deviceOf = [calls](const fs::path& p) -> std::optional<std::uint64_t> {
      return ++*calls == 1 ? 41u : 42u;  // remounted after the start
    };
  });
  const auto error = failingVerify();
  try {
    std::rethrow_exception(error);
  } catch (const ZovarIviduvaError& e) {
    EXPECT_EQ(e.kind(), ZovarIviduvaError::Case::destinationUnavailable);
    EXPECT_EQ(e.text(), destination.string() + " is no longer the same volume");
  }
  EXPECT_EQ(verifiedRows().size(), rows.size());
  EXPECT_EQ(lastVerifyRun().outcome, RunOutcome::failed);
  EXPECT_EQ(lastVerifyRun().resourcesFailed, 0);
}

TEST_F(VerifyTest, AVanishedOrUnlistableShareStopsBeforeTheRequeue) {
  struct Case {
    const char* name;
    std::function<void(const fs::path&)> breakShare;
  };
  const std::vector<Case> cases = {
      {"vanished", [](const fs::path& d) { fs::rename(d, d.string() + ".gone"); }},
      {"unlistable", [](const fs::path& d) { fs::permissions(d, fs::perms::owner_write | fs::perms::owner_exec); }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    if (geteuid() == 0 && std::string(c.name) == "unlistable") continue;  // root lists anything
    const fs::path dest = destination;
    makeEngine([dest, c](ArchiveEngineServices& s) {
      s.hashFile = [dest, c](const fs::path& file) -> std::string {
        c.breakShare(dest);  // the share breaks while the first copy is read
        throw fs::filesystem_error("read", file, std::error_code(EIO, std::generic_category()));
      };
    });
    EXPECT_NE(failingVerify(), nullptr);
    EXPECT_EQ(verifiedRows().size(), rows.size());
    if (fs::exists(dest.string() + ".gone")) fs::rename(dest.string() + ".gone", dest);
    fs::permissions(dest, fs::perms::owner_all);
  }
}

TEST_F(VerifyTest, AMissingDestinationOrUnknownDeviceFailsAtOnce) {
  auto none = [](ArchiveEngineServices& s) { s.deviceOf = [](const fs::path&) { return std::nullopt; }; };
  makeEngine(none);
  EXPECT_NE(failingVerify(), nullptr);
  EXPECT_EQ(lastVerifyRun().outcome, RunOutcome::failed);
  EXPECT_TRUE(progress.phases() == std::vector<ArchivePhase>{ArchivePhase::idle});

  fs::rename(destination, destination.string() + ".gone");
  makeEngine();
  EXPECT_NE(failingVerify(), nullptr);
  fs::rename(destination.string() + ".gone", destination);
}

TEST_F(VerifyTest, CancellingReturnsTheCountSoFar) {
  options.concurrency = 1;
  for (int i = 0; i < 6; ++i) fs::remove(destination / rows[i].relativePath);
  makeEngine();
  auto e = engine;
  auto inner = progress.handler();
  auto task = std::make_shared<Task<std::int64_t>>();
  int seen = 0;
  ArchiveProgressHandler handler = [&, inner](const ArchiveProgress& p) {
    inner(p);
    if (++seen == 3) task->cancel();
  };
  *task = Task<std::int64_t>::spawn(loop.executor(),
                                    [e, handler]() -> Async<std::int64_t> { co_return co_await e->verifyArchive(handler); });
  loop.runUntil([&] { return task->isFinished(); });
  const std::int64_t count = task->get();
  EXPECT_GE(count, 3);
  EXPECT_LT(count, 6);
  EXPECT_EQ(static_cast<std::int64_t>(rows.size() - verifiedRows().size()), count);
  const RunSummary s = lastVerifyRun();
  EXPECT_EQ(s.outcome, RunOutcome::cancelled);
  EXPECT_EQ(s.resourcesFailed, count);
  EXPECT_EQ(progress.reports().back().phase, ArchivePhase::idle);
  EXPECT_FALSE(log->contains("verify stopped"));
}

TEST_F(VerifyTest, EtaAndTotalsReuseFollowTheClock) {
  options.concurrency = 1;
  auto c = clock;
  // Every digest takes half a second.
  makeEngine([c](ArchiveEngineServices& s) {
    s.hashFile = [c](const fs::path& file) {
      c->set(addSeconds(c->now(), Seconds(0.5)));
      return Hashing::sha256(file);
    };
  });
  EXPECT_EQ(verify(), 0);
  const auto reports = progress.reports();
  const double total = static_cast<double>(rows.size());
  for (std::size_t i = 0; i + 1 < reports.size(); ++i) {
    const double checked = static_cast<double>(i + 1);
    ASSERT_TRUE(reports[i].etaSeconds);
    EXPECT_NEAR(*reports[i].etaSeconds, 0.5 * checked / checked * (total - checked), 1e-6) << i;
  }
}

// The pending counts the reports showed, while another row goes back to
// pending behind verification's back after report 5 and the copy of row 55
// is missing (so verification re-queues it).
std::vector<std::int64_t> pendingSeenWithDigestsTaking(VerifyTest& t, test::TestLoop& loop, double seconds);

TEST_F(VerifyTest, TotalsAreReusedForFiftyReportsAtTheSameInstantAndReadAfterARequeue) {
  const auto seen = pendingSeenWithDigestsTaking(*this, loop, 0.0);
  ASSERT_EQ(seen.size(), 56u);
  std::vector<std::int64_t> expected(56, 0);
  for (std::size_t i = 51; i < 55; ++i) expected[i] = 1;  // report 0 read, 1-50 reused, 51 read
  expected[55] = 2;                                       // read right after its own re-queue
  EXPECT_EQ(seen, expected);
}

TEST_F(VerifyTest, TotalsOlderThanAQuarterSecondAreReadAgain) {
  const auto seen = pendingSeenWithDigestsTaking(*this, loop, 0.3);
  ASSERT_EQ(seen.size(), 56u);
  std::vector<std::int64_t> expected(56, 1);
  for (std::size_t i = 0; i <= 5; ++i) expected[i] = 0;
  expected[55] = 2;
  EXPECT_EQ(seen, expected);
}

TEST(VerifyErrorLabelTest, NamesPosixCodesSymbolicallyAndOthersByNumber) {
  struct Case {
    int code;
    const char* label;
  };
  const Case cases[] = {{EIO, "EIO"},           {EACCES, "EACCES"},       {EPERM, "EPERM"},
                        {ENOENT, "ENOENT"},     {EBADF, "EBADF"},         {ETIMEDOUT, "ETIMEDOUT"},
                        {ENOTCONN, "ENOTCONN"}, {ENETDOWN, "ENETDOWN"},   {EHOSTDOWN, "EHOSTDOWN"},
                        {EHOSTUNREACH, "EHOSTUNREACH"}, {ENETUNREACH, "ENETUNREACH"}, {ESTALE, "ESTALE"},
                        {ENXIO, "ENXIO"},       {EAGAIN, "EAGAIN"},       {EINTR, "EINTR"},
                        {ENODEV, "ENODEV"},     {22, "errno 22"},         {ENOSPC, "errno 28"}};
  for (const auto& c : cases) {
    const auto error = std::make_exception_ptr(std::system_error(c.code, std::generic_category(), "read"));
    EXPECT_EQ(verifyErrorLabel(error), c.label) << c.code;
  }
  // The code is found inside a wrapping error, too.
  try {
    try {
      throw std::system_error(EIO, std::generic_category(), "read");
    } catch (...) {
      std::throw_with_nested(std::runtime_error("hashing failed"));
    }
  } catch (...) {
    EXPECT_EQ(verifyErrorLabel(std::current_exception()), "EIO");
    EXPECT_EQ(findingForReadError(std::current_exception()).code, "EIO");
  }
  EXPECT_EQ(verifyErrorLabel(std::make_exception_ptr(std::system_error(3, std::iostream_category(), "x"))),
            "iostream 3");
  EXPECT_EQ(verifyErrorLabel(std::make_exception_ptr(std::runtime_error("odd"))), "unknown 0");
}

TEST(VerifyFindingTest, ClassifiesReadErrorsInOrder) {
  auto posix = [](int code) { return std::make_exception_ptr(std::system_error(code, std::generic_category(), "r")); };
  EXPECT_EQ(findingForReadError(posix(ENOENT)).kind, VerifyFinding::Case::missing);
  EXPECT_EQ(findingForReadError(posix(ENOTDIR)).kind, VerifyFinding::Case::missing);
  EXPECT_EQ(findingForReadError(posix(EACCES)).kind, VerifyFinding::Case::unreadable);
  EXPECT_EQ(findingForReadError(posix(EPERM)).kind, VerifyFinding::Case::unreadable);
  for (int code : {ETIMEDOUT, ENOTCONN, ENETDOWN, EHOSTDOWN, EHOSTUNREACH, ENETUNREACH, ESTALE, ENXIO, EAGAIN, EINTR,
                   ENODEV})
    EXPECT_EQ(findingForReadError(posix(code)).kind, VerifyFinding::Case::outage) << code;
  const VerifyFinding io = findingForReadError(posix(EIO));
  EXPECT_EQ(io.kind, VerifyFinding::Case::readError);
  EXPECT_EQ(io.code, "EIO");
  // Texts are redacted.
  const auto secret = std::make_exception_ptr(
      std::system_error(ETIMEDOUT, std::generic_category(), "Bearer abc.def"));
  const VerifyFinding outage = findingForReadError(secret);
  EXPECT_EQ(outage.text.find("abc.def"), std::string::npos);
}

}  // namespace
}  // namespace kv
