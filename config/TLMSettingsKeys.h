// Names of the settings domains (suites) and keys of every domain but the
// measurement suite, whose keys live beside TLMPersistedConfig
// (config/TLMPersistedConfigKeys.h). Which component reads or writes a key
// is said where it is used; these tables fix only names.
#pragma once

// Settings domains.
inline constexpr char kTLMMeasurementSuiteName[] = "com.tarvix.qvr.measurement";
inline constexpr char kTLMMonitorSuiteName[] = "com.tarvix.qvr.measurement.monitor";
inline constexpr char kTLMAnalyticsSuiteName[] = "TLMAnalyticsSuiteName";
inline constexpr char kTLMExperimentSuiteName[] = "TLMExperimentSuiteName";

// Every key of the measurement suite and of the app's own domain starts so.
inline constexpr char kTLMSettingsKeyPrefix[] = "/tarvix/measurement/";

// The app's own domain (TLMUserDefaults::standardUserDefaults()).
// int64: 0 or absent = not set, 1 = enabled, 2 = disabled.
inline constexpr char kTLMMeasurementEnabledStateKey[] =
    "/tarvix/measurement/measurement_enabled_state";
inline constexpr char kTLMDeepLinkKey[] = "/tarvix/measurement/deep_link";
// Number, seconds since 1970.
inline constexpr char kTLMDeepLinkTimestampKey[] =
    "/tarvix/measurement/deep_link_timestamp_seconds";
inline constexpr char kTLMDebugModeKey[] = "/tarvix/measurement/debug_mode";            // bool
inline constexpr char kTLMVerboseLoggingKey[] = "/tarvix/measurement/verbose_logging";  // bool
// Array of sampled monitor data. In the app's own domain only as the old
// location, migrated into the monitor domain.
inline constexpr char kTLMHealthMonitorKey[] = "/tarvix/measurement/health_monitor";

// The monitor domain (kTLMMonitorSuiteName): kTLMHealthMonitorKey and the
// migration state, an integer 0, 1 or 2.
inline constexpr char kTLMMonitorMigrationStateKey[] =
    "/tarvix/measurement/monitor_migration_state";

// The facade domain (kTLMAnalyticsSuiteName).
// Integer; removed instead of stored when below 1.
inline constexpr char kTLMResetRetryCountKey[] = "reset_retry_count";
inline constexpr char kTLMNeedFirstOpenAfterResetKey[] = "need_first_open_after_reset";  // bool
inline constexpr char kTLMAppInstanceIDAfterResetKey[] = "app_instance_id_after_reset";  // string
inline constexpr char kTLMDeferredAnalyticsCollectionKey[] = "deferred_analytics_collection";
// Integer number; absent reads as kTLMDefaultConsentSource.
inline constexpr char kTLMConsentSourceKey[] = "consent_source";
inline constexpr long kTLMDefaultConsentSource = 100;
// Consent settings dictionaries: from a source numbered 21 or above, from
// a source numbered 20 or below, and from the start options.
inline constexpr char kTLMConsentSettingsKey[] = "consent_settings";
inline constexpr char kTLMConsentSettings3PKey[] = "consent_settings_3p";
inline constexpr char kTLMConsentSettingsOnStartKey[] = "consent_settings_on_start";
inline constexpr char kTLMDeferredConsentResetKey[] = "deferred_consent_reset";  // boolean number

// The experiment domain (kTLMExperimentSuiteName): doubles, seconds since 1970.
inline constexpr char kTLMExperimentFetchSuccessTimestampKey[] =
    "TLMExperimentFetchSuccessTimestamp";
inline constexpr char kTLMExperimentFetchFailureTimestampKey[] =
    "TLMExperimentFetchFailureTimestamp";
inline constexpr char kTLMExperimentFetchBackoffTimestampKey[] =
    "TLMExperimentFetchBackoffTimestamp";
