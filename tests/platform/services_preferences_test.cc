#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "platform/FileAttributes.h"
#include "platform/PreferenceStore.h"
#include "platform/PropertyList.h"
#include "platform_test_support.h"

namespace {

constexpr const char* kBundleID = "com.example.game";

class PreferenceStoreTest : public ::testing::Test {
 protected:
  std::unique_ptr<PreferenceStore> makeStore() {
    return std::make_unique<PreferenceStore>(container_.path(), services_.dispatch,
                                             services_.center, kBundleID);
  }
  std::string fileOf(const std::string& suite) const {
    return container_ / ("Library/Preferences/" + suite + ".plist");
  }
  OptionalObject storedValue(const std::string& suite, const std::string& key) const {
    OptionalObject root = PropertyList::readFile(fileOf(suite), nullptr);
    if (!root || !root->objectForKey(key)) return std::nullopt;
    return *root->objectForKey(key);
  }

  TempFolder container_;
  DeterministicServices services_;
};

TEST_F(PreferenceStoreTest, TwoHandlesOnOneSuiteSeeEachOthersWrites) {
  auto store = makeStore();
  auto first = store->suite("TLMAnalyticsSuiteName");
  auto second = store->suite("TLMAnalyticsSuiteName");
  ASSERT_TRUE(first && second);
  ASSERT_TRUE(first->setObject("consent_source", Object::integer(21)));
  EXPECT_EQ(second->objectForKey("consent_source"), Object::integer(21));
  second->removeObjectForKey("consent_source");
  EXPECT_FALSE(first->objectForKey("consent_source").has_value());

  // "" and the bundle identifier both name the app's own domain.
  ASSERT_TRUE(store->suite("")->setObject("k", Object("v")));
  EXPECT_EQ(store->suite(kBundleID)->objectForKey("k"), Object("v"));
  EXPECT_EQ(store->standardSuite()->path(), fileOf(kBundleID));
  EXPECT_FALSE(store->suite("other")->objectForKey("k").has_value());
}

TEST_F(PreferenceStoreTest, SavesOnItsOwnOneSecondAfterTheLastChange) {
  auto store = makeStore();
  auto suite = store->suite("debounced");
  ASSERT_TRUE(suite->setObject("a", Object::integer(1)));
  services_.executor->runUntilIdle();
  EXPECT_FALSE(std::filesystem::exists(fileOf("debounced")));

  services_.executor->advance(0.5);
  ASSERT_TRUE(suite->setObject("b", Object::integer(2)));  // restarts the wait
  services_.executor->advance(0.9);
  EXPECT_FALSE(std::filesystem::exists(fileOf("debounced")));
  EXPECT_TRUE(suite->hasUnsavedChanges());

  services_.executor->advance(0.2);
  EXPECT_EQ(storedValue("debounced", "a"), Object::integer(1));
  EXPECT_EQ(storedValue("debounced", "b"), Object::integer(2));
  EXPECT_FALSE(suite->hasUnsavedChanges());
  EXPECT_EQ(services_.executor->pendingTimerCount(), 0u);
}

TEST_F(PreferenceStoreTest, GoingToTheBackgroundSaves) {
  auto store = makeStore();
  ASSERT_TRUE(store->suite("bg")->setObject("k", Object("v")));
  services_.center.post(PreferenceStore::kDidEnterBackgroundNotification);
  EXPECT_EQ(storedValue("bg", "k"), Object("v"));
}

TEST_F(PreferenceStoreTest, ExplicitSynchronizeAndDestructionSave) {
  auto store = makeStore();
  ASSERT_TRUE(store->suite("s")->setObject("k", Object::integer(5)));
  EXPECT_TRUE(store->suite("s")->synchronize());
  EXPECT_EQ(storedValue("s", "k"), Object::integer(5));

  ASSERT_TRUE(store->suite("s")->setObject("k", Object::integer(6)));
  store.reset();
  EXPECT_EQ(storedValue("s", "k"), Object::integer(6));

  struct stat info {};
  ASSERT_EQ(::stat(fileOf("s").c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0600u);
}

TEST_F(PreferenceStoreTest, UnsavedSettingsSurviveANormalProcessExit) {
  pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    // A fresh production-like setup in the child: real threads, no explicit
    // synchronise, exit right away.
    // Held in statics: never destroyed, as in production, yet reachable.
    static std::shared_ptr<Executor> executor =
        makeThreadPoolExecutor(std::make_shared<SystemClock>(), 2);
    static Dispatch* dispatch = new Dispatch(executor);
    static NotificationCenter* center = new NotificationCenter;
    static PreferenceStore* store =
        new PreferenceStore(container_.path(), *dispatch, *center, kBundleID);
    bool ok = store->suite("exit")->setObject("when", Object::date(1767225600.123456789)) &&
              store->standardSuite()->setObject("flag", Object::boolean(true));
    std::exit(ok ? 0 : 3);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  ASSERT_EQ(WEXITSTATUS(status), 0);

  auto store = makeStore();
  OptionalObject when = store->suite("exit")->objectForKey("when");
  ASSERT_TRUE(when.has_value());
  EXPECT_EQ(when->dateValue(), 1767225600.123456789);
  EXPECT_EQ(store->standardSuite()->objectForKey("flag"), Object::boolean(true));
}

TEST_F(PreferenceStoreTest, CorruptFileIsSurvivedAndKeptAside) {
  const std::string garbage = "bplist00 this is not what it claims";
  writeTextFile(fileOf("broken"), garbage);
  writeTextFile(fileOf("notdict"), R"(<plist version="1.0"><string>x</string></plist>)");
  auto store = makeStore();

  auto suite = store->suite("broken");
  EXPECT_TRUE(suite->allKeys().empty());
  EXPECT_FALSE(std::filesystem::exists(fileOf("broken")));
  EXPECT_EQ(readTextFile(fileOf("broken") + ".corrupt"), garbage);
  EXPECT_TRUE(store->suite("notdict")->allKeys().empty());

  // Reported to a handler set later.
  std::vector<std::pair<std::string, long>> reports;
  store->setDiagnosticsHandler(
      [&](const std::string& name, const Error& error) { reports.emplace_back(name, error.code); });
  EXPECT_EQ(reports, (std::vector<std::pair<std::string, long>>{
                         {"broken", PreferenceStore::kCorruptFile},
                         {"notdict", PreferenceStore::kCorruptFile}}));

  ASSERT_TRUE(suite->setObject("k", Object("fresh")));
  EXPECT_TRUE(suite->synchronize());
  EXPECT_EQ(storedValue("broken", "k"), Object("fresh"));
  EXPECT_EQ(readTextFile(fileOf("broken") + ".corrupt"), garbage);
}

TEST_F(PreferenceStoreTest, WriteFailureKeepsValuesInMemoryForALaterSave) {
  auto store = makeStore();
  std::vector<long> reports;
  store->setDiagnosticsHandler(
      [&](const std::string&, const Error& e) { reports.push_back(e.code); });
  auto suite = store->suite("full");
  ASSERT_TRUE(suite->setObject("k", Object::integer(1)));
  ASSERT_TRUE(suite->synchronize());

  store->TEST_setWriteFailure(true);
  ASSERT_TRUE(suite->setObject("k", Object::integer(2)));
  EXPECT_FALSE(suite->synchronize());
  services_.executor->advance(2.0);  // the automatic save fails as well
  EXPECT_EQ(suite->objectForKey("k"), Object::integer(2));
  EXPECT_TRUE(suite->hasUnsavedChanges());
  EXPECT_EQ(storedValue("full", "k"), Object::integer(1));  // old file intact
  EXPECT_EQ(reports,
            (std::vector<long>{PreferenceStore::kWriteFailed, PreferenceStore::kWriteFailed}));

  store->TEST_setWriteFailure(false);
  EXPECT_TRUE(suite->synchronize());
  EXPECT_EQ(storedValue("full", "k"), Object::integer(2));
  EXPECT_FALSE(suite->hasUnsavedChanges());
}

TEST_F(PreferenceStoreTest, RefusesValuesThatCannotBeStoredAndKeepsTheOldOne) {
  auto store = makeStore();
  auto suite = store->suite("types");
  ASSERT_TRUE(suite->setObject("k", Object("old")));
  EXPECT_FALSE(suite->setObject("k", Object::null()));
  EXPECT_FALSE(suite->setObject("k", Object::url("https://example.com")));
  EXPECT_FALSE(suite->setObject("k", Object::set({Object("a")})));
  EXPECT_FALSE(suite->setObject("k", Object::array({Object::null()})));
  EXPECT_FALSE(suite->setObject("", Object("v")));
  EXPECT_EQ(suite->objectForKey("k"), Object("old"));
  EXPECT_TRUE(suite->setObject("k", std::nullopt));
  EXPECT_FALSE(suite->objectForKey("k").has_value());
}

TEST_F(PreferenceStoreTest, RemovePersistentDomainDeletesValuesAndFile) {
  auto store = makeStore();
  ASSERT_TRUE(store->suite("gone")->setObject("k", Object("v")));
  ASSERT_TRUE(store->suite("gone")->synchronize());
  ASSERT_TRUE(store->suite("kept")->setObject("k", Object("v")));  // in memory only
  EXPECT_EQ(store->persistentDomainNames(), (std::vector<std::string>{"gone", "kept"}));

  EXPECT_TRUE(store->removePersistentDomain("gone"));
  EXPECT_FALSE(std::filesystem::exists(fileOf("gone")));
  EXPECT_TRUE(store->suite("gone")->allKeys().empty());
  EXPECT_EQ(store->persistentDomainNames(), (std::vector<std::string>{"kept"}));
  services_.executor->advance(5);  // no pending save brings it back
  EXPECT_FALSE(std::filesystem::exists(fileOf("gone")));
}

TEST_F(PreferenceStoreTest, RejectsSuiteNamesThatLeaveThePreferencesFolder) {
  auto store = makeStore();
  EXPECT_EQ(store->suite("../escape"), nullptr);
  EXPECT_EQ(store->suite(".."), nullptr);
  EXPECT_EQ(store->suite(std::string("a\0b", 3)), nullptr);
  EXPECT_EQ(store->suite(std::string(PreferenceStore::kMaxNameBytes + 1, 'x')), nullptr);
  EXPECT_NE(store->suite(std::string(PreferenceStore::kMaxNameBytes, 'x')), nullptr);
  Error error;
  EXPECT_FALSE(store->removePersistentDomain("a/b", &error));
  EXPECT_EQ(error.code, PreferenceStore::kInvalidName);
}

TEST_F(PreferenceStoreTest, BackupExclusionSurvivesRewritingTheFile) {
  auto store = makeStore();
  auto suite = store->suite("excluded");
  ASSERT_TRUE(suite->setObject("k", Object::integer(1)));
  ASSERT_TRUE(suite->synchronize());
  FileAttributes attributes;
  ASSERT_TRUE(attributes.setExcludedFromBackup(suite->path(), true, nullptr));
  if (!attributes.isExcludedFromBackup(suite->path())) {
    GTEST_SKIP() << "no extended attributes on this file system";
  }
  ASSERT_TRUE(suite->setObject("k", Object::integer(2)));
  ASSERT_TRUE(suite->synchronize());
  EXPECT_EQ(storedValue("excluded", "k"), Object::integer(2));
  EXPECT_TRUE(attributes.isExcludedFromBackup(suite->path()));
}

TEST_F(PreferenceStoreTest, ConcurrentWritersAndSavesLoseNothing) {
  constexpr int kThreads = 4;
  constexpr int kKeysPerThread = 100;
  {
    auto executor = makeThreadPoolExecutor(std::make_shared<SystemClock>(), 2);
    Dispatch dispatch(executor);
    NotificationCenter center;
    PreferenceStore store(container_.path(), dispatch, center, kBundleID);
    std::vector<std::thread> writers;
    for (int t = 0; t < kThreads; ++t) {
      writers.emplace_back([&store, t] {
        auto suite = store.suite("shared");
        for (int i = 0; i < kKeysPerThread; ++i) {
          std::string key = std::to_string(t) + "." + std::to_string(i);
          EXPECT_TRUE(suite->setObject(key, Object::integer(i)));
          if (i % 10 == 0) {
            EXPECT_TRUE(suite->synchronize());
          }
        }
      });
    }
    for (std::thread& writer : writers) writer.join();
    center.post(PreferenceStore::kDidEnterBackgroundNotification);
  }
  auto suite = makeStore()->suite("shared");
  EXPECT_EQ(suite->allKeys().size(), static_cast<std::size_t>(kThreads * kKeysPerThread));
  EXPECT_EQ(suite->objectForKey("3.99"), Object::integer(99));
}

}  // namespace
