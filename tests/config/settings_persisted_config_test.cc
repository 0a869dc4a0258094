#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "config/TLMPersistedConfig.h"
#include "config/TLMPersistedConfigKeys.h"
#include "config/TLMSettingsKeys.h"
#include "config/TLMUserDefaults.h"
#include "platform/DeterministicExecutor.h"
#include "platform/Platform.h"
#include "platform/PreferenceStore.h"
#include "settings_test_support.h"

namespace {

using Config = TLMPersistedConfig;

// What a getter answered, as text: numbers and bools printed, strings
// quoted, objects by description, none as "none".
using Reader = std::function<std::string(Config&)>;

std::string text(double value) { return Object::floating(value).stringValue(); }
std::string text(std::int64_t value) { return std::to_string(value); }
std::string text(bool value) { return value ? "true" : "false"; }
std::string text(const std::optional<std::string>& value) {
  return value ? "\"" + *value + "\"" : "none";
}
std::string text(const OptionalObject& value) { return value ? value->description() : "none"; }

template <typename Getter>
Reader reader(Getter getter) {
  return [getter](Config& config) { return text((config.*getter)()); };
}

struct AccessorCase {
  const char* key;
  Reader read;
  // What it answers with nothing stored, and with `wrongValue` stored.
  std::string whenMissing;
  Object wrongValue;
  std::string whenWrong;
};

std::vector<AccessorCase> accessorCases() {
  const Object aString("12");
  const Object aNumber = Object::integer(12);
  const Object anArray = Object::array({Object::integer(1)});
  return {
      {kTLMLastDeleteStaleKey, reader(&Config::lastDeleteStaleBundlesTimestamp), "0", aString, "0"},
      // Raw objects: handed back unchecked.
      {kTLMIsSearchAdCampaignKey, reader(&Config::searchAdCampaignValue), "none", aString, "12"},
      {kTLMSearchAdLastAttemptTimestampKey, reader(&Config::lastSearchAdLookUpTimestamp), "0",
       aString, "0"},
      {kTLMSearchAdNumberOfRetriesKey, reader(&Config::searchAdRetryCount), "0", aString, "0"},
      {kTLMAppInstanceIDKey, reader(&Config::appInstanceID), "none", aNumber, "none"},
      {kTLMQVRAppIDKey, reader(&Config::appIDFromQVR), "none", aNumber, "none"},
      {kTLMVelmoraAppIDKey, reader(&Config::appIDFromVelmora), "none", anArray, "none"},
      {kTLMHashedIDFAKey, reader(&Config::hashedResettableDeviceID), "none", aNumber, "none"},
      {kTLMLastBackoffKey, reader(&Config::lastBackoffTimestamp), "0", aString, "0"},
      {kTLMLastSuccessfulUploadKey, reader(&Config::lastSuccessfulUploadTimestamp), "0", anArray,
       "0"},
      {kTLMLastFailedUploadKey, reader(&Config::lastFailedUploadTimestamp), "0", aString, "0"},
      {kTLMAppVersionKey, reader(&Config::appVersion), "none", aNumber, "none"},
      {kTLMOSVersionKey, reader(&Config::osVersion), "none", aNumber, "none"},
      {kTLMLastMonitorDataSampledTimestampKey, reader(&Config::lastMonitorDataSampledTimestamp),
       "0", aString, "0"},
      {kTLMFirstOpenTimestampMillisecondsKey, reader(&Config::firstOpenTimestampMilliseconds), "0",
       aString, "0"},
      {kTLMLastModifiedSinceKey, reader(&Config::configServerLastModifiedString), "none", aNumber,
       "12"},
      {kTLMLoadTimestampKey, reader(&Config::loadTimestampValue), "none", aString, "12"},
      {kTLMAllowPersonalizedAdsKey, reader(&Config::allowPersonalizedAds), "none", aString, "12"},
      {kTLMQuillfenFeatureRolloutsKey, reader(&Config::quillfenFeatureRollouts), "none", aNumber,
       "none"},
      {kTLMDeepLinkRetrievalCompleteKey, reader(&Config::deferredDeepLinkRetrievalComplete), "none",
       aString, "12"},
      {kTLMDeepLinkRetryCountKey, reader(&Config::deferredDeepLinkRetryCount), "0", aString, "0"},
      {kTLMSetLastAdvertisingIDResetKey,
       reader(&Config::shouldSetLastAdvertisingIDResetUserProperty), "false", aString, "false"},
      {kTLMUnmatchedFirstOpenKey, reader(&Config::unmatchedFirstOpenWithoutIDFA), "false", aString,
       "false"},
      {kTLMStartNewSessionKey, reader(&Config::startNewSession), "false", aString, "false"},
      {kTLMLastEngagementEndKey, reader(&Config::lastSessionActivityClockTime), "0", aString, "0"},
      {kTLMEngagementTimeBeforeSessionStartKey, reader(&Config::engagementTimeBeforeSessionStart),
       "0", anArray, "0"},
      {kTLMSessionNumberKey, reader(&Config::sessionNumber), "0", aString, "0"},
      {kTLMDefaultEventParametersKey, reader(&Config::defaultEventParameters), "none", anArray,
       "none"},
  };
}

class PersistedConfigTest : public ::testing::Test {
 protected:
  Config& config() { return *TLMPersistedConfig::sharedInstance(); }
  PreferenceSuite& suite() {
    return *Platform::current().preferences().suite(kTLMMeasurementSuiteName);
  }

