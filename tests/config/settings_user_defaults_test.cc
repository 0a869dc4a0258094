#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "config/TLMSettingsKeys.h"
#include "config/TLMUserDefaults.h"
#include "platform/FileAttributes.h"
#include "platform/Platform.h"
#include "platform/PreferenceStore.h"
#include "settings_test_support.h"

namespace {

constexpr char kSuite[] = "com.ferrolux.tests.settings";

std::string warning(const std::string& code, const std::string& text) {
  return std::string(LogRecorder::kPrefix) + "W <Ferrolux>[" + code + "] " + text;
}

std::string errorRecord(const std::string& code, const std::string& text) {
  return std::string(LogRecorder::kPrefix) + "E <Ferrolux>[" + code + "] " + text;
}

const std::string kRefusedValue =
    "Cannot set invalid object to user defaults. Must be a string or number or an array. Value ";

// Both back ends: true = preference-library mode ("UseCFPreferencesLibrary"
// absent), false = user-defaults mode ("UseCFPreferencesLibrary" NO).
class UserDefaultsTest : public ::testing::TestWithParam<bool> {
 protected:
  void SetUp() override {
    if (!GetParam()) {
      writeInfoPlist(test_, "<key>UseCFPreferencesLibrary</key><false/>");
      test_.restart();
    }
    ASSERT_EQ(TLMUserDefaults::userPreferenceEnabled(), GetParam());
  }

