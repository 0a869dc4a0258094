// The flag lookup: the cache, the readers, the switches that depend on other
// flags, what reaches the monitor, and use from several threads.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <limits>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "config/TLMRemoteConfig.h"
#include "engine/TLMLibraryVersion.h"
#include "engine/TLMMeasurement.h"
#include "support/MonitorReportsTest.h"
#include "upload/TLMMonitor.h"
#include "utilities/HRNLogger.h"

namespace {

constexpr char kAppID[] = "1:1234567890:ios:0123456789abcdef";
constexpr char kLimitsEnabled[] = "measurement.upload.configurable_limits_enabled";
constexpr char kUploadInterval[] = "measurement.upload.interval";

class RemoteFlagLookup : public MonitorReportsTest {
 protected:
  // The configuration holding exactly `settings`.
  static std::unique_ptr<TLMRemoteConfig> configWith(
      const std::map<std::string, std::string>& settings) {
    auto config = std::make_unique<TLMRemoteConfig>(kAppID);
    config->cacheSettingValues(settings);
    return config;
  }
};

TEST_F(RemoteFlagLookup, AStringBecomesItsNumberOnFirstRead) {
  auto config = configWith({{"measurement.audience.max_count", "120"}});
  EXPECT_EQ(config->cachedValueForKey("measurement.audience.max_count"), Object("120"));
  EXPECT_EQ(config->maxAudienceCount(), 120);
  const OptionalObject cached = config->cachedValueForKey("measurement.audience.max_count");
  ASSERT_TRUE(cached.has_value());
  EXPECT_TRUE(cached->isNumber());
  EXPECT_EQ(*cached, Object::integer(120));

  // A flag the configuration does not carry caches its default.
  EXPECT_FALSE(config->cachedValueForKey(kUploadInterval).has_value());
  EXPECT_EQ(config->uploadingInterval(), 3600.0);
  EXPECT_EQ(config->cachedValueForKey(kUploadInterval), Object::floating(3600.0));
}

TEST_F(RemoteFlagLookup, AnOutOfRangeValueBecomesTheDefaultNotTheBound) {
  auto config = configWith({{kUploadInterval, "10000"}, {"measurement.audience.max_count", "501"}});
  EXPECT_EQ(config->uploadingInterval(), 3600.0);  // 10 s is below 15 s
  EXPECT_EQ(config->maxAudienceCount(), 50);
  // The default replaced the string for as long as this configuration lasts.
  EXPECT_EQ(config->cachedValueForKey(kUploadInterval), Object::floating(3600.0));
  EXPECT_EQ(config->cachedValueForKey("measurement.audience.max_count"), Object::integer(50));
}

TEST_F(RemoteFlagLookup, AConvertedValueIsNotCheckedAgain) {
  auto config = configWith({{"k", "70"}});
  EXPECT_EQ(config->intValueFromCacheWithKey("k", 1, 100, 0), 70);
  // Later reads answer the converted number whatever bounds they bring.
  EXPECT_EQ(config->intValueFromCacheWithKey("k", 1, 10, 0), 70);
  EXPECT_EQ(config->int64ValueFromCacheWithKey("k", 2), 70);
}

TEST_F(RemoteFlagLookup, IntegerFlagsReadStrictDecimals) {
  const char* const kRetries = "measurement.ddl.retry_count";  // 5, 0...10
  // The bounds see the exact value ("10.5" and "-0.5" are outside 0...10);
  // a value inside them is then cut to its whole part ("7.9" reads 7).
  const std::vector<std::pair<std::string, std::int32_t>> cases = {
      {"7", 7},   {"5.0", 5}, {"7.9", 7},  {"-0", 0},   {"0007", 7}, {"12abc", 5},
      {"", 5},    {" 7", 5},  {"7 ", 5},   {"1e1", 5},  {"0x8", 5},  {"+7", 5},
      {"7,0", 5}, {"NaN", 5}, {"10.5", 5}, {"-0.5", 5}, {"-1", 5},   {"99999999999", 5},
  };
  for (const auto& [setting, expected] : cases) {
    SCOPED_TRACE("\"" + setting + "\"");
    EXPECT_EQ(configWith({{kRetries, setting}})->maxDeferredDeepLinkRetryCount(), expected);
  }
}

TEST_F(RemoteFlagLookup, IntervalsAreWholeMillisecondsInSeconds) {
  const char* const kSample = "measurement.monitoring.sample_period_millis";
  EXPECT_EQ(configWith({{kSample, "1500"}})->monitoringSamplePeriod(), 1.5);
  // Fractions of a millisecond are cut toward zero, before the bounds.
  EXPECT_EQ(configWith({{kSample, "1500.99"}})->monitoringSamplePeriod(), 1.5);
  EXPECT_EQ(configWith({{kSample, "-0.9"}})->monitoringSamplePeriod(), 0.0);
  EXPECT_EQ(configWith({{kUploadInterval, "14999.9"}})->uploadingInterval(), 3600.0);
  EXPECT_EQ(configWith({{kUploadInterval, "15000.5"}})->uploadingInterval(), 15.0);
  // Milliseconds beyond 64 bits are no interval.
  EXPECT_EQ(configWith({{kSample, "99999999999999999999"}})->monitoringSamplePeriod(), 86400.0);

  // The generic reader, with bounds of its own.
  auto config = configWith({{"k", "2500"}});
  EXPECT_EQ(config->timeIntervalInSecondsFromCacheWithKey("k", 9.0, 3.0, 2.5), 2.5);
}

TEST_F(RemoteFlagLookup, BundlesPerIterationAreSentAsAThousandTimesTheCount) {
  const char* const kBundles = "measurement.upload.max_bundles_created_per_iteration";
  EXPECT_EQ(configWith({{kBundles, "250000"}})->maxBundlesCreatedPerIteration(), 250);
  // A plain 50 reads as 0.05, below the minimum 1: the default.
  EXPECT_EQ(configWith({{kBundles, "50"}})->maxBundlesCreatedPerIteration(), 100);
  // Seconds with a fraction are truncated to the count.
  EXPECT_EQ(configWith({{kBundles, "1999"}})->maxBundlesCreatedPerIteration(), 1);
}

TEST_F(RemoteFlagLookup, SixtyFourBitValuesKeepEveryBit) {
  // The table's 64-bit flags stay inside their bounds.
  EXPECT_EQ(
      configWith({{"measurement.upload.max_batch_size", "4294967296"}})->uploadMaxSizeLimitBytes(),
      65536);
  // The generic readers reach past 32 bits.
  constexpr std::int64_t kMax = std::numeric_limits<std::int64_t>::max();
  constexpr std::int64_t kMin = std::numeric_limits<std::int64_t>::min();
  auto config = configWith({{"big", "4294967296"},
                            {"largest", "9223372036854775807"},
                            {"smallest", "-9223372036854775808"},
                            {"beyond", "9223372036854775808"},
                            {"bounded", "5000000000"},
                            {"exact", "9007199254740993"}});  // 2^53 + 1: not a double
  EXPECT_EQ(config->int64ValueFromCacheWithKey("big", 1), 4294967296);
  EXPECT_EQ(config->int64ValueFromCacheWithKey("largest", 1), kMax);
  EXPECT_EQ(config->int64ValueFromCacheWithKey("smallest", 1), kMin);
  EXPECT_EQ(config->int64ValueFromCacheWithKey("beyond", 1), 1);
  EXPECT_EQ(config->int64ValueFromCacheWithKey("bounded", 1, kMax, 0), 5000000000);
  EXPECT_EQ(config->int64ValueFromCacheWithKey("exact", 1), 9007199254740993);

  // The 32-bit reader refuses what does not fit 32 bits.
  constexpr std::int32_t kMax32 = std::numeric_limits<std::int32_t>::max();
  constexpr std::int32_t kMin32 = std::numeric_limits<std::int32_t>::min();
  auto narrow = configWith({{"a", "2147483647"}, {"b", "2147483648"}, {"c", "-2147483648"}});
  EXPECT_EQ(narrow->intValueFromCacheWithKey("a", 7, kMax32, kMin32), kMax32);
  EXPECT_EQ(narrow->intValueFromCacheWithKey("b", 7, kMax32, kMin32), 7);
  EXPECT_EQ(narrow->intValueFromCacheWithKey("c", 7, kMax32, kMin32), kMin32);
}

TEST_F(RemoteFlagLookup, ConfigurableLimitsGateThreeLimits) {
  const std::map<std::string, std::string> raised = {
      {"measurement.upload.max_public_user_properties", "100"},
      {"measurement.upload.max_event_name_cardinality", "2000"},
      {"measurement.upload.max_public_event_params", "60"},
  };
  for (const std::string limits : {"1", "", "2", "-1"}) {
    SCOPED_TRACE("limits switch \"" + limits + "\"");  // on, or its default (on)
    auto settings = raised;
    if (!limits.empty()) settings[kLimitsEnabled] = limits;
    auto config = configWith(settings);
    EXPECT_TRUE(config->configurableLimitsEnabled());
    EXPECT_EQ(config->maxPublicUserProperties(), 100);
    EXPECT_EQ(config->maxEventNameCardinality(), 2000);
    EXPECT_EQ(config->maxPublicEventParams(), 60);
  }
  for (const std::string limits : {"0", "0.5"}) {
    SCOPED_TRACE("limits switch \"" + limits + "\"");
    auto settings = raised;
    settings[kLimitsEnabled] = limits;
    auto config = configWith(settings);
    EXPECT_FALSE(config->configurableLimitsEnabled());
    EXPECT_EQ(config->maxPublicUserProperties(), 25);
    EXPECT_EQ(config->maxEventNameCardinality(), 500);
    EXPECT_EQ(config->maxPublicEventParams(), 25);
  }
  // Off, the limits stay fixed even where the setting would be refused.
  auto off = configWith({{kLimitsEnabled, "0"},
                         {"measurement.upload.max_public_event_params", "24"},
                         {"measurement.upload.max_event_name_cardinality", "garbage"}});
  EXPECT_EQ(off->maxPublicEventParams(), 25);
  EXPECT_EQ(off->maxEventNameCardinality(), 500);
}

TEST_F(RemoteFlagLookup, SwitchesAreOnAtOneAndTheTwoOthersAtNonZero) {
  // The ==1 and the !=0 switches agree on every value their bounds let in.
  for (const auto& [setting, on] : std::vector<std::pair<std::string, bool>>{
           {"1", true}, {"1.0", true}, {"0", false}, {"0.9", false}}) {
    SCOPED_TRACE("\"" + setting + "\"");
    auto config = configWith({{"measurement.quality.checksum", setting},
                              {"measurement.attmas_gate", setting},
                              {"measurement.ddl.enabled", setting}});
    EXPECT_EQ(config->checksumEnabled(), on);
    EXPECT_EQ(config->gateIDFAOnATTMASEnabled(), on);
    EXPECT_EQ(config->isDeferredDeepLinkEnabled(), on);
  }
}

TEST_F(RemoteFlagLookup, AReadRacingAReplacementNeverWritesIntoTheNewCache) {
  auto config = configWith({{"k", "5"}});
  // The conversion runs between the parse and the store: replace the
  // settings right there, as another queue could.
  const std::optional<Object> read = config->numberFromCacheWithKey(
      "k", Object::integer(1), Object::integer(10), Object::integer(0),
      [&config](const Object& number) -> std::optional<Object> {
        config->cacheSettingValues({{"k", "9"}});
        return number;
      });
  EXPECT_EQ(read, Object::integer(5));  // the read finishes with what it started from
  EXPECT_EQ(config->cachedValueForKey("k"), Object("9"));
  EXPECT_EQ(config->intValueFromCacheWithKey("k", 1, 10, 0), 9);
}

TEST_F(RemoteFlagLookup, AValueCachedDuringAReadIsNotOverwritten) {
  auto config = configWith({{"k", "5"}});
  bool cachedOnce = false;
  const std::optional<Object> read = config->numberFromCacheWithKey(
      "k", Object::integer(1), Object::integer(10), Object::integer(0),
      [&](const Object& number) -> std::optional<Object> {
        if (!cachedOnce) (void)config->cacheValue(Object("8"), "k");
        cachedOnce = true;
        return number;
      });
  // The newer value is the one read and kept.
  EXPECT_EQ(read, Object::integer(8));
  EXPECT_EQ(config->cachedValueForKey("k"), Object::integer(8));
}

TEST_F(RemoteFlagLookup, CacheValueStoresOnlyAPresentValueUnderAName) {
  TLMRemoteConfig config(kAppID);
  EXPECT_EQ(config.cacheValue(Object("42"), "k"), Object("42"));
  EXPECT_EQ(config.cachedValueForKey("k"), Object("42"));
  EXPECT_EQ(config.int64ValueFromCacheWithKey("k", 0), 42);

  EXPECT_EQ(config.cacheValue(Object("1"), ""), Object("1"));
  EXPECT_FALSE(config.cachedValueForKey("").has_value());
  EXPECT_EQ(sampledKey(),
            TLMMonitor::monitoringDataKeyWithMessage("Cannot cache empty configuration value", 5,
                                                     kFerroluxLibraryVersion));

  EXPECT_FALSE(config.cacheValue(std::nullopt, "k").has_value());
  EXPECT_EQ(config.cachedValueForKey("k"), Object::integer(42));

  // Settings with an empty name are skipped, the others kept.
  config.cacheSettingValues({{"", "3"}, {"j", "4"}});
  EXPECT_EQ(config.cachedValueForKey("j"), Object("4"));
  EXPECT_FALSE(config.cachedValueForKey("").has_value());
}

TEST_F(RemoteFlagLookup, ANonStringValueIsReportedAndGivesTheDefault) {
  TLMRemoteConfig config(kAppID);
  (void)config.cacheValue(Object::array({Object("7")}), "measurement.audience.max_count");
  EXPECT_EQ(config.maxAudienceCount(), 50);
  EXPECT_EQ(config.cachedValueForKey("measurement.audience.max_count"), Object::integer(50));
  EXPECT_EQ(sampledKey(), TLMMonitor::monitoringDataKeyWithMessage(
                              "Cannot parse number from non-string", 2, kFerroluxLibraryVersion));
}

TEST_F(RemoteFlagLookup, AnEmptyKeyIsReportedAndYieldsNothing) {
  HRNSetLoggerLevel(HRNLoggerLevel::Debug);
  TLMRemoteConfig config(kAppID);
  EXPECT_FALSE(config.numberFromCacheWithKey("", Object::integer(3), std::nullopt, std::nullopt)
                   .has_value());
  // The typed readers fall back to their default.
  EXPECT_EQ(config.intValueFromCacheWithKey("", 3, 10, 0), 3);
  EXPECT_EQ(config.timeIntervalInSecondsFromCacheWithKey("", 2.0, 10.0, 0.0), 2.0);
  EXPECT_EQ(printedWithCode(29020),
            std::vector<std::string>(3, "Cannot get setting with empty key from cache"));
}

TEST_F(RemoteFlagLookup, FlagsServeSeveralThreadsWhileSettingsChange) {
  TLMRemoteConfig config(kAppID);
  config.cacheSettingValues({{kUploadInterval, "60000"}});
  std::atomic<bool> running{true};
  std::atomic<int> unexpected{0};
  std::vector<std::thread> readers;
  for (int r = 0; r < 3; ++r) {
    readers.emplace_back([&] {
      while (running.load()) {
        const double interval = config.uploadingInterval();
        if (interval != 60.0 && interval != 120.0) unexpected.fetch_add(1);
        if (config.maxEventsPerDay() != 100000) unexpected.fetch_add(1);
      }
    });
  }
  for (int i = 0; i < 200; ++i) {
    config.cacheSettingValues({{kUploadInterval, i % 2 == 0 ? "120000" : "60000"}});
  }
  config.cacheSettingValues({{kUploadInterval, "120000"}});
  running.store(false);
  for (std::thread& reader : readers) reader.join();
  EXPECT_EQ(unexpected.load(), 0);
  // No read of an earlier configuration outlived the last replacement.
  EXPECT_EQ(config.uploadingInterval(), 120.0);
}

}  // namespace
