// The keychain string store: upsert, read, delete, failures and the
// once-per-process migration of legacy items.

#include <string>
#include <vector>

#include "config/TLMKeychainWrapper.h"
#include "platform/Keychain.h"
#include "platform/Platform.h"
#include "support/TestPlatform.h"

namespace {

constexpr char kAppID[] = "com.ferrolux.tests";
constexpr char kItem[] = "_pfo";

Bytes bytes(const std::string& text) { return Bytes(text.begin(), text.end()); }

std::vector<KeychainItem> allItems() {
  std::vector<KeychainItem> items;
  KeychainQuery everything;
  (void)Platform::current().keychain().copyAllMatching(everything, &items);
  return items;
}

// An item as older releases wrote it: the generic attribute as raw data.
KeychainItem legacyItem(const std::string& identifier, const std::string& value) {
  KeychainItem item;
  item.service = kAppID;
  item.account = identifier;
  item.generic = Bytes{0x62, 0x70, 0x6c, 0x69, 0x73, 0x74, 0x00, 0xd1};
  item.accessibility = TLMKeychainWrapper::kAccessibility;
  item.data = bytes(value);
  return item;
}

class KeychainWrapperTest : public ::testing::Test {
 protected:
  TestPlatform test_;
};

}  // namespace

TEST_F(KeychainWrapperTest, StoresTheItemAsDescribedAndReadsItBack) {
  ASSERT_TRUE(TLMKeychainWrapper::upsertKeychainValue("1", kItem, kAppID));
  EXPECT_EQ(TLMKeychainWrapper::keychainValueWithIdentifier(kItem, kAppID), std::string("1"));
  std::vector<KeychainItem> items = allItems();
  ASSERT_EQ(items.size(), 1u);
  EXPECT_EQ(items[0].service, kAppID);
  EXPECT_EQ(items[0].account, kItem);
  EXPECT_EQ(items[0].generic, bytes(kItem));
  EXPECT_EQ(items[0].accessibility, "kSecAttrAccessibleAlwaysThisDeviceOnly");
  EXPECT_EQ(items[0].data, bytes("1"));
  // Another app's service does not see it.
  EXPECT_EQ(TLMKeychainWrapper::keychainValueWithIdentifier(kItem, "com.other.app"), std::nullopt);
  // Upsert replaces the value in place.
  ASSERT_TRUE(TLMKeychainWrapper::upsertKeychainValue("2", kItem, kAppID));
  EXPECT_EQ(TLMKeychainWrapper::keychainValueWithIdentifier(kItem, kAppID), std::string("2"));
  EXPECT_EQ(allItems().size(), 1u);
}

TEST_F(KeychainWrapperTest, EmptyArgumentsAreRefused) {
  EXPECT_FALSE(TLMKeychainWrapper::upsertKeychainValue("", kItem, kAppID));
  EXPECT_FALSE(TLMKeychainWrapper::upsertKeychainValue("1", "", kAppID));
  EXPECT_FALSE(TLMKeychainWrapper::upsertKeychainValue("1", kItem, ""));
  EXPECT_TRUE(allItems().empty());
  EXPECT_EQ(TLMKeychainWrapper::searchDirectoryForIdentifier("", kAppID), std::nullopt);
  EXPECT_EQ(TLMKeychainWrapper::searchDirectoryForIdentifier(kItem, ""), std::nullopt);
  EXPECT_EQ(TLMKeychainWrapper::keychainValueWithIdentifier("", kAppID), std::nullopt);
}

TEST_F(KeychainWrapperTest, DeleteRemovesOnlyTheItem) {
  ASSERT_TRUE(TLMKeychainWrapper::upsertKeychainValue("1", kItem, kAppID));
  ASSERT_TRUE(TLMKeychainWrapper::upsertKeychainValue("x", "_other", kAppID));
  TLMKeychainWrapper::deleteKeychainValueWithIdentifier(kItem, kAppID);
  EXPECT_EQ(TLMKeychainWrapper::keychainValueWithIdentifier(kItem, kAppID), std::nullopt);
  EXPECT_EQ(TLMKeychainWrapper::keychainValueWithIdentifier("_other", kAppID), std::string("x"));
}

TEST_F(KeychainWrapperTest, PlatformErrorsAnswerFalseOrNone) {
  ASSERT_TRUE(TLMKeychainWrapper::upsertKeychainValue("1", kItem, kAppID));
  Platform::current().keychain().TEST_setFailure(true);
  EXPECT_FALSE(TLMKeychainWrapper::upsertKeychainValue("2", kItem, kAppID));
  EXPECT_FALSE(TLMKeychainWrapper::upsertKeychainValue("2", "_new", kAppID));
  EXPECT_EQ(TLMKeychainWrapper::keychainValueWithIdentifier(kItem, kAppID), std::nullopt);
  Platform::current().keychain().TEST_setFailure(false);
  EXPECT_EQ(TLMKeychainWrapper::keychainValueWithIdentifier(kItem, kAppID), std::string("1"));
}

