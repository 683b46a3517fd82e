// The shared store suite on the in-memory keychain and the file keychain, and
// the file keychain's own promises: private modes, atomic store, damaged file.
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "identity/KeychainTokenStore.h"
#include "identity/KeychainError.h"
#include "platform/linux/identity/FileKeychain.h"
#include "tests/identity/suite/KeychainStoreSuite.h"
#include "tests/support/identity/MemoryKeychain.h"

namespace kv::test {
namespace {

namespace fs = std::filesystem;

fs::path freshFolder(const std::string& tag) {
  static int n = 0;
  fs::path p = fs::temp_directory_path() / ("kelvane-keychain-" + std::to_string(::getpid()) + "-" + tag + "-" +
                                            std::to_string(++n));
  fs::remove_all(p);
  return p;
}

INSTANTIATE_TEST_SUITE_P(Backends, KeychainStoreSuite,
                         ::testing::Values(KeychainBackend{"Memory", [] { return std::make_shared<MemoryKeychain>(); }},
                                           KeychainBackend{"File",
                                                           [] {
                                                             return std::make_shared<FileKeychain>(
                                                                 freshFolder("suite") / "Kelvane" / "keychain");
                                                           }}),
                         backendName);

struct FileKeychainTest : ::testing::Test {
  fs::path root = freshFolder("file");
  fs::path folder = root / "keychain";
  void TearDown() override { fs::remove_all(root); }
};

TEST_F(FileKeychainTest, FolderAndStoreAreOnlyForTheUser) {
  auto keychain = std::make_shared<FileKeychain>(folder);
  KeychainTokenStore store(keychain, {"svc", "acct"});
  store.save(OIDCTokens{"at", "rt", fromReferenceSeconds(1)});
  struct stat st{};
  ASSERT_EQ(::stat(folder.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0700u);
  ASSERT_EQ(::stat(keychain->storeFile().c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  // Nothing but the store and its lock is left behind (no temporary files).
  std::size_t files = 0;
  for (auto& e : fs::directory_iterator(folder)) files += e.path().filename() != ".lock";
  EXPECT_EQ(files, 1u);
}

TEST_F(FileKeychainTest, DamagedStoreFailsReadsWithoutCrashingAndWritesSetItAside) {
  fs::create_directories(folder);
  { std::ofstream(folder / "items.json") << "{\"items\": [ {\"class\": 7"; }
  auto keychain = std::make_shared<FileKeychain>(folder);
  KeychainTokenStore store(keychain, {"svc", "acct"});
  try {
    store.load();
    FAIL() << "a damaged store must not read as empty";
  } catch (const KeychainError& e) {
    EXPECT_EQ(e.status(), kKeychainDecode);
  }
  store.save(OIDCTokens{"at", std::nullopt, fromReferenceSeconds(1)});
  EXPECT_TRUE(fs::exists(folder / "items.json.damaged"));
  KeychainTokenStore reader(keychain, {"svc", "acct"});
  EXPECT_EQ(reader.load()->accessToken, "at");
}

TEST_F(FileKeychainTest, StoreFromAnotherInstanceIsSeen) {
  auto a = std::make_shared<FileKeychain>(folder);
  auto b = std::make_shared<FileKeychain>(folder);
  KeychainQuery q{KeychainItemClass::genericPassword, {{"service", "s"}, {"account", "a"}}};
  ASSERT_EQ(a->add(q, {}, std::string("\0bin\xFF", 5)), kKeychainSuccess);
  EXPECT_EQ(b->add(q, {}, "again"), kKeychainDuplicateItem);
  KeychainMatch m;
  ASSERT_EQ(b->findOne(q, m), kKeychainSuccess);
  EXPECT_EQ(*m.data, std::string("\0bin\xFF", 5));
}

TEST(KeychainErrorText, CodeWithoutMessageSaysUnknown) {
  EXPECT_STREQ(KeychainError(-12345, std::nullopt).what(), "Keychain error -12345: unknown");
  MemoryKeychain keychain;
  EXPECT_EQ(std::string(KeychainError(kKeychainItemNotFound, keychain).what()),
            "Keychain error -25300: " + *standardKeychainMessage(kKeychainItemNotFound));
}

}  // namespace
}  // namespace kv::test
