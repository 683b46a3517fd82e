// The keychain stores against a real keychain implementation: memo rules,
// update-then-add, one login item after two saves, lenient password decoding.
#include "tests/identity/suite/KeychainStoreSuite.h"

#include "identity/KeychainConfigCache.h"
#include "identity/KeychainCredentialStore.h"
#include "identity/KeychainError.h"
#include "identity/KeychainGenericItem.h"
#include "identity/KeychainTokenStore.h"
#include "tests/support/identity/MemoryKeychain.h"

namespace kv::test {
namespace {

OIDCTokens sampleTokens(std::optional<std::string> refresh = "rt-1") {
  return OIDCTokens{"at-1", std::move(refresh), fromReferenceSeconds(1000.5)};
}

KeychainQuery loginQuery() {
  KeychainQuery q;
  q.itemClass = KeychainItemClass::internetPassword;
  q.attributes = {{"server", "kelvane.nas"}, {"protocol", "smb"}};
  return q;
}

// Test items use their own service name so that a shared keychain is not disturbed.
KeychainItem testItem(const std::string& account) { return {"net.kelvane.Kelvane.tests", account}; }

TEST_P(KeychainStoreSuite, FirstLoadOfMissingItemIsRememberedAsAbsent) {
  auto counting = std::make_shared<FailingKeychain>(keychain);
  KeychainTokenStore store(counting, testItem("oidc-tokens"));
  EXPECT_EQ(store.load(), std::nullopt);
  EXPECT_EQ(store.load(), std::nullopt);
  EXPECT_EQ(counting->finds.load(), 1);
}

TEST_P(KeychainStoreSuite, FailedLoadIsNotRememberedAndRetriesWhenUnlocked) {
  KeychainTokenStore writer(keychain, testItem("oidc-tokens"));
  writer.save(sampleTokens());
  auto failing = std::make_shared<FailingKeychain>(keychain);
  failing->failWith = kKeychainInteractionNotAllowed;
  KeychainTokenStore store(failing, testItem("oidc-tokens"));
  try {
    store.load();
    FAIL() << "a locked keychain must fail the load";
  } catch (const KeychainError& e) {
    EXPECT_EQ(e.status(), kKeychainInteractionNotAllowed);
    EXPECT_EQ(std::string(e.what()).rfind("Keychain error -25308: ", 0), 0u) << e.what();
  }
  EXPECT_THROW(store.load(), KeychainError);  // still locked: asked again, failed again
  failing->failWith = 0;
  EXPECT_EQ(store.load(), sampleTokens());
  EXPECT_EQ(failing->finds.load(), 3);
  store.load();
  EXPECT_EQ(failing->finds.load(), 3);  // now remembered
}

TEST_P(KeychainStoreSuite, SaveAddsThenUpdatesTheSameItemInPlace) {
  auto counting = std::make_shared<FailingKeychain>(keychain);
  KeychainTokenStore store(counting, testItem("oidc-tokens"));
  store.save(sampleTokens());
  EXPECT_EQ(counting->updates.load(), 1);
  EXPECT_EQ(counting->adds.load(), 1);
  OIDCTokens second{"at-2", "rt-2", fromReferenceSeconds(2000)};
  store.save(second);
  EXPECT_EQ(counting->updates.load(), 2);
  EXPECT_EQ(counting->adds.load(), 1);
  // A fresh store (fresh memo) reads what the keychain holds.
  KeychainTokenStore reader(keychain, testItem("oidc-tokens"));
  EXPECT_EQ(reader.load(), second);
}

TEST_P(KeychainStoreSuite, TokensWithoutRefreshTokenRoundTripWithoutTheKey) {
  KeychainTokenStore store(keychain, testItem("oidc-tokens"));
  store.save(sampleTokens(std::nullopt));
  KeychainMatch match;
  ASSERT_EQ(keychain->findOne(genericItemQuery(testItem("oidc-tokens")), match), kKeychainSuccess);
  ASSERT_TRUE(match.data);
  auto doc = nlohmann::json::parse(*match.data);
  EXPECT_FALSE(doc.contains("refreshToken"));
  EXPECT_EQ(doc["expiresAt"], 1000.5);
  KeychainTokenStore reader(keychain, testItem("oidc-tokens"));
  EXPECT_EQ(reader.load()->refreshToken, std::nullopt);
}

TEST_P(KeychainStoreSuite, CachedConfigIsStoredWithReferenceDateSeconds) {
  KeychainConfigCache cache(keychain, testItem("nas-config"));
  NASConfig config;
  config.molerunAddr = "tunnel.example:1";
  config.smbShare = "photo";
  config.destSubdir = "Kelvane";
  config.localPort = 4450;
  config.remoteSMB = "445";
  CachedConfig cached{config, fromReferenceSeconds(30)};
  cache.save(cached);
  KeychainMatch match;
  ASSERT_EQ(keychain->findOne(genericItemQuery(testItem("nas-config")), match), kKeychainSuccess);
  auto doc = nlohmann::json::parse(*match.data);
  EXPECT_EQ(doc["fetchedAt"], 30);
  EXPECT_EQ(doc["config"]["smb_share"], "photo");
  KeychainConfigCache reader(keychain, testItem("nas-config"));
  EXPECT_EQ(reader.load(), cached);
}

TEST_P(KeychainStoreSuite, UndecodableStoredDataFailsTheLoadAndIsNotRemembered) {
  KeychainAttributes extra;
  ASSERT_EQ(keychain->add(genericItemQuery(testItem("oidc-tokens")), extra, "{not json"), kKeychainSuccess);
  KeychainTokenStore store(keychain, testItem("oidc-tokens"));
  EXPECT_THROW(store.load(), DecodingError);
  EXPECT_TRUE(store.memo().isUnchecked());
}

TEST_P(KeychainStoreSuite, DeleteOfMissingItemSucceedsAndRemembersAbsent) {
  KeychainTokenStore store(keychain, testItem("oidc-tokens"));
  EXPECT_NO_THROW(store.remove());
  EXPECT_EQ(store.memo().known(), std::optional<std::optional<OIDCTokens>>(std::optional<OIDCTokens>()));
  store.save(sampleTokens());
  store.remove();
  KeychainTokenStore reader(keychain, testItem("oidc-tokens"));
  EXPECT_EQ(reader.load(), std::nullopt);
}

TEST_P(KeychainStoreSuite, SavingTheLoginTwiceLeavesOneItemWithTheSecond) {
  KeychainCredentialStore store(keychain);
  store.save({"alice", "first"});
  store.save({"bob", "se\xC3\xA7ond"});
  KeychainCredentialStore reader(keychain);
  EXPECT_EQ(reader.load(), (NASCredentials{"bob", "se\xC3\xA7ond"}));
  ASSERT_EQ(keychain->remove(loginQuery()), kKeychainSuccess);
  KeychainMatch match;
  EXPECT_EQ(keychain->findOne(loginQuery(), match), kKeychainItemNotFound);  // exactly one was there
}

TEST_P(KeychainStoreSuite, InvalidUTF8PasswordLoadsWithReplacementCharacters) {
  KeychainAttributes extra{{"account", "carol"}};
  ASSERT_EQ(keychain->add(loginQuery(), extra, std::string("pa\xFFss\xC3", 6)), kKeychainSuccess);
  KeychainCredentialStore store(keychain);
  auto loaded = store.load();
  ASSERT_TRUE(loaded);
  EXPECT_EQ(loaded->username, "carol");
  EXPECT_EQ(loaded->password, "pa\xEF\xBF\xBDss\xEF\xBF\xBD");
  keychain->remove(loginQuery());
}

TEST_P(KeychainStoreSuite, FailedLoginAddLeavesTheMemoAbsent) {
  auto failing = std::make_shared<FailingKeychain>(keychain);
  KeychainCredentialStore store(failing);
  store.save({"alice", "pw"});
  failing->failAddWith = kKeychainAuthFailed;
  EXPECT_THROW(store.save({"bob", "pw2"}), KeychainError);
  EXPECT_EQ(store.load(), std::nullopt);
  EXPECT_EQ(failing->finds.load(), 0);  // the memo answered, as the keychain would
  KeychainCredentialStore reader(keychain);
  EXPECT_EQ(reader.load(), std::nullopt);
}

}  // namespace
}  // namespace kv::test