TEST_F(KeychainWrapperTest, DataThatIsNotUTF8ReadsAsNoneAndUpsertFillsAnItemWithoutData) {
  KeychainItem item = legacyItem(kItem, "");
  item.generic = bytes(kItem);
  item.data = Bytes{0xff, 0xfe};
  ASSERT_EQ(Platform::current().keychain().add(item), kKeychainSuccess);
  EXPECT_EQ(TLMKeychainWrapper::keychainDataWithIdentifier(kItem, kAppID), (Bytes{0xff, 0xfe}));
  EXPECT_EQ(TLMKeychainWrapper::keychainValueWithIdentifier(kItem, kAppID), std::nullopt);

  KeychainItem empty = legacyItem("_empty", "");
  empty.generic = bytes("_empty");
  ASSERT_EQ(Platform::current().keychain().add(empty), kKeychainSuccess);
  EXPECT_TRUE(TLMKeychainWrapper::upsertKeychainValue("3", "_empty", kAppID));
  EXPECT_EQ(TLMKeychainWrapper::keychainValueWithIdentifier("_empty", kAppID), std::string("3"));
}

// ---- Migration --------------------------------------------------------------

TEST_F(KeychainWrapperTest, LegacyItemIsMigratedBeforeTheFirstRead) {
  ASSERT_EQ(Platform::current().keychain().add(legacyItem(kItem, "4")), kKeychainSuccess);
  EXPECT_TRUE(TLMKeychainWrapper::isMigrationNeededForIdentifier(kItem, kAppID));
  // The string-attribute query does not find it yet.
  EXPECT_EQ(TLMKeychainWrapper::keychainDataWithIdentifier(kItem, kAppID), std::nullopt);

  EXPECT_EQ(TLMKeychainWrapper::keychainValueWithIdentifier(kItem, kAppID), std::string("4"));
  EXPECT_FALSE(TLMKeychainWrapper::isMigrationNeededForIdentifier(kItem, kAppID));
  std::vector<KeychainItem> items = allItems();
  ASSERT_EQ(items.size(), 1u);
  EXPECT_EQ(items[0].generic, bytes(kItem));
  EXPECT_EQ(items[0].account, kItem);
  EXPECT_EQ(items[0].data, bytes("4"));
  // Now upsert updates it rather than colliding with it.
  EXPECT_TRUE(TLMKeychainWrapper::upsertKeychainValue("5", kItem, kAppID));
  EXPECT_EQ(allItems().size(), 1u);
}

TEST_F(KeychainWrapperTest, MigrationRunsOncePerProcess) {
  EXPECT_EQ(TLMKeychainWrapper::keychainValueWithIdentifier("_first", kAppID), std::nullopt);
  EXPECT_TRUE(TLMKeychainWrapper::TEST_migrationRan());
  ASSERT_EQ(Platform::current().keychain().add(legacyItem(kItem, "7")), kKeychainSuccess);
  // The migration of this process is spent.
  EXPECT_EQ(TLMKeychainWrapper::keychainValueWithIdentifier(kItem, kAppID), std::nullopt);

  test_.restart();
  EXPECT_FALSE(TLMKeychainWrapper::TEST_migrationRan());
  EXPECT_EQ(TLMKeychainWrapper::keychainValueWithIdentifier(kItem, kAppID), std::string("7"));
}

TEST_F(KeychainWrapperTest, LegacyItemWithoutDataIsLeftAlone) {
  ASSERT_EQ(Platform::current().keychain().add(legacyItem(kItem, "")), kKeychainSuccess);
  EXPECT_FALSE(TLMKeychainWrapper::migrateKeychainDataToStringWithIdentifier(kItem, kAppID));
  EXPECT_TRUE(TLMKeychainWrapper::isMigrationNeededForIdentifier(kItem, kAppID));
}

TEST_F(KeychainWrapperTest, MigrationFailureLeavesTheItemForTheNextProcess) {
  ASSERT_EQ(Platform::current().keychain().add(legacyItem(kItem, "8")), kKeychainSuccess);
  Platform::current().keychain().TEST_setFailure(true);
  EXPECT_EQ(TLMKeychainWrapper::keychainValueWithIdentifier(kItem, kAppID), std::nullopt);
  Platform::current().keychain().TEST_setFailure(false);
  test_.restart();
  EXPECT_EQ(TLMKeychainWrapper::keychainValueWithIdentifier(kItem, kAppID), std::string("8"));
}
