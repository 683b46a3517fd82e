// The copier's small parts: stall texts, error classes, the spool.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <system_error>

#include "archive/DownloadStalled.h"
#include "archive/FileOperations.h"
#include "archive/ShareErrors.h"
#include "archive/Sha256.h"
#include "archive/Spool.h"
#include "tests/support/TestLoop.h"

namespace kv {
namespace {

TEST(DownloadStalledTest, Texts) {
  struct Row {
    DownloadStalled error;
    const char* text;
  } rows[] = {
      {DownloadStalled::silent(Seconds(300)), "download stalled: no data for 300.0 seconds"},
      {DownloadStalled::silent(Seconds(0.5)), "download stalled: no data for 0.5 seconds"},
      {DownloadStalled::crawling(8, Seconds(120)), "download stalled: 8 B/s over 120.0 seconds"},
      {DownloadStalled::crawling(0, Seconds(1.25)), "download stalled: 0 B/s over 1.25 seconds"},
  };
  for (const auto& row : rows) EXPECT_STREQ(row.error.what(), row.text);
}

std::exception_ptr posix(int code) {
  return std::make_exception_ptr(std::system_error(code, std::generic_category(), "op"));
}

std::exception_ptr nestedIn(std::exception_ptr inner) {
  try {
    std::rethrow_exception(inner);
  } catch (...) {
    try {
      std::throw_with_nested(std::runtime_error("outer"));
    } catch (...) {
      return std::current_exception();
    }
  }
  return nullptr;
}

TEST(ShareErrorsTest, ClassesByPosixCode) {
  struct Row {
    const char* name;
    std::exception_ptr error;
    bool unavailable, outOfSpace, permission;
  } rows[] = {
      {"ENOTCONN (FUSE mount lost)", posix(ENOTCONN), true, false, false},
      {"EIO (FUSE backend gone)", posix(EIO), true, false, false},
      {"ETIMEDOUT", posix(ETIMEDOUT), true, false, false},
      {"EHOSTDOWN", posix(EHOSTDOWN), true, false, false},
      {"ESTALE", posix(ESTALE), true, false, false},
      {"ENOSPC", posix(ENOSPC), false, true, false},
      {"EDQUOT", posix(EDQUOT), false, true, false},
      {"EACCES", posix(EACCES), false, false, true},
      {"EPERM", posix(EPERM), false, false, true},
      {"EROFS", posix(EROFS), false, false, true},
      {"ENOENT is none of them", posix(ENOENT), false, false, false},
      {"no POSIX code", std::make_exception_ptr(std::runtime_error("x")), false, false, false},
      {"nested ENOSPC", nestedIn(posix(ENOSPC)), false, true, false},
      {"nested ENOTCONN", nestedIn(posix(ENOTCONN)), true, false, false},
      {"filesystem_error EACCES",
       std::make_exception_ptr(std::filesystem::filesystem_error("open", "/x",
                                                                 std::error_code(EACCES, std::generic_category()))),
       false, false, true},
  };
  for (const auto& row : rows) {
    EXPECT_EQ(isUnavailableError(row.error), row.unavailable) << row.name;
    EXPECT_EQ(isOutOfSpaceError(row.error), row.outOfSpace) << row.name;
    EXPECT_EQ(isPermissionDeniedError(row.error), row.permission) << row.name;
  }
}

TEST(ShareErrorsTest, ClassifiesIntoRunErrors) {
  auto full = classifyShareError(nestedIn(posix(ENOSPC)), 1234);
  EXPECT_EQ(full.kind(), ZovarIviduvaError::Case::shareFull);
  EXPECT_EQ(full.neededBytes(), 1234);
  auto gone = classifyShareError(posix(ENOTCONN));
  EXPECT_EQ(gone.kind(), ZovarIviduvaError::Case::destinationUnavailable);
  EXPECT_NE(gone.text().find("op"), std::string::npos);
  auto redacted = classifyShareError(std::make_exception_ptr(std::runtime_error("Bearer abc.def failed")));
  EXPECT_EQ(redacted.text().find("abc.def"), std::string::npos);
}

class SpoolTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = (std::filesystem::temp_directory_path() / "kelvane-spool-test-XXXXXX").string();
    dir = mkdtemp(pattern.data());
  }
  void TearDown() override { std::filesystem::remove_all(dir); }
  std::size_t files() const {
    return static_cast<std::size_t>(
        std::distance(std::filesystem::directory_iterator(dir), std::filesystem::directory_iterator()));
  }
  test::TestLoop loop;
  std::filesystem::path dir;
};

TEST_F(SpoolTest, ReaderSeesAppendsInOrderThenTheEnd) {
  auto spool = Spool::create(dir / "nested" / "spool");
  EXPECT_EQ(spool->path().extension(), ".spool");
  auto got = loop.run([&]() -> Async<std::string> {
    std::string all;
    auto producer = Task<void>::spawn(loop.executor(), [&]() -> Async<void> {
      spool->append(std::span<const std::uint8_t>(reinterpret_cast<const std::uint8_t*>("hello "), 6));
      co_await asio::post(co_await asio::this_coro::executor, asio::use_awaitable);
      spool->append(std::span<const std::uint8_t>(reinterpret_cast<const std::uint8_t*>("world"), 5));
      spool->finish();
    });
    while (auto chunk = co_await spool->next(4)) {
      EXPECT_LE(chunk->size(), 4u);
      all.append(chunk->begin(), chunk->end());
    }
    co_await producer.value();
    co_return all;
  });
  EXPECT_EQ(got, "hello world");
  spool->close();
  EXPECT_FALSE(std::filesystem::exists(spool->path()));
}

TEST_F(SpoolTest, FailureArrivesAfterTheBytes) {
  auto spool = Spool::create(dir);
  spool->append(std::span<const std::uint8_t>(reinterpret_cast<const std::uint8_t*>("abc"), 3));
  spool->finish(std::make_exception_ptr(std::runtime_error("source broke")));
  auto text = loop.run([&]() -> Async<std::string> {
    std::string all;
    try {
      while (auto chunk = co_await spool->next(100)) all.append(chunk->begin(), chunk->end());
    } catch (const std::exception& e) {
      co_return all + "|" + e.what();
    }
    co_return all + "|no error";
  });
  EXPECT_EQ(text, "abc|source broke");
  spool.reset();  // the destructor also deletes the file
  EXPECT_EQ(files(), 0u);
}

TEST_F(SpoolTest, CreationFailureIsASpoolFailure) {
  const auto file = dir / "not-a-folder";
  { std::ofstream(file) << "x"; }
  try {
    Spool::create(file);
    FAIL() << "no error";
  } catch (const SpoolFailure& e) {
    EXPECT_EQ(std::string(e.what()).rfind("local spool: ", 0), 0u) << e.what();
  }
}

TEST(HashingTest, DigestOfAFileInPieces) {
  std::string pattern = (std::filesystem::temp_directory_path() / "kelvane-hash-XXXXXX").string();
  const std::filesystem::path dir = mkdtemp(pattern.data());
  std::string content(Hashing::kPieceSize * 2 + 17, 'q');
  for (std::size_t i = 0; i < content.size(); ++i) content[i] = static_cast<char>(i * 31);
  { std::ofstream(dir / "f", std::ios::binary) << content; }
  EXPECT_EQ(Hashing::sha256(dir / "f"), sha256Hex(content));
  EXPECT_THROW(Hashing::sha256(dir / "missing"), std::filesystem::filesystem_error);
  std::filesystem::remove_all(dir);
}

}  // namespace
}  // namespace kv