  TestPlatform test_;
  LogRecorder log_;
};

TEST_F(PersistedConfigTest, SharedInstanceIsOneConfigOnTheMeasurementSuite) {
  std::shared_ptr<Config> shared = TLMPersistedConfig::sharedInstance();
  ASSERT_NE(shared, nullptr);
  EXPECT_EQ(shared, TLMPersistedConfig::sharedInstance());
  EXPECT_EQ(shared->name(), "com.tarvix.qvr.measurement");
  EXPECT_EQ(TLMPersistedConfig::create(""), nullptr);
}

TEST_F(PersistedConfigTest, EveryAccessorAnswersForAMissingKeyAndForAValueOfAnotherType) {
  for (const AccessorCase& accessor : accessorCases()) {
    SCOPED_TRACE(accessor.key);
    EXPECT_EQ(accessor.read(config()), accessor.whenMissing);
    ASSERT_TRUE(suite().setObject(accessor.key, accessor.wrongValue));
    EXPECT_EQ(accessor.read(config()), accessor.whenWrong);
  }
  EXPECT_EQ(accessorCases().size(), 28u);  // every key but the midnight offset
  // The primitives answer nothing for an empty key, silently.
  EXPECT_EQ(config().int64ForKey(""), 0);
  EXPECT_EQ(config().doubleForKey(""), 0.0);
  EXPECT_FALSE(config().boolForKey(""));
  EXPECT_FALSE(config().stringForKey("").has_value());
  EXPECT_FALSE(config().dictionaryForKey("").has_value());
  EXPECT_TRUE(log_.settingsRecords().empty());
}

TEST_F(PersistedConfigTest, SettersStoreTheirTypes) {
  Config& c = config();
  c.setLastDeleteStaleBundlesTimestamp(1767225600.5);
  c.setAppInstanceID("a1b2");
  c.setFirstOpenTimestampMilliseconds(1767225600123);
  c.setShouldSetLastAdvertisingIDResetUserProperty(true);
  c.setUnmatchedFirstOpenWithoutIDFA(false);
  c.setStartNewSession(true);
  c.setSessionNumber(INT64_MAX);

  EXPECT_EQ(c.lastDeleteStaleBundlesTimestamp(), 1767225600.5);
  EXPECT_EQ(c.firstOpenTimestampMilliseconds(), 1767225600123);
  EXPECT_TRUE(c.shouldSetLastAdvertisingIDResetUserProperty());
  EXPECT_TRUE(c.startNewSession());
  EXPECT_EQ(c.sessionNumber(), INT64_MAX);

  // The stored kinds: int64 flags as integers, bools as booleans.
  EXPECT_EQ(suite().objectForKey(kTLMSetLastAdvertisingIDResetKey)->numberKind(),
            Object::NumberKind::Integer);
  EXPECT_EQ(suite().objectForKey(kTLMSetLastAdvertisingIDResetKey), Object::integer(1));
  EXPECT_EQ(suite().objectForKey(kTLMUnmatchedFirstOpenKey), Object::integer(0));
  EXPECT_EQ(suite().objectForKey(kTLMStartNewSessionKey)->numberKind(),
            Object::NumberKind::Boolean);
  EXPECT_EQ(suite().objectForKey(kTLMFirstOpenTimestampMillisecondsKey)->numberKind(),
            Object::NumberKind::Integer);

  // None removes a string.
  c.setAppInstanceID(std::nullopt);
  EXPECT_FALSE(suite().objectForKey(kTLMAppInstanceIDKey).has_value());
}

TEST_F(PersistedConfigTest, SearchAdCampaignValueKeepsOnlyNumbers) {
  config().setSearchAdCampaignValue(Object::boolean(true));
  config().setSearchAdCampaignValue(Object("no"));
  config().setSearchAdCampaignValue(std::nullopt);
  EXPECT_EQ(config().searchAdCampaignValue(), Object::boolean(true));
}

TEST_F(PersistedConfigTest, TenSettersWithinOneSecondCauseOneFlushOneSecondAfterTheLast) {
  DeterministicExecutor& executor = test_.executor();
  Config& c = config();
  for (int i = 0; i < 10; ++i) {
    c.setSessionNumber(i);
    executor.advance(0.09);  // the burst spans 0.81 s
  }
  // 0.09 s have passed since the last write.
  EXPECT_EQ(c.TEST_synchronizeCount(), 0);
  executor.advance(0.9);  // 0.99 s after the last write
  EXPECT_EQ(c.TEST_synchronizeCount(), 0);
  executor.advance(0.02);  // 1.01 s after the last write
  EXPECT_EQ(c.TEST_synchronizeCount(), 1);
  EXPECT_EQ(storedOnDisk(test_, kTLMMeasurementSuiteName, kTLMSessionNumberKey),
            Object::integer(9));
  executor.advance(10.0);
  EXPECT_EQ(c.TEST_synchronizeCount(), 1);

  // Every typed primitive schedules the flush.
  c.setBool(true, "b");
  c.setDouble(1.0, "d");
  c.setString("s", "s");
  c.setDictionary(Object::dictionary({}), "m");
  executor.advance(1.0);
  EXPECT_EQ(c.TEST_synchronizeCount(), 2);
}

TEST_F(PersistedConfigTest, DirectSettersAndACancelledFlushWriteNothing) {
  Config& c = config();
  c.setLoadTimestampValue(Object::floating(1.5));
  c.setAllowPersonalizedAds(Object::boolean(true));
  c.setDeferredDeepLinkRetrievalComplete(Object::boolean(true));
  c.setSearchAdCampaignValue(Object::boolean(false));
  test_.executor().advance(5.0);
  EXPECT_EQ(c.TEST_synchronizeCount(), 0);

  config().setSessionNumber(1);
  config().cancelScheduledSynchronize();
  test_.executor().advance(5.0);
  EXPECT_EQ(config().TEST_synchronizeCount(), 0);
  config().synchronizeToDisk();
  EXPECT_EQ(config().TEST_synchronizeCount(), 1);
}

TEST_F(PersistedConfigTest, ValuesSurviveARestartBeforeTheFlush) {
  config().setAppInstanceID("instance");
  config().setSessionNumber(12);
  config().setLoadTimestampValue(Object::floating(1767225600.5));
  config().setAllowPersonalizedAds(Object::boolean(false));
  config().setDefaultEventParameters(Object::dictionary({{Object("level"), Object::integer(7)}}));
  test_.restart();
  EXPECT_EQ(config().appInstanceID(), "instance");
  EXPECT_EQ(config().sessionNumber(), 12);
  EXPECT_EQ(config().loadTimestampValue(), Object::floating(1767225600.5));
  EXPECT_EQ(config().allowPersonalizedAds(), Object::boolean(false));
  EXPECT_EQ(*config().defaultEventParameters()->objectForKey("level"), Object::integer(7));
}

TEST_F(PersistedConfigTest, MidnightOffsetIsDrawnOnceAndAgainAfterClearValues) {
  const double first = config().midnightOffset();
  EXPECT_GE(first, 0.0);
  EXPECT_LT(first, 86400.0);
  // Millisecond resolution.
  EXPECT_EQ(std::round(first * 1000.0), first * 1000.0);
  EXPECT_EQ(config().midnightOffset(), first);
  EXPECT_EQ(suite().objectForKey(kTLMMidnightOffsetKey), Object::floating(first));

  test_.restart(7);  // another seed: the stored value wins
  EXPECT_EQ(config().midnightOffset(), first);

  config().clearValues();
  const double second = config().midnightOffset();
  EXPECT_NE(second, first);
  EXPECT_EQ(config().midnightOffset(), second);

  // A stored value of another type is replaced.
  ASSERT_TRUE(suite().setObject(kTLMMidnightOffsetKey, Object("3600")));
  const double offset = config().midnightOffset();
  EXPECT_TRUE(suite().objectForKey(kTLMMidnightOffsetKey)->isNumber());
  EXPECT_EQ(config().midnightOffset(), offset);
}

TEST_F(PersistedConfigTest, ClearValuesEmptiesOnlyTheMeasurementSuite) {
  config().setSessionNumber(4);
  config().setAppInstanceID("id");
  TLMUserDefaults::standardUserDefaults().setInteger(1, kTLMMeasurementEnabledStateKey);
  config().clearValues();
  EXPECT_TRUE(suite().allKeys().empty());
  EXPECT_EQ(config().sessionNumber(), 0);
  EXPECT_EQ(config().measurementEnabledState(), 1);
}

TEST_F(PersistedConfigTest, MeasurementEnabledStateLivesInTheAppDomainAndIsWrittenAtOnce) {
  EXPECT_EQ(config().measurementEnabledState(), 0);
  config().setMeasurementEnabledState(2);
  EXPECT_EQ(config().measurementEnabledState(), 2);
  EXPECT_FALSE(suite().objectForKey(kTLMMeasurementEnabledStateKey).has_value());
  // On disk without any flush delay.
  EXPECT_EQ(storedOnDisk(test_, TestPlatform::kBundleIdentifier, kTLMMeasurementEnabledStateKey),
            Object::integer(2));
  TLMUserDefaults::standardUserDefaults().setObject(Object("2"), kTLMMeasurementEnabledStateKey);
  EXPECT_EQ(config().measurementEnabledState(), 0);
}

TEST_F(PersistedConfigTest, UnsupportedDictionaryValuesAreRefusedThroughTheMonitor) {
  const Object kept = Object::dictionary({{Object("a"), Object::integer(1)}});
  config().setDefaultEventParameters(kept);
  config().setDefaultEventParameters(
      Object::dictionary({{Object("a"), Object::null()}, {Object("b"), Object::integer(2)}}));
  config().setDefaultEventParameters(Object::dictionary({{Object::integer(1), Object("x")}}));
  config().setDefaultEventParameters(Object("not a dictionary"));
  EXPECT_EQ(config().defaultEventParameters(), kept);
  test_.executor().runUntilIdle();
  EXPECT_EQ(log_.matching("[I-ACS027002] Unsupported value passed in dictionary").size(), 3u);
  // None removes the parameters.
  config().setDefaultEventParameters(std::nullopt);
  EXPECT_FALSE(config().defaultEventParameters().has_value());
}

// Real threads: concurrent first readers agree on one midnight offset, and
// concurrent writers are serialised by the queue.
TEST(PersistedConfigThreadsTest, ConcurrentCallersSeeOneConsistentStore) {
  TestPlatform folders;  // for the folders; replaced by a production Platform
  std::shared_ptr<Platform> production = Platform::createProduction(folders.paths());
  Platform::install(production);
  {
    std::shared_ptr<Config> config = TLMPersistedConfig::create(kTLMMeasurementSuiteName);
    std::vector<double> offsets(4);
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
      threads.emplace_back([&, t] {
        offsets[t] = config->midnightOffset();
        for (int i = 0; i < 50; ++i) {
          config->setSessionNumber(config->sessionNumber() + 1);
          config->setString("thread" + std::to_string(t), "last_writer");
        }
      });
    }
    for (std::thread& thread : threads) thread.join();
    for (double offset : offsets) EXPECT_EQ(offset, offsets[0]);
    EXPECT_GT(config->sessionNumber(), 0);
    EXPECT_TRUE(config->stringForKey("last_writer").has_value());
    config->cancelScheduledSynchronize();
  }
  TEST_resetSharedInstances();
  Platform::install(nullptr);
  production.reset();  // joins its threads
}

}  // namespace
