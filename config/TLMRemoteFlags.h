// The remote measurement flags: every tunable the measurement service may
// move, with its compiled-in default and inclusive bounds.
//
// This table is the one place where those limits are written down; the
// accessors of TLMRemoteConfig are generated from it (each looks its row up
// by accessor name at compile time), so a limit is never repeated
// elsewhere. The service sends each value as a decimal string; a value
// outside the bounds is replaced by the default, never clamped.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

enum class TLMRemoteFlagReader : std::uint8_t {
  // 32-bit signed integer.
  kInteger,
  // 64-bit signed integer.
  kInteger64,
  // The setting is a whole number of milliseconds; default and bounds are
  // seconds, and the accessor answers seconds.
  kInterval,
  // The interval reader, then truncated toward zero to a signed integer: a
  // count that the service sends as a thousand times its value.
  kIntervalInteger,
  // The 32-bit reader; on when the value equals 1.
  kSwitch,
  // The 32-bit reader; on for any non-zero value.
  kNonZeroSwitch,
  // The experiment client's boolean for `experimentFlag` when it yields one,
  // else kSwitch.
  kExperimentSwitch,
};

struct TLMRemoteFlag {
  std::string_view name;      // the setting name sent by the service
  std::string_view accessor;  // the TLMRemoteConfig member that answers it
  TLMRemoteFlagReader reader;
  // Seconds for the interval readers.
  std::int64_t defaultValue;
  std::int64_t minValue;
  std::int64_t maxValue;
  // When "measurement.upload.configurable_limits_enabled" is off, the
  // accessor answers this fixed value whatever the setting says.
  std::optional<std::int64_t> fixedWhenLimitsOff = std::nullopt;
  // For kExperimentSwitch: the experiment flag that wins over the setting.
  std::string_view experimentFlag = {};
};

inline constexpr std::string_view kTLMConfigurableLimitsEnabledFlag =
    "measurement.upload.configurable_limits_enabled";

// Experiment flags the library registers, all with the default number 0.
inline constexpr std::string_view kTLMExperimentFlagEfficientEngagementReporting =
    "efficient_engagement_reporting_enabled";
inline constexpr std::string_view kTLMExperimentFlagRandomGeneratorStudy =
    "random_generator_study_enabled";
inline constexpr std::string_view kTLMExperimentFlagRedundantEngagementRemoval =
    "redundant_engagement_removal_enabled";
inline constexpr std::string_view kTLMExperimentFlagNetworkBackgroundSession =
    "network_background_session_enabled";

struct TLMRemoteFlagTable {
  using enum TLMRemoteFlagReader;
  static constexpr std::int64_t kDay = 86400;
  static constexpr std::int64_t kWeek = 7 * kDay;

