// Applying a measurement configuration: the checks before it is stored,
// what is stored and what is in force afterwards, and reads that race it.
#include <atomic>
#include <thread>

#include "config/remote_config_test_support.h"

namespace {

using ApplyingAConfiguration = RemoteConfigTest;

TEST_F(ApplyingAConfiguration, IsStoredAndPutInForce) {
  auto config = create();
  ASSERT_NE(config, nullptr);
  EXPECT_EQ(config->version(), -1);
  clock().setNow(kNow + 42);
  const TLMPBMeasurementConfig sent =
      makeConfig(kRemoteConfigAppID, {{kUploadIntervalFlag, "60000"}},
                 {withRate(eventConfig("level_up"), 10)}, 17);
  const auto applied = apply(*config, sent);
  ASSERT_NE(applied, nullptr);
  EXPECT_EQ(*applied, sent);
  EXPECT_EQ(config->uploadingInterval(), 60.0);
  EXPECT_EQ(config->samplingRateForEvent("level_up"), 10);
  EXPECT_EQ(config->version(), 17);
  EXPECT_EQ(stored(), sent);
  double updated = 0;
  onWorker([&] { updated = config->lastRemoteConfigUpdateTimestamp(); });
  EXPECT_EQ(updated, kNow + 42);
}

TEST_F(ApplyingAConfiguration, ForAnotherAppIsRefusedAndChangesNothing) {
  auto config = create();
  const TLMPBMeasurementConfig first =
      makeConfig(kRemoteConfigAppID, {{kUploadIntervalFlag, "60000"}},
                 {withRate(eventConfig("level_up"), 10)}, 1);
  ASSERT_NE(apply(*config, first), nullptr);

  for (const std::string& appID : {std::string(kOtherAppID), std::string()}) {
    SCOPED_TRACE("app ID \"" + appID + "\"");
    TLMPBMeasurementConfig other = makeConfig(appID, {{kUploadIntervalFlag, "120000"}},
                                              {withRate(eventConfig("level_up"), 20)}, 2);
    if (appID.empty()) other.clear_qvr_app_id();
    clearSample();
    EXPECT_EQ(apply(*config, other), nullptr);
    EXPECT_EQ(sampledKey(),
              keyOf("Cannot set measurement config when Tarvix App ID does not match", 2));
    EXPECT_EQ(config->uploadingInterval(), 60.0);
    EXPECT_EQ(config->samplingRateForEvent("level_up"), 10);
    EXPECT_EQ(config->version(), 1);
    EXPECT_EQ(stored(), first);
  }
  // Parsing it directly changes nothing either.
  config->parseRemoteConfigFromMeasurementConfig(
      makeConfig(kOtherAppID, {{kUploadIntervalFlag, "120000"}}));
  EXPECT_EQ(config->uploadingInterval(), 60.0);
}

TEST_F(ApplyingAConfiguration, StartedByTheAdNetworkItMustCarryItsAppID) {
  std::string origin = kTLMAdNetworkOrigin;
  TLMRemoteConfigHooks hooks;
  hooks.identifiersOrigin = [&origin] { return origin; };
  auto config = create(nullptr, hooks);
  TLMPBMeasurementConfig sent = makeConfig(kRemoteConfigAppID, {{kUploadIntervalFlag, "60000"}});
  sent.set_velmora_app_id("other");
  clearSample();
  EXPECT_EQ(apply(*config, sent), nullptr);
  EXPECT_EQ(sampledKey(),
            keyOf("Cannot set measurement config when Velmora App ID does not match", 2));
  EXPECT_FALSE(stored().has_value());

  sent.set_velmora_app_id(kRemoteConfigAppID);
  EXPECT_NE(apply(*config, sent), nullptr);
  // Started by the app, the ad-network app ID is not looked at.
  origin = "app";
  sent.set_velmora_app_id("other");
  sent.set_version(5);
  EXPECT_NE(apply(*config, sent), nullptr);
  EXPECT_EQ(config->version(), 5);
}

TEST_F(ApplyingAConfiguration, WithoutSettingsKeepsThePreviousValues) {
  auto config = create();
  ASSERT_NE(apply(*config, makeConfig(kRemoteConfigAppID, {{kUploadIntervalFlag, "60000"}},
                                      {withRate(eventConfig("level_up"), 10)}, 1)),
            nullptr);
  EXPECT_EQ(config->uploadingInterval(), 60.0);  // now a number in the cache
  const TLMPBMeasurementConfig bare =
      makeConfig(kRemoteConfigAppID, {}, {withRate(eventConfig("level_up"), 30)}, 2);
  clearSample();
  // Stored and kept, but the caches stay as they were.
  EXPECT_NE(apply(*config, bare), nullptr);
  EXPECT_EQ(sampledKey(), keyOf("Cannot parse empty measurement config. Using default values", 2));
  EXPECT_EQ(config->uploadingInterval(), 60.0);
  EXPECT_EQ(config->samplingRateForEvent("level_up"), 10);
  EXPECT_EQ(config->version(), 2);
  EXPECT_EQ(stored(), bare);
}

TEST_F(ApplyingAConfiguration, TheDefaultInstanceOrNoConfigurationIsRefused) {
  const TLMPBMeasurementConfig sent = makeConfig("", {{kUploadIntervalFlag, "60000"}});
  clearSample();
  onWorker([&] {
    EXPECT_EQ(TLMRemoteConfig::defaultInstance().updateMeasurementConfig(&sent), nullptr);
  });
  EXPECT_EQ(sampledKey(), keyOf("Cannot update the default measurement configuration", 2));
  EXPECT_EQ(TLMRemoteConfig::defaultInstance().uploadingInterval(), 3600.0);

  auto config = create();
  clearSample();
  onWorker([&] { EXPECT_EQ(config->updateMeasurementConfig(nullptr), nullptr); });
  EXPECT_EQ(sampledKey(), keyOf("Cannot set empty measurement config to database", 5));
}

TEST_F(ApplyingAConfiguration, NotStoredIsNotApplied) {
  auto config = create();
  // Valid, but the database is gone.
  const TLMPBMeasurementConfig sent =
      makeConfig(kRemoteConfigAppID, {{kUploadIntervalFlag, "60000"}});
  database_.reset();
  EXPECT_EQ(apply(*config, sent), nullptr);
  EXPECT_TRUE(wasPrinted(kTLMRemoteConfigCodeStoreFailed));
  EXPECT_EQ(config->uploadingInterval(), 3600.0);
  EXPECT_EQ(config->version(), -1);
}

TEST_F(ApplyingAConfiguration, OnTheMainThreadItIsReportedAndStillServed) {
  auto config = create();
  EXPECT_FALSE(wasPrinted(30001));
  const TLMPBMeasurementConfig sent =
      makeConfig(kRemoteConfigAppID, {{kUploadIntervalFlag, "60000"}});
  EXPECT_NE(config->updateMeasurementConfig(&sent), nullptr);
  EXPECT_TRUE(wasPrinted(30001));
  EXPECT_EQ(config->uploadingInterval(), 60.0);
}

TEST_F(ApplyingAConfiguration, SettingsReplaceTheCacheAndTheLaterOfTwoWins) {
  auto config = create();
  ASSERT_NE(
      apply(*config, makeConfig(kRemoteConfigAppID, {{kUploadIntervalFlag, "60000"},
                                                     {"measurement.audience.max_count", "7"}})),
      nullptr);
  EXPECT_EQ(config->maxAudienceCount(), 7);
  ASSERT_NE(apply(*config, makeConfig(kRemoteConfigAppID, {{kUploadIntervalFlag, "120000"},
                                                           {kUploadIntervalFlag, "90000"},
                                                           {"", "5"}})),
            nullptr);
  EXPECT_EQ(config->uploadingInterval(), 90.0);
  EXPECT_EQ(config->maxAudienceCount(), 50);  // no longer sent
  EXPECT_FALSE(config->cachedValueForKey("").has_value());
}

TEST_F(ApplyingAConfiguration, ReadsOnOtherThreadsSeeOneConfigurationOrTheOther) {
  auto config = create();
  const TLMPBMeasurementConfig a =
      makeConfig(kRemoteConfigAppID,
                 {{kUploadIntervalFlag, "60000"}, {"measurement.upload.blacklist_public", "1"}},
                 {withRate(eventConfig("level_up"), 10)});
  const TLMPBMeasurementConfig b =
      makeConfig(kRemoteConfigAppID, {{kUploadIntervalFlag, "120000"}},
                 {withRate(eventConfig("level_up"), 20), withBlocklisted(eventConfig("_e"), true)});
  ASSERT_NE(apply(*config, a), nullptr);
  std::atomic<bool> running{true};
  std::atomic<int> unexpected{0};
  std::atomic<int> reads{0};
  std::vector<std::thread> readers;
  for (int r = 0; r < 3; ++r) {
    readers.emplace_back([&] {
      while (running.load() || reads.load() < 100) {
        const double interval = config->uploadingInterval();
        if (interval != 60.0 && interval != 120.0) unexpected.fetch_add(1);
        const std::int32_t rate = config->samplingRateForEvent("level_up");
        if (rate != 10 && rate != 20) unexpected.fetch_add(1);
        (void)config->isEventBlocklisted("_e");
        (void)config->eventConfigWithName("level_up");
        (void)config->version();
        reads.fetch_add(1);
      }
    });
  }
  for (int i = 0; i < 40; ++i) ASSERT_NE(apply(*config, i % 2 == 0 ? b : a), nullptr);
  running.store(false);
  for (std::thread& reader : readers) reader.join();
  EXPECT_EQ(unexpected.load(), 0);
  EXPECT_EQ(config->uploadingInterval(), 60.0);
  EXPECT_FALSE(config->isEventBlocklisted("_e"));
  EXPECT_TRUE(config->isEventBlocklisted("level_up"));
}

}  // namespace
