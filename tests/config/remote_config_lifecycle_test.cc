// Creation bound to the database, the stored configuration across a
// restart, expiry and reset.
#include <set>

#include "config/remote_config_test_support.h"
#include "storage/store_test_support.h"

namespace {

using RemoteConfigLifecycle = RemoteConfigTest;

TEST_F(RemoteConfigLifecycle, CreationNeedsAnAppIDAndADatabaseAndStartsAtTheDefaults) {
  EXPECT_EQ(create(nullptr, {}, ""), nullptr);
  EXPECT_TRUE(wasPrinted(kTLMRemoteConfigCodeNoAppID));
  EXPECT_FALSE(wasPrinted(kTLMRemoteConfigCodeNoDatabase));
  std::shared_ptr<TLMRemoteConfig> config;
  onWorker([&] {
    config =
        TLMRemoteConfig::initWithAppID(kRemoteConfigAppID, std::weak_ptr<TLMDatabase>(), nullptr);
  });
  EXPECT_EQ(config, nullptr);
  EXPECT_TRUE(wasPrinted(kTLMRemoteConfigCodeNoDatabase));

  // With nothing stored every answer is a default.
  EXPECT_FALSE(wasPrinted(kTLMRemoteConfigCodeNotStored));
  config = create();
  ASSERT_NE(config, nullptr);
  EXPECT_FALSE(config->isDefaultInstance());
  EXPECT_EQ(config->appID(), kRemoteConfigAppID);
  EXPECT_TRUE(TLMRemoteConfig::defaultInstance().isDefaultInstance());
  EXPECT_TRUE(wasPrinted(kTLMRemoteConfigCodeNotStored));
  EXPECT_EQ(config->version(), -1);
  EXPECT_EQ(config->measurementConfig(), nullptr);
  EXPECT_EQ(config->uploadingInterval(), 3600.0);
  EXPECT_EQ(config->maxEventsPerDay(), 100000);
  EXPECT_TRUE(config->isConsentSettingsEnabled());
  EXPECT_FALSE(config->isEventBlocklisted("level_up"));
}

TEST_F(RemoteConfigLifecycle, AGivenConfigurationIsAppliedAtCreation) {
  std::shared_ptr<TLMRemoteConfig> config;
  const TLMPBMeasurementConfig sent =
      makeConfig(kRemoteConfigAppID, {{kUploadIntervalFlag, "60000"}}, {}, 3);
  onWorker([&] {
    config = TLMRemoteConfig::initWithAppID(kRemoteConfigAppID, database_, sent, nullptr);
  });
  ASSERT_NE(config, nullptr);
  EXPECT_EQ(config->uploadingInterval(), 60.0);
  EXPECT_EQ(config->version(), 3);
  EXPECT_EQ(stored(), sent);
}

TEST_F(RemoteConfigLifecycle, TheStoredConfigurationSurvivesARestart) {
  {
    auto config = create();
    ASSERT_NE(apply(*config, makeConfig(kRemoteConfigAppID,
                                        {{kUploadIntervalFlag, "60000"},
                                         {"measurement.upload.blacklist_public", "1"}},
                                        {withRate(eventConfig("ad_impression"), 9)}, 12)),
              nullptr);
  }
  restart();
  auto config = create();
  ASSERT_NE(config, nullptr);
  EXPECT_EQ(config->uploadingInterval(), 60.0);
  EXPECT_TRUE(config->blocklistPublic());
  EXPECT_EQ(config->samplingRateForEvent("_ai"), 9);
  // Uploads after the restart report the version in force.
  EXPECT_EQ(config->version(), 12);

  // A stored configuration of another app is not put in force.
  restart();
  auto other = create(nullptr, {}, kOtherAppID);
  ASSERT_NE(other, nullptr);
  EXPECT_EQ(other->uploadingInterval(), 3600.0);
  EXPECT_EQ(other->samplingRateForEvent("_ai"), 1);
  EXPECT_EQ(other->version(), -1);
}

TEST_F(RemoteConfigLifecycle, ACorruptedStoredConfigurationLeavesTheDefaults) {
  {
    auto config = create();
    ASSERT_NE(apply(*config, makeConfig(kRemoteConfigAppID, {{kUploadIntervalFlag, "60000"}})),
              nullptr);
  }
  RawConnection raw(databasePath());
  ASSERT_EQ(raw.exec("UPDATE app_metadata SET remote_config_data = x'0A0501'"), SQLITE_OK);
  clearPrinted();

  // The database reports the unreadable blob too; each of the two reports
  // is the sample in about half of the runs.
  std::set<std::string> keys;
  for (int run = 0; run < 24; ++run) {
    clearSample();
    auto config = create();
    ASSERT_NE(config, nullptr);
    EXPECT_EQ(config->uploadingInterval(), 3600.0);
    EXPECT_EQ(config->version(), -1);
    keys.insert(sampledKey());
  }
  EXPECT_TRUE(keys.count(keyOf("Cannot retrieve configuration data from database. Error", 2)));
  EXPECT_FALSE(wasPrinted(kTLMRemoteConfigCodeNotStored));
}

TEST_F(RemoteConfigLifecycle, ExpiresAfterTheCacheTimeInEitherDirection) {
  auto config = create();
  bool expired = false;
  const auto isExpired = [&] {
    onWorker([&] { expired = config->isExpired(); });
    return expired;
  };
  // Never fetched: the update time is 0.
  EXPECT_TRUE(isExpired());
  ASSERT_NE(apply(*config, makeConfig(kRemoteConfigAppID, {{"k", "1"}})), nullptr);
  EXPECT_FALSE(isExpired());
  clock().setNow(kNow + 3599.9);
  EXPECT_FALSE(isExpired());
  clock().setNow(kNow + 3600);
  EXPECT_TRUE(isExpired());
  clock().setNow(kNow - 3600);  // the wall clock was set back
  EXPECT_TRUE(isExpired());

  // "measurement.config.cache_time" moves the interval (milliseconds).
  clock().setNow(kNow);
  ASSERT_NE(
      apply(*config, makeConfig(kRemoteConfigAppID, {{"measurement.config.cache_time", "600000"}})),
      nullptr);
  clock().setNow(kNow + 599);
  EXPECT_FALSE(isExpired());
  clock().setNow(kNow + 600);
  EXPECT_TRUE(isExpired());
  // Below its minimum of 60 s it is the default hour.
  clock().setNow(kNow);
  ASSERT_NE(
      apply(*config, makeConfig(kRemoteConfigAppID, {{"measurement.config.cache_time", "59000"}})),
      nullptr);
  clock().setNow(kNow + 600);
  EXPECT_FALSE(isExpired());
}

TEST_F(RemoteConfigLifecycle, WithoutItsDatabaseTheUpdateTimeIsUnknown) {
  auto config = create();
  ASSERT_NE(apply(*config, makeConfig(kRemoteConfigAppID, {{"k", "1"}})), nullptr);
  database_.reset();
  double timestamp = -1;
  bool expired = false;
  onWorker([&] {
    timestamp = config->lastRemoteConfigUpdateTimestamp();
    expired = config->isExpired();
  });
  EXPECT_EQ(timestamp, 0.0);
  EXPECT_TRUE(expired);
  EXPECT_TRUE(wasPrinted(kTLMRemoteConfigCodeTimestampQueryFailed));
}

TEST_F(RemoteConfigLifecycle, TheDefaultInstanceHasNoUpdateTimeAndNeverExpires) {
  TLMRemoteConfig& fallback = TLMRemoteConfig::defaultInstance();
  clearSample();
  EXPECT_EQ(fallback.lastRemoteConfigUpdateTimestamp(), 0.0);
  EXPECT_EQ(
      sampledKey(),
      keyOf("Cannot fetch the last configuration update timestamp from the default instance", 2));
  clearSample();
  EXPECT_FALSE(fallback.isExpired());
  EXPECT_EQ(sampledKey(),
            keyOf("Cannot fetch the last update timestamp from the default configuration", 2));
  clearSample();
  onWorker([&] { EXPECT_FALSE(fallback.measurementConfigFromDatabase().has_value()); });
  EXPECT_EQ(sampledKey(),
            keyOf("Cannot retrieve a measurement configuration from the database for the default "
                  "instance",
                  2));
  EXPECT_EQ(fallback.version(), -1);
}

// A value inside the row's bounds other than its default, as the service
// would send it.
std::string nonDefaultSetting(const TLMRemoteFlag& flag) {
  const std::int64_t value = flag.defaultValue != flag.maxValue ? flag.maxValue : flag.minValue;
  const bool milliseconds = flag.reader == TLMRemoteFlagReader::kInterval ||
                            flag.reader == TLMRemoteFlagReader::kIntervalInteger;
  return std::to_string(milliseconds ? value * 1000 : value);
}

// The flag read the way its accessor reads it, as a double.
double readFlag(const TLMRemoteConfig& config, const TLMRemoteFlag& flag) {
  const std::string name(flag.name);
  switch (flag.reader) {
    case TLMRemoteFlagReader::kInteger64:
      return static_cast<double>(
          config.int64ValueFromCacheWithKey(name, flag.defaultValue, flag.maxValue, flag.minValue));
    case TLMRemoteFlagReader::kInterval:
    case TLMRemoteFlagReader::kIntervalInteger:
      return config.timeIntervalInSecondsFromCacheWithKey(
          name, static_cast<double>(flag.defaultValue), static_cast<double>(flag.maxValue),
          static_cast<double>(flag.minValue));
    default:
      return config.intValueFromCacheWithKey(name, static_cast<std::int32_t>(flag.defaultValue),
                                             static_cast<std::int32_t>(flag.maxValue),
                                             static_cast<std::int32_t>(flag.minValue));
  }
}

TEST_F(RemoteConfigLifecycle, ResetReturnsEveryFlagToItsDefault) {
  auto manager = std::make_shared<FakeExperimentManager>();
  auto config = create(manager);
  std::vector<std::pair<std::string, std::string>> settings;
  for (const TLMRemoteFlag& flag : tlm_remoteFlags()) {
    settings.emplace_back(std::string(flag.name), nonDefaultSetting(flag));
  }
  ASSERT_NE(apply(*config, makeConfig(kRemoteConfigAppID, settings,
                                      {withRate(eventConfig("level_up"), 10),
                                       withConversion(eventConfig("purchase"), true)},
                                      4)),
            nullptr);
  for (const TLMRemoteFlag& flag : tlm_remoteFlags()) {
    SCOPED_TRACE(std::string(flag.name));
    EXPECT_NE(readFlag(*config, flag), static_cast<double>(flag.defaultValue));
  }
  EXPECT_EQ(config->uploadingInterval(), 86400.0);

  config->reset();
  for (const TLMRemoteFlag& flag : tlm_remoteFlags()) {
    SCOPED_TRACE(std::string(flag.name));
    EXPECT_FALSE(config->cachedValueForKey(std::string(flag.name)).has_value());
    EXPECT_EQ(readFlag(*config, flag), static_cast<double>(flag.defaultValue));
  }
  EXPECT_EQ(config->uploadingInterval(), 3600.0);
  EXPECT_TRUE(config->configurableLimitsEnabled());
  EXPECT_EQ(config->samplingRateForEvent("level_up"), 1);
  EXPECT_FALSE(config->isEventCustomConversion("purchase"));
  EXPECT_EQ(config->version(), -1);
  EXPECT_EQ(manager->resets_, 1);
}

}  // namespace
