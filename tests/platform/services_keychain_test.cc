#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <set>
#include <string>
#include <vector>

#include "platform/Keychain.h"
#include "platform_test_support.h"

namespace {

constexpr const char* kAccessibility = "kSecAttrAccessibleAlwaysThisDeviceOnly";

Bytes bytesOf(const std::string& text) { return Bytes(text.begin(), text.end()); }

KeychainItem item(const std::string& service, const std::string& account, const std::string& data) {
  return KeychainItem{service, account, bytesOf(account), kAccessibility, bytesOf(data)};
}

KeychainQuery query(std::optional<std::string> service, std::optional<std::string> account = {}) {
  return KeychainQuery{std::move(service), std::move(account), std::nullopt};
}

class KeychainTest : public ::testing::Test {
 protected:
  std::string folder() const { return root_ / "keychain"; }
  TempFolder root_;
};

TEST_F(KeychainTest, AddRefusesDuplicatesAndCopiesItemsBack) {
  Keychain keychain(folder());
  KeychainItem first = item("com.example.game", "_pfo", "1");
  EXPECT_EQ(keychain.add(first), kKeychainSuccess);
  EXPECT_EQ(keychain.add(item("com.example.game", "_pfo", "2")), kKeychainDuplicateItem);
  EXPECT_EQ(keychain.add(item("com.example.other", "_pfo", "3")), kKeychainSuccess);

  KeychainItem found;
  EXPECT_EQ(keychain.copyMatching(query("com.example.game", "_pfo"), &found), kKeychainSuccess);
  EXPECT_EQ(found, first);
  EXPECT_EQ(keychain.copyMatching(query("com.example.game", "missing"), &found),
            kKeychainItemNotFound);
  KeychainQuery byGeneric{"com.example.game", std::nullopt, bytesOf("_pfo")};
  EXPECT_EQ(keychain.copyMatching(byGeneric, nullptr), kKeychainSuccess);
  byGeneric.generic = bytesOf("other");
  EXPECT_EQ(keychain.copyMatching(byGeneric, nullptr), kKeychainItemNotFound);

  std::vector<KeychainItem> all;
  EXPECT_EQ(keychain.copyAllMatching(query(std::nullopt, "_pfo"), &all), kKeychainSuccess);
  EXPECT_EQ(all.size(), 2u);
  EXPECT_EQ(all[0], first);  // in the order they were added
}

TEST_F(KeychainTest, UpdateChangesMatchingItemsInPlace) {
  Keychain keychain(folder());
  ASSERT_EQ(keychain.add(item("svc", "a", "old")), kKeychainSuccess);
  ASSERT_EQ(keychain.add(item("svc", "b", "other")), kKeychainSuccess);

  KeychainUpdate change;
  change.data = bytesOf("new");
  change.accessibility = "kSecAttrAccessibleAfterFirstUnlock";
  EXPECT_EQ(keychain.update(query("svc", "a"), change), kKeychainSuccess);
  KeychainItem found;
  ASSERT_EQ(keychain.copyMatching(query("svc", "a"), &found), kKeychainSuccess);
  EXPECT_EQ(found.data, bytesOf("new"));
  EXPECT_EQ(found.accessibility, "kSecAttrAccessibleAfterFirstUnlock");
  EXPECT_EQ(found.generic, bytesOf("a"));  // untouched
  ASSERT_EQ(keychain.copyMatching(query("svc", "b"), &found), kKeychainSuccess);
  EXPECT_EQ(found.data, bytesOf("other"));

  EXPECT_EQ(keychain.update(query("svc", "zzz"), change), kKeychainItemNotFound);

  // Renaming "a" to "b" would make two items with one key: nothing changes.
  KeychainUpdate rename;
  rename.account = "b";
  EXPECT_EQ(keychain.update(query("svc", "a"), rename), kKeychainDuplicateItem);
  EXPECT_EQ(keychain.copyMatching(query("svc", "a"), nullptr), kKeychainSuccess);
}

TEST_F(KeychainTest, DeleteRemovesEveryMatch) {
  Keychain keychain(folder());
  for (const char* account : {"a", "b", "c"}) {
    ASSERT_EQ(keychain.add(item("svc", account, "x")), kKeychainSuccess);
  }
  ASSERT_EQ(keychain.add(item("keep", "a", "x")), kKeychainSuccess);

  EXPECT_EQ(keychain.deleteMatching(query("svc")), kKeychainSuccess);
  EXPECT_EQ(keychain.copyMatching(query("svc"), nullptr), kKeychainItemNotFound);
  EXPECT_EQ(keychain.deleteMatching(query("svc")), kKeychainItemNotFound);
  EXPECT_EQ(keychain.copyMatching(query("keep", "a"), nullptr), kKeychainSuccess);
}

TEST_F(KeychainTest, FilesAreReadableByTheOwnerOnly) {
  Keychain keychain(folder());
  ASSERT_EQ(keychain.add(item("svc", "a", "secret")), kKeychainSuccess);
  struct stat info {};
  ASSERT_EQ(::stat(folder().c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0700u);
  ASSERT_EQ(::stat((folder() + "/" + Keychain::kItemsFileName).c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0600u);
  ASSERT_EQ(::stat((folder() + "/" + Keychain::kLockFileName).c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0600u);
}

TEST_F(KeychainTest, TwoProcessesAddingToOneFolderKeepAllItems) {
  constexpr int kPerProcess = 40;
  std::vector<pid_t> children;
  for (int process = 0; process < 2; ++process) {
    pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      Keychain keychain(folder());
      for (int i = 0; i < kPerProcess; ++i) {
        std::string account = "p" + std::to_string(process) + "-" + std::to_string(i);
        if (keychain.add(item("svc", account, account)) != kKeychainSuccess) ::_exit(3);
      }
      ::_exit(0);
    }
    children.push_back(child);
  }
  for (pid_t child : children) {
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
  }
  Keychain keychain(folder());
  std::vector<KeychainItem> all;
  ASSERT_EQ(keychain.copyAllMatching(query("svc"), &all), kKeychainSuccess);
  std::set<std::string> accounts;
  for (const KeychainItem& found : all) accounts.insert(found.account);
  EXPECT_EQ(accounts.size(), 2u * kPerProcess);
}

TEST_F(KeychainTest, FailureSwitchFailsEveryOperationAndChangesNothing) {
  Keychain keychain(folder());
  ASSERT_EQ(keychain.add(item("svc", "a", "1")), kKeychainSuccess);
  keychain.TEST_setFailure(true);
  EXPECT_EQ(keychain.add(item("svc", "b", "2")), kKeychainIOError);
  EXPECT_EQ(keychain.deleteMatching(query("svc")), kKeychainIOError);
  EXPECT_EQ(keychain.copyMatching(query("svc"), nullptr), kKeychainIOError);
  keychain.TEST_setFailure(false);
  std::vector<KeychainItem> all;
  ASSERT_EQ(keychain.copyAllMatching(query("svc"), &all), kKeychainSuccess);
  ASSERT_EQ(all.size(), 1u);
  EXPECT_EQ(all[0].account, "a");
}

TEST_F(KeychainTest, CorruptStoreIsKeptAsideAndStartsEmpty) {
  const std::string garbage = "definitely not a property list";
  writeTextFile(folder() + "/" + Keychain::kItemsFileName, garbage);
  Keychain keychain(folder());
  EXPECT_EQ(keychain.copyMatching(query("svc"), nullptr), kKeychainItemNotFound);
  EXPECT_EQ(keychain.add(item("svc", "a", "1")), kKeychainSuccess);
  EXPECT_EQ(readTextFile(folder() + "/" + Keychain::kItemsFileName + ".corrupt"), garbage);
}

}  // namespace