  TestPlatform test_;
  LogRecorder log_;
};

INSTANTIATE_TEST_SUITE_P(BothBackEnds, UserDefaultsTest, ::testing::Bool(),
                         [](const ::testing::TestParamInfo<bool>& info) {
                           return info.param ? "PreferenceLibrary" : "UserDefaults";
                         });

TEST_P(UserDefaultsTest, MissingOrOtherKindAnswersNothingOrZero) {
  TLMUserDefaults store(kSuite);
  EXPECT_EQ(store.useCFPreferencesLibrary(), GetParam());
  EXPECT_FALSE(store.objectForKey("missing").has_value());
  EXPECT_EQ(store.integerForKey("missing"), 0);
  EXPECT_EQ(store.doubleForKey("missing"), 0.0);
  EXPECT_EQ(store.floatForKey("missing"), 0.0f);
  EXPECT_FALSE(store.boolForKey("missing"));
  EXPECT_FALSE(store.stringForKey("missing").has_value());
  EXPECT_FALSE(store.arrayForKey("missing").has_value());
  EXPECT_FALSE(store.dictionaryForKey("missing").has_value());
  EXPECT_TRUE(log_.settingsRecords().empty());

  // Numeric accessors answer zero for a stored value of another kind.
  store.setObject(Object("12.5"), "string");
  store.setObject(Object::array({Object::integer(1)}), "array");
  for (const char* key : {"string", "array"}) {
    EXPECT_EQ(store.integerForKey(key), 0) << key;
    EXPECT_EQ(store.doubleForKey(key), 0.0) << key;
    EXPECT_EQ(store.floatForKey(key), 0.0f) << key;
    EXPECT_FALSE(store.boolForKey(key)) << key;
  }
  // The object accessors hand back what is stored, unchecked.
  EXPECT_EQ(store.stringForKey("array"), Object::array({Object::integer(1)}));
  EXPECT_EQ(store.dictionaryForKey("string"), Object("12.5"));
  EXPECT_EQ(store.arrayForKey("string"), Object("12.5"));
}

TEST_P(UserDefaultsTest, TypedSettersStoreNumbersOfTheirKind) {
  TLMUserDefaults store(kSuite);
  store.setInteger(INT64_MIN, "integer");
  store.setDouble(0.1, "double");
  store.setFloat(1.5f, "float");
  store.setBool(true, "bool");
  EXPECT_EQ(store.integerForKey("integer"), INT64_MIN);
  EXPECT_EQ(store.doubleForKey("double"), 0.1);
  EXPECT_EQ(store.floatForKey("float"), 1.5f);
  EXPECT_TRUE(store.boolForKey("bool"));
  EXPECT_EQ(store.objectForKey("bool")->numberKind(), Object::NumberKind::Boolean);
  EXPECT_EQ(store.objectForKey("integer")->numberKind(), Object::NumberKind::Integer);
  EXPECT_EQ(store.objectForKey("double")->numberKind(), Object::NumberKind::Floating);
  // A floating number reads as an integer by truncation.
  store.setDouble(-7.9, "double");
  EXPECT_EQ(store.integerForKey("double"), -7);
}

TEST_P(UserDefaultsTest, AcceptsStringsNumbersArraysDictionariesDatesAndData) {
  TLMUserDefaults store(kSuite);
  const Object dictionary =
      Object::dictionary({{Object("a"), Object::array({Object("x"), Object::floating(2.5)})}});
  const Object values[] = {Object("text"), Object::integer(3), dictionary,
                           Object::date(1767225600.25), Object::data({0, 1, 255})};
  int index = 0;
  for (const Object& value : values) {
    const std::string key = "k" + std::to_string(index++);
    ASSERT_TRUE(store.setObjectWithResult(value, key)) << value.description();
    EXPECT_EQ(store.objectForKey(key), value);
  }
  EXPECT_TRUE(log_.settingsRecords().empty());
}

TEST_P(UserDefaultsTest, NilRemovesTheKey) {
  TLMUserDefaults store(kSuite);
  store.setObject(Object("kept"), "key");
  store.setObject(std::nullopt, "key");
  EXPECT_FALSE(store.objectForKey("key").has_value());
  store.setInteger(4, "key");
  store.removeObjectForKey("key");
  EXPECT_FALSE(store.objectForKey("key").has_value());
  EXPECT_TRUE(log_.settingsRecords().empty());
}

TEST_P(UserDefaultsTest, NullSetsURLsAndOpaqueObjectsAreRefusedWithTheirMessage) {
  TLMUserDefaults store(kSuite);
  store.setObject(Object("old"), "key");
  EXPECT_FALSE(store.setObjectWithResult(Object::null(), "key"));
  EXPECT_EQ(log_.settingsRecords(),
            std::vector<std::string>{warning("I-ACS041003", kRefusedValue + "<null>")});
  store.setObject(Object::set({Object("a")}), "key");
  store.setObject(Object::url("https://example.com/a"), "key");
  store.setObject(Object::opaque("__SwiftValue", "opaque"), "key");
  // Inside a container the store refuses what it cannot hold, too.
  store.setObject(Object::array({Object("a"), Object::null()}), "key");
  EXPECT_EQ(store.objectForKey("key"), Object("old"));
  const auto records = log_.matching("[I-ACS041003] " + kRefusedValue);
  ASSERT_EQ(records.size(), 5u);
  EXPECT_EQ(
      records[2],
      warning("I-ACS041003", kRefusedValue + Object::url("https://example.com/a").description()));
}

TEST_P(UserDefaultsTest, EmptyKeysAreRefusedWithTheirMessages) {
  TLMUserDefaults store(kSuite);
  EXPECT_FALSE(store.objectForKey("").has_value());
  store.setObject(Object("value"), "");
  EXPECT_EQ(log_.settingsRecords(),
            (std::vector<std::string>{
                warning("I-ACS041001", "Cannot get object for invalid user default key."),
                warning("I-ACS041002", "Cannot set object for invalid user default key.")}));
  EXPECT_TRUE(Platform::current().preferences().suite(kSuite)->allKeys().empty());
}

TEST_P(UserDefaultsTest, ValuesSurviveARestartWithoutAnExplicitSynchronize) {
  {
    TLMUserDefaults store(kSuite);
    store.setObject(Object("persisted"), "string");
    store.setDouble(1767225600.123456, "double");
    TLMUserDefaults::standardUserDefaults().setBool(true, kTLMDebugModeKey);
  }
  test_.restart();
  ASSERT_EQ(TLMUserDefaults::userPreferenceEnabled(), GetParam());
  TLMUserDefaults reopened(kSuite);
  EXPECT_EQ(reopened.objectForKey("string"), Object("persisted"));
  EXPECT_EQ(reopened.doubleForKey("double"), 1767225600.123456);
  EXPECT_TRUE(TLMUserDefaults::standardUserDefaults().boolForKey(kTLMDebugModeKey));
  // Really on disk, in the suite's own file.
  EXPECT_EQ(storedOnDisk(test_, kSuite, "string"), Object("persisted"));
}

TEST_P(UserDefaultsTest, SynchronizeWritesTheSuiteFile) {
  TLMUserDefaults store(kSuite);
  store.setInteger(42, "answer");
  EXPECT_FALSE(storedOnDisk(test_, kSuite, "answer").has_value());
  EXPECT_TRUE(store.synchronize());
  EXPECT_EQ(storedOnDisk(test_, kSuite, "answer"), Object::integer(42));
}

TEST_P(UserDefaultsTest, ClearAllDataEmptiesOnlyItsOwnDomain) {
  TLMUserDefaults store(kSuite);
  TLMUserDefaults other("com.ferrolux.tests.other");
  store.setInteger(1, "a");
  store.setObject(Object("b"), "b");
  other.setInteger(2, "a");
  ASSERT_TRUE(store.synchronize());
  store.clearAllData();
  EXPECT_FALSE(store.objectForKey("a").has_value());
  EXPECT_FALSE(store.objectForKey("b").has_value());
  EXPECT_EQ(other.integerForKey("a"), 2);
  // The store keeps working afterwards, and the removal reaches the disk.
  store.setInteger(3, "c");
  ASSERT_TRUE(store.synchronize());
  EXPECT_FALSE(storedOnDisk(test_, kSuite, "a").has_value());
  EXPECT_EQ(storedOnDisk(test_, kSuite, "c"), Object::integer(3));

  // The app domain's store clears the bundle identifier's suite.
  TLMUserDefaults& standard = TLMUserDefaults::standardUserDefaults();
  standard.setInteger(1, kTLMMeasurementEnabledStateKey);
  ASSERT_TRUE(standard.synchronize());
  standard.clearAllData();
  EXPECT_FALSE(standard.objectForKey(kTLMMeasurementEnabledStateKey).has_value());
  EXPECT_FALSE(Platform::current()
                   .preferences()
                   .suite(TestPlatform::kBundleIdentifier)
                   ->objectForKey(kTLMMeasurementEnabledStateKey)
                   .has_value());
}

TEST_P(UserDefaultsTest, SwitchingTheBackEndKeepsTheValues) {
  TLMUserDefaults store(kSuite);
  store.setObject(Object("before"), "key");
  store.setUseCFPreferencesLibrary(!GetParam());
  EXPECT_EQ(store.useCFPreferencesLibrary(), !GetParam());
  EXPECT_EQ(store.objectForKey("key"), Object("before"));
  store.setObject(Object("after"), "key");
  store.setUseCFPreferencesLibrary(GetParam());
  EXPECT_EQ(store.objectForKey("key"), Object("after"));
  // Setting the current mode again changes nothing.
  store.setUseCFPreferencesLibrary(GetParam());
  EXPECT_EQ(store.objectForKey("key"), Object("after"));
}

TEST_P(UserDefaultsTest, BackupExclusionOnlyOnceTheFileExistsAndRetriedAfterAFailure) {
  FileAttributes& attributes = Platform::current().fileAttributes();
  TLMUserDefaults store(kSuite);
  ASSERT_FALSE(store.isPreferenceFileExcluded());

  // Nothing stored yet: no file, so no attempt (the armed failure is left).
  attributes.TEST_failNextSetCalls(1);
  store.synchronize();
  ASSERT_FALSE(std::filesystem::exists(preferencesFileOf(test_, kSuite)));
  EXPECT_FALSE(store.isPreferenceFileExcluded());
  EXPECT_TRUE(log_.settingsRecords().empty());

  // The file now exists; the attempt fails and is logged.
  store.setInteger(1, "a");
  store.synchronize();
  EXPECT_FALSE(store.isPreferenceFileExcluded());
  const auto records = log_.settingsRecords();
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(records[0].rfind(warning("I-ACS041000",
                                     "Failed to exclude preferences file from backup. Error code "
                                     "Error Domain=NSPOSIXErrorDomain Code=5"),
                             0),
            0u)
      << records[0];

  // Retried at the next synchronise, which succeeds.
  log_.clear();
  store.synchronize();
  EXPECT_TRUE(store.isPreferenceFileExcluded());
  EXPECT_TRUE(log_.settingsRecords().empty());

  // Never attempted again: an armed failure stays unused.
  attributes.TEST_failNextSetCalls(1);
  store.synchronize();
  const std::string probe = test_.root() + "/probe";
  std::ofstream(probe) << "x";
  Error error;
  EXPECT_FALSE(attributes.setExcludedFromBackup(probe, true, &error));
}

TEST_P(UserDefaultsTest, TheStandardStoreNeverExcludesItsFile) {
  FileAttributes& attributes = Platform::current().fileAttributes();
  TLMUserDefaults& standard = TLMUserDefaults::standardUserDefaults();
  EXPECT_TRUE(standard.isPreferenceFileExcluded());
  standard.setInteger(1, kTLMMeasurementEnabledStateKey);
  attributes.TEST_failNextSetCalls(1);
  EXPECT_TRUE(standard.synchronize());
  ASSERT_TRUE(std::filesystem::exists(preferencesFileOf(test_, TestPlatform::kBundleIdentifier)));
  const std::string probe = test_.root() + "/probe";
  std::ofstream(probe) << "x";
  Error error;
  EXPECT_FALSE(attributes.setExcludedFromBackup(probe, true, &error));  // failure unused
  EXPECT_TRUE(log_.settingsRecords().empty());
}

TEST_P(UserDefaultsTest, AFailedSaveIsReportedOnlyByThePreferenceLibraryBackEnd) {
  TLMUserDefaults store(kSuite);
  store.setInteger(1, "a");
  Platform::current().fileAttributes().TEST_failNextSetCalls(1);
  ASSERT_TRUE(store.synchronize());  // the file exists, exclusion failed
  ASSERT_FALSE(store.isPreferenceFileExcluded());
  log_.clear();

  Platform::current().preferences().TEST_setWriteFailure(true);
  store.setInteger(2, "a");
  EXPECT_FALSE(store.synchronize());
  Platform::current().preferences().TEST_setWriteFailure(false);
  const auto records = log_.settingsRecords();
  if (GetParam()) {
    EXPECT_EQ(records, std::vector<std::string>{
                           errorRecord("I-ACS041004", "Cannot synchronize user defaults to disk")});
  } else {
    EXPECT_TRUE(records.empty());
  }
  // Backup exclusion was still attempted, and succeeded.
  EXPECT_TRUE(store.isPreferenceFileExcluded());
}

// "UseCFPreferencesLibrary" is read once from the main bundle: only a
// number counts.
TEST(UserDefaultsModeTest, OnlyANumberSelectsTheBackEnd) {
  TestPlatform test;
  EXPECT_TRUE(TLMUserDefaults::userPreferenceEnabled());
  writeInfoPlist(test, "<key>UseCFPreferencesLibrary</key><true/>");
  test.restart();
  EXPECT_TRUE(TLMUserDefaults::userPreferenceEnabled());
  writeInfoPlist(test, "<key>UseCFPreferencesLibrary</key><integer>0</integer>");
  test.restart();
  EXPECT_FALSE(TLMUserDefaults::userPreferenceEnabled());
  EXPECT_FALSE(TLMUserDefaults(kSuite).useCFPreferencesLibrary());
  writeInfoPlist(test, "<key>UseCFPreferencesLibrary</key><string>NO</string>");
  test.restart();
  EXPECT_TRUE(TLMUserDefaults::userPreferenceEnabled());
}

// Values written in one mode are read in the other after a restart: both
// keep the same suite file.
TEST(UserDefaultsModeTest, BothBackEndsShareTheSuiteFile) {
  TestPlatform test;
  writeInfoPlist(test, "<key>UseCFPreferencesLibrary</key><false/>");
  test.restart();
  TLMUserDefaults(kSuite).setObject(Object("from user defaults"), "key");
  writeInfoPlist(test, "");
  test.restart();
  ASSERT_TRUE(TLMUserDefaults::userPreferenceEnabled());
  TLMUserDefaults store(kSuite);
  EXPECT_EQ(store.objectForKey("key"), Object("from user defaults"));
  store.setObject(Object("from the preference library"), "key");
  writeInfoPlist(test, "<key>UseCFPreferencesLibrary</key><false/>");
  test.restart();
  EXPECT_EQ(TLMUserDefaults(kSuite).objectForKey("key"), Object("from the preference library"));
}

// Real threads: readers and writers on their own keys keep seeing their
// values while another thread switches the back end back and forth.
TEST(UserDefaultsThreadsTest, ModeSwitchesDoNotDisturbConcurrentReadersAndWriters) {
  TestPlatform folders;  // for the folders; replaced by a production Platform
  std::shared_ptr<Platform> production = Platform::createProduction(folders.paths());
  Platform::install(production);
  {
    TLMUserDefaults store(kSuite);
    std::vector<int> mismatches(3, 0);
    std::vector<std::thread> threads;
    for (int t = 0; t < 3; ++t) {
      threads.emplace_back([&store, &mismatches, t] {
        const std::string key = "thread" + std::to_string(t);
        for (int i = 0; i < 200; ++i) {
          store.setInteger(i, key);
          if (store.integerForKey(key) != i) ++mismatches[t];
        }
      });
    }
    for (int i = 0; i < 100; ++i) store.setUseCFPreferencesLibrary(i % 2 == 0);
    for (std::thread& thread : threads) thread.join();
    EXPECT_EQ(mismatches, std::vector<int>(3, 0));
    EXPECT_EQ(store.integerForKey("thread2"), 199);
    EXPECT_TRUE(store.synchronize());
  }
  TEST_resetSharedInstances();
  Platform::install(nullptr);
  production.reset();  // joins its threads
}

}  // namespace