  // clang-format off
  static constexpr TLMRemoteFlag kFlags[] = {
    // name, accessor, reader, default, min, max[, fixed when limits are off[, experiment flag]]
    {"measurement.audience.max_count", "maxAudienceCount", kInteger, 50, 0, 500},
    {"measurement.audience.filter_max_count_per_audience", "maxFiltersPerAudience", kInteger, 10, 0, 100},
    {"measurement.audience.filter_result_max_count", "maxFilterResultCount", kInteger, 200, 0, 2000},
    {"measurement.audience.parameter_max_count_filter", "maxParametersPerFilter", kInteger, 25, 0, 250},
    {"measurement.lifetimevalue.max_currency_tracked", "maxTrackedCurrencies", kInteger, 4, 1, 100},
    {"measurement.store.max_stored_events_per_app", "maxEventsStored", kInteger, 100000, 0, 1000000},
    {"measurement.monitoring.sample_period_millis", "monitoringSamplePeriod", kInterval, kDay, 0, kWeek},
    {"measurement.upload.stale_data_deletion_interval", "databaseDeleteStaleBundlesInterval", kInterval, kDay, 3600, kWeek},
    {"measurement.ad_id_cache_time", "adIDCacheTime", kInterval, 1, 0, kDay},
    {"measurement.attmas_gate", "gateIDFAOnATTMASEnabled", kNonZeroSwitch, 0, 0, 1},
    {"measurement.upload.configurable_limits_enabled", "configurableLimitsEnabled", kSwitch, 1, 0, 1},
    {"measurement.upload.max_public_user_properties", "maxPublicUserProperties", kInteger, 25, 25, 100, 25},
    {"measurement.upload.max_event_name_cardinality", "maxEventNameCardinality", kInteger, 500, 500, 2000, 500},
    {"measurement.upload.max_public_event_params", "maxPublicEventParams", kInteger, 25, 25, 100, 25},
    {"measurement.upload.max_bundles_created_per_iteration", "maxBundlesCreatedPerIteration", kIntervalInteger, 100, 1, 10000},
    {"measurement.upload.max_conversions_per_day", "maxConversionsPerDay", kInteger, 10000, 0, 1000000},
    {"measurement.upload.max_error_events_per_day", "maxErrorEventsPerDay", kInteger, 1000, 0, 1000000},
    {"measurement.upload.max_events_per_day", "maxEventsPerDay", kInteger, 100000, 0, 1000000},
    {"measurement.upload.max_public_events_per_day", "maxPublicEventsPerDay", kInteger, 50000, 0, 1000000},
    {"measurement.upload.max_queue_time", "maxQueueTime", kInterval, 28 * kDay, kWeek, 91 * kDay},
    {"measurement.upload.max_bundles", "uploadMaxBundlesLimit", kInteger64, 100, 1, 10000},
    {"measurement.upload.max_events_per_bundle", "uploadMaxEventsPerBundle", kInteger64, 1000, 1, 1000000},
    {"measurement.upload.max_batch_size", "uploadMaxSizeLimitBytes", kInteger64, 65536, 0, 10485760},
    {"measurement.upload.backoff_period", "uploadingBackoffInterval", kInterval, 43200, 3600, kWeek},
    {"measurement.upload.debug_upload_interval", "uploadingDebugModeInterval", kInterval, 1, 1, 15},
    {"measurement.upload.interval", "uploadingInterval", kInterval, 3600, 15, kDay},
    {"measurement.upload.initial_upload_delay_time", "uploadingInitialDelayInterval", kInterval, 15, 1, kDay},
    {"measurement.upload.max_realtime_events_per_day", "maxRealtimeEventCountPerDay", kInteger, 10, 0, 10},
    {"measurement.upload.retry_time", "uploadingRetryInterval", kInterval, 1800, 60, kDay},
    {"measurement.upload.retry_count", "uploadingRetryCount", kInteger, 6, 1, 24},
    {"measurement.upload.realtime_upload_interval", "uploadingRealTimeInterval", kInterval, 10, 10, 15},
    {"measurement.upload.blacklist_internal", "blocklistInternal", kSwitch, 0, 0, 1},
    {"measurement.upload.blacklist_public", "blocklistPublic", kSwitch, 0, 0, 1},
    {"measurement.event_sampling_enabled", "isEventSamplingEnabled", kSwitch, 0, 0, 1},
    {"measurement.account.time_zone_offset_minutes", "analyticsAccountTimeZoneOffsetMinutes", kInteger, 0, -900, 900},
    {"measurement.quality.checksum", "checksumEnabled", kSwitch, 0, 0, 1},
    {"measurement.lifecycle.app_backgrounded_tracking", "appBackgroundedEventEnabled", kSwitch, 1, 0, 1},
    {"measurement.lifecycle.app_in_background_parameter", "appInBackgroundParameterEnabled", kSwitch, 1, 0, 1},
    {"measurement.last_advertising_id_reset_feature_enabled", "lastAdvertisingIDResetFeatureEnabled", kSwitch, 1, 0, 1},
    {"measurement.ees_feature_enabled", "eesFeatureEnabled", kSwitch, 1, 0, 1},
    {"measurement.ddl.enabled", "isDeferredDeepLinkEnabled", kNonZeroSwitch, 1, 0, 1},
    {"measurement.ddl.retry_count", "maxDeferredDeepLinkRetryCount", kInteger, 5, 0, 10},
    {"measurement.attribution.cache.ttl", "attributionCacheTTLInterval", kInterval, kWeek, kDay, 30 * kDay},
    {"measurement.network.background_session_enabled", "isNetworkBackgroundSessionEnabled", kExperimentSwitch, 0, 0, 1, std::nullopt, kTLMExperimentFlagNetworkBackgroundSession},
    {"measurement.network.network_timeout", "networkTimeout", kInterval, 60, 30, 3600},
    {"measurement.config.cache_time", "remoteConfigCacheTimeInterval", kInterval, 3600, 60, kDay},
    {"measurement.session.default_minimum_interval", "sessionDefaultMinimumInterval", kInterval, 10, 0, kDay},
    {"measurement.session.default_timeout_interval", "sessionDefaultTimeoutInterval", kInterval, 1800, 0, kDay},
    {"measurement.session.event_user_engagement_interval", "sessionEventUserEngagementInterval", kInterval, 3600, 0, kDay},
    {"measurement.collection.efficient_engagement_reporting_enabled", "efficientEngagementReportingEnabled", kExperimentSwitch, 0, 0, 1, std::nullopt, kTLMExperimentFlagEfficientEngagementReporting},
    {"measurement.collection.redundant_engagement_removal_enabled", "redundantEngagementRemovalEnabled", kExperimentSwitch, 0, 0, 1, std::nullopt, kTLMExperimentFlagRedundantEngagementRemoval},
    {"measurement.api.consent_settings", "isConsentSettingsEnabled", kSwitch, 1, 0, 1},
    {"measurement.api.consent_settings_3p", "isConsentSettings3PEnabled", kSwitch, 1, 0, 1},
  };
  // clang-format on
};

inline constexpr const auto& kTLMRemoteFlags = TLMRemoteFlagTable::kFlags;
inline constexpr std::size_t kTLMRemoteFlagCount = std::size(kTLMRemoteFlags);

// The row whose accessor is `accessor`; a name without a row does not compile.
consteval std::size_t tlm_remoteFlagIndex(std::string_view accessor) {
  for (std::size_t i = 0; i < kTLMRemoteFlagCount; ++i) {
    if (kTLMRemoteFlags[i].accessor == accessor) return i;
  }
  throw "no remote flag with this accessor";
}

// The whole table, for walking it (diagnostics, tests).
std::span<const TLMRemoteFlag> tlm_remoteFlags();
// The row named `name` (the setting name), or null.
const TLMRemoteFlag* tlm_remoteFlagNamed(std::string_view name);
// "integer", "64-bit", "interval", ... for messages and test names.
std::string_view tlm_remoteFlagReaderName(TLMRemoteFlagReader reader);
