// The remote flag table, walked row by row: every default, every bound and
// the value just past it, through the real accessors.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "config/TLMRemoteConfig.h"
#include "config/TLMRemoteFlags.h"
#include "support/TestPlatform.h"

namespace {

using Reader = TLMRemoteFlagReader;
constexpr char kAppID[] = "1:1234567890:ios:0123456789abcdef";

struct ExpectedFlag {
  std::string name;
  std::string accessor;
  Reader reader;
  std::int64_t defaultValue;
  std::int64_t minValue;
  std::int64_t maxValue;
  std::function<double(const TLMRemoteConfig&)> read;  // the accessor, as a double
};

#define FLAG(name, accessor, reader, def, min, max)                                \
  ExpectedFlag {                                                                   \
    name, #accessor, Reader::reader, def, min, max,                                \
        [](const TLMRemoteConfig& c) { return static_cast<double>(c.accessor()); } \
  }

// The flags as the measurement service documents them, written out
// independently of the library's table.
// clang-format off
const std::vector<ExpectedFlag>& expectedFlags() {
  static const std::vector<ExpectedFlag> flags = {
    FLAG("measurement.audience.max_count", maxAudienceCount, kInteger, 50, 0, 500),
    FLAG("measurement.audience.filter_max_count_per_audience", maxFiltersPerAudience, kInteger, 10, 0, 100),
    FLAG("measurement.audience.filter_result_max_count", maxFilterResultCount, kInteger, 200, 0, 2000),
    FLAG("measurement.audience.parameter_max_count_filter", maxParametersPerFilter, kInteger, 25, 0, 250),
    FLAG("measurement.lifetimevalue.max_currency_tracked", maxTrackedCurrencies, kInteger, 4, 1, 100),
    FLAG("measurement.store.max_stored_events_per_app", maxEventsStored, kInteger, 100000, 0, 1000000),
    FLAG("measurement.monitoring.sample_period_millis", monitoringSamplePeriod, kInterval, 86400, 0, 604800),
    FLAG("measurement.upload.stale_data_deletion_interval", databaseDeleteStaleBundlesInterval, kInterval, 86400, 3600, 604800),
    FLAG("measurement.ad_id_cache_time", adIDCacheTime, kInterval, 1, 0, 86400),
    FLAG("measurement.attmas_gate", gateIDFAOnATTMASEnabled, kNonZeroSwitch, 0, 0, 1),
    FLAG("measurement.upload.configurable_limits_enabled", configurableLimitsEnabled, kSwitch, 1, 0, 1),
    FLAG("measurement.upload.max_public_user_properties", maxPublicUserProperties, kInteger, 25, 25, 100),
    FLAG("measurement.upload.max_event_name_cardinality", maxEventNameCardinality, kInteger, 500, 500, 2000),
    FLAG("measurement.upload.max_public_event_params", maxPublicEventParams, kInteger, 25, 25, 100),
    FLAG("measurement.upload.max_bundles_created_per_iteration", maxBundlesCreatedPerIteration, kIntervalInteger, 100, 1, 10000),
    FLAG("measurement.upload.max_conversions_per_day", maxConversionsPerDay, kInteger, 10000, 0, 1000000),
    FLAG("measurement.upload.max_error_events_per_day", maxErrorEventsPerDay, kInteger, 1000, 0, 1000000),
    FLAG("measurement.upload.max_events_per_day", maxEventsPerDay, kInteger, 100000, 0, 1000000),
    FLAG("measurement.upload.max_public_events_per_day", maxPublicEventsPerDay, kInteger, 50000, 0, 1000000),
    FLAG("measurement.upload.max_queue_time", maxQueueTime, kInterval, 2419200, 604800, 7862400),
    FLAG("measurement.upload.max_bundles", uploadMaxBundlesLimit, kInteger64, 100, 1, 10000),
    FLAG("measurement.upload.max_events_per_bundle", uploadMaxEventsPerBundle, kInteger64, 1000, 1, 1000000),
    FLAG("measurement.upload.max_batch_size", uploadMaxSizeLimitBytes, kInteger64, 65536, 0, 10485760),
    FLAG("measurement.upload.backoff_period", uploadingBackoffInterval, kInterval, 43200, 3600, 604800),
    FLAG("measurement.upload.debug_upload_interval", uploadingDebugModeInterval, kInterval, 1, 1, 15),
    FLAG("measurement.upload.interval", uploadingInterval, kInterval, 3600, 15, 86400),
    FLAG("measurement.upload.initial_upload_delay_time", uploadingInitialDelayInterval, kInterval, 15, 1, 86400),
    FLAG("measurement.upload.max_realtime_events_per_day", maxRealtimeEventCountPerDay, kInteger, 10, 0, 10),
    FLAG("measurement.upload.retry_time", uploadingRetryInterval, kInterval, 1800, 60, 86400),
    FLAG("measurement.upload.retry_count", uploadingRetryCount, kInteger, 6, 1, 24),
    FLAG("measurement.upload.realtime_upload_interval", uploadingRealTimeInterval, kInterval, 10, 10, 15),
    FLAG("measurement.upload.blacklist_internal", blocklistInternal, kSwitch, 0, 0, 1),
    FLAG("measurement.upload.blacklist_public", blocklistPublic, kSwitch, 0, 0, 1),
    FLAG("measurement.event_sampling_enabled", isEventSamplingEnabled, kSwitch, 0, 0, 1),
    FLAG("measurement.account.time_zone_offset_minutes", analyticsAccountTimeZoneOffsetMinutes, kInteger, 0, -900, 900),
    FLAG("measurement.quality.checksum", checksumEnabled, kSwitch, 0, 0, 1),
    FLAG("measurement.lifecycle.app_backgrounded_tracking", appBackgroundedEventEnabled, kSwitch, 1, 0, 1),
    FLAG("measurement.lifecycle.app_in_background_parameter", appInBackgroundParameterEnabled, kSwitch, 1, 0, 1),
    FLAG("measurement.last_advertising_id_reset_feature_enabled", lastAdvertisingIDResetFeatureEnabled, kSwitch, 1, 0, 1),
    FLAG("measurement.ees_feature_enabled", eesFeatureEnabled, kSwitch, 1, 0, 1),
    FLAG("measurement.ddl.enabled", isDeferredDeepLinkEnabled, kNonZeroSwitch, 1, 0, 1),
    FLAG("measurement.ddl.retry_count", maxDeferredDeepLinkRetryCount, kInteger, 5, 0, 10),
    FLAG("measurement.attribution.cache.ttl", attributionCacheTTLInterval, kInterval, 604800, 86400, 2592000),
    FLAG("measurement.network.background_session_enabled", isNetworkBackgroundSessionEnabled, kExperimentSwitch, 0, 0, 1),
    FLAG("measurement.network.network_timeout", networkTimeout, kInterval, 60, 30, 3600),
    FLAG("measurement.config.cache_time", remoteConfigCacheTimeInterval, kInterval, 3600, 60, 86400),
    FLAG("measurement.session.default_minimum_interval", sessionDefaultMinimumInterval, kInterval, 10, 0, 86400),
    FLAG("measurement.session.default_timeout_interval", sessionDefaultTimeoutInterval, kInterval, 1800, 0, 86400),
    FLAG("measurement.session.event_user_engagement_interval", sessionEventUserEngagementInterval, kInterval, 3600, 0, 86400),
    FLAG("measurement.collection.efficient_engagement_reporting_enabled", efficientEngagementReportingEnabled, kExperimentSwitch, 0, 0, 1),
    FLAG("measurement.collection.redundant_engagement_removal_enabled", redundantEngagementRemovalEnabled, kExperimentSwitch, 0, 0, 1),
    FLAG("measurement.api.consent_settings", isConsentSettingsEnabled, kSwitch, 1, 0, 1),
    FLAG("measurement.api.consent_settings_3p", isConsentSettings3PEnabled, kSwitch, 1, 0, 1),
  };
  return flags;
}
// clang-format on
#undef FLAG

bool isInterval(Reader reader) {
  return reader == Reader::kInterval || reader == Reader::kIntervalInteger;
}

// What the accessor answers (as a double) when the number read is `value`.
double answerFor(const ExpectedFlag& flag, double value) {
  switch (flag.reader) {
    case Reader::kNonZeroSwitch:
      return std::trunc(value) != 0 ? 1 : 0;
    case Reader::kSwitch:
    case Reader::kExperimentSwitch:
      return std::trunc(value) == 1 ? 1 : 0;
    case Reader::kInteger:
    case Reader::kInteger64:
    case Reader::kIntervalInteger:
      return std::trunc(value);
    case Reader::kInterval:
      return value;
  }
  return value;
}

struct Probe {
  std::string setting;  // what the service sends
  double number;        // the number the flag should read, in table units
  std::string what;
};

// The setting that carries `value` (table units): milliseconds for the
// interval readers.
std::string encode(const ExpectedFlag& flag, std::int64_t value) {
  return std::to_string(isInterval(flag.reader) ? value * 1000 : value);
}

std::vector<Probe> probesFor(const ExpectedFlag& flag) {
  const double def = static_cast<double>(flag.defaultValue);
  const double min = static_cast<double>(flag.minValue);
  const double max = static_cast<double>(flag.maxValue);
  std::vector<Probe> probes = {
      {encode(flag, flag.minValue), min, "lowest accepted"},
      {encode(flag, flag.maxValue), max, "highest accepted"},
      {encode(flag, (flag.minValue + flag.maxValue) / 2),
       static_cast<double>((flag.minValue + flag.maxValue) / 2), "inside"},
      {"not a number", def, "non-numeric"},
      {"", def, "empty"},
      {"1e3", def, "exponent"},
  };
  if (isInterval(flag.reader)) {
    // One millisecond past each bound is outside it.
    probes.push_back({std::to_string(flag.minValue * 1000 - 1), def, "1 ms below minimum"});
    probes.push_back({std::to_string(flag.maxValue * 1000 + 1), def, "1 ms above maximum"});
    // Fractions of a millisecond are cut before the bounds apply.
    probes.push_back({std::to_string(flag.maxValue * 1000) + ".9", max, "maximum + 0.9 ms"});
  } else {
    probes.push_back({std::to_string(flag.minValue - 1), def, "one below minimum"});
    probes.push_back({std::to_string(flag.maxValue + 1), def, "one above maximum"});
    // The bounds see the exact value; the accessor then cuts the fraction.
    probes.push_back({std::to_string(flag.maxValue) + ".5", def, "maximum + 0.5"});
    char text[32];
    std::snprintf(text, sizeof text, "%.1f", min + 0.5);
    probes.push_back({text, min + 0.5, "minimum + 0.5"});
  }
  return probes;
}

class RemoteFlagTable : public ::testing::Test {
 protected:
  TestPlatform platform_;
};

TEST_F(RemoteFlagTable, MatchesTheDocumentedFlags) {
  const std::vector<ExpectedFlag>& expected = expectedFlags();
  ASSERT_EQ(kTLMRemoteFlagCount, expected.size());
  ASSERT_EQ(tlm_remoteFlags().size(), expected.size());
  for (std::size_t i = 0; i < expected.size(); ++i) {
    const TLMRemoteFlag& row = kTLMRemoteFlags[i];
    SCOPED_TRACE(expected[i].name);
    EXPECT_EQ(row.name, expected[i].name);
    EXPECT_EQ(row.accessor, expected[i].accessor);
    EXPECT_EQ(row.reader, expected[i].reader) << tlm_remoteFlagReaderName(row.reader);
    EXPECT_EQ(row.defaultValue, expected[i].defaultValue);
    EXPECT_EQ(row.minValue, expected[i].minValue);
    EXPECT_EQ(row.maxValue, expected[i].maxValue);
    EXPECT_EQ(tlm_remoteFlagNamed(expected[i].name), &row);
  }
  EXPECT_EQ(tlm_remoteFlagNamed("measurement.no_such_flag"), nullptr);

  // Only the three configurable limits are fixed while the switch is off.
  std::map<std::string, std::int64_t> fixed;
  std::map<std::string, std::string> experiments;
  for (const TLMRemoteFlag& row : tlm_remoteFlags()) {
    if (row.fixedWhenLimitsOff) fixed[std::string(row.accessor)] = *row.fixedWhenLimitsOff;
    if (!row.experimentFlag.empty()) {
      experiments[std::string(row.accessor)] = std::string(row.experimentFlag);
    }
  }
  EXPECT_EQ(fixed, (std::map<std::string, std::int64_t>{{"maxPublicUserProperties", 25},
                                                        {"maxEventNameCardinality", 500},
                                                        {"maxPublicEventParams", 25}}));
  EXPECT_EQ(experiments,
            (std::map<std::string, std::string>{
                {"isNetworkBackgroundSessionEnabled", "network_background_session_enabled"},
                {"efficientEngagementReportingEnabled", "efficient_engagement_reporting_enabled"},
                {"redundantEngagementRemovalEnabled", "redundant_engagement_removal_enabled"}}));
}

TEST_F(RemoteFlagTable, TheDefaultInstanceAndAnAppWithoutSettingsAnswerEveryDefault) {
  TLMRemoteConfig& config = TLMRemoteConfig::defaultInstance();
  EXPECT_TRUE(config.isDefaultInstance());
  EXPECT_EQ(&config, &TLMRemoteConfig::defaultInstance());
  // It never takes settings.
  std::map<std::string, std::string> everyFlagAtItsMaximum;
  for (const ExpectedFlag& flag : expectedFlags()) {
    everyFlagAtItsMaximum[flag.name] = encode(flag, flag.maxValue);
  }
  config.cacheSettingValues(everyFlagAtItsMaximum);
  for (const ExpectedFlag& flag : expectedFlags()) {
    SCOPED_TRACE(flag.name);
    EXPECT_EQ(flag.read(config), answerFor(flag, static_cast<double>(flag.defaultValue)));
  }
  // An app without settings answers every default too, also from the cache.
  TLMRemoteConfig app(kAppID);
  EXPECT_FALSE(app.isDefaultInstance());
  for (const ExpectedFlag& flag : expectedFlags()) {
    SCOPED_TRACE(flag.name);
    EXPECT_EQ(flag.read(app), answerFor(flag, static_cast<double>(flag.defaultValue)));
    EXPECT_EQ(flag.read(app), answerFor(flag, static_cast<double>(flag.defaultValue)));
  }
}

TEST_F(RemoteFlagTable, EveryFlagKeepsItsBoundsAndFallsBackToItsDefault) {
  for (const ExpectedFlag& flag : expectedFlags()) {
    for (const Probe& probe : probesFor(flag)) {
      SCOPED_TRACE(flag.name + " = \"" + probe.setting + "\" (" + probe.what + ")");
      TLMRemoteConfig config(kAppID);
      config.cacheSettingValues({{flag.name, probe.setting}});
      const double expected = answerFor(flag, probe.number);
      EXPECT_EQ(flag.read(config), expected);
      EXPECT_EQ(flag.read(config), expected);  // now from the converted number
    }
  }
}

TEST_F(RemoteFlagTable, EachSettingReachesOnlyItsOwnFlag) {
  // Every flag at its maximum at once: each accessor reads its own row.
  std::map<std::string, std::string> settings;
  for (const ExpectedFlag& flag : expectedFlags()) {
    settings[flag.name] = encode(flag, flag.maxValue);
  }
  TLMRemoteConfig atMaximum(kAppID);
  atMaximum.cacheSettingValues(settings);
  for (const ExpectedFlag& flag : expectedFlags()) {
    settings[flag.name] = encode(flag, flag.minValue);
  }
  TLMRemoteConfig atMinimum(kAppID);
  atMinimum.cacheSettingValues(settings);
  for (const ExpectedFlag& flag : expectedFlags()) {
    SCOPED_TRACE(flag.name);
    EXPECT_EQ(flag.read(atMaximum), answerFor(flag, static_cast<double>(flag.maxValue)));
    EXPECT_EQ(flag.read(atMinimum), answerFor(flag, static_cast<double>(flag.minValue)));
  }
}

}  // namespace
