// The measurement configuration sent by the measurement service, and every
// tunable of the library read from it (see config/TLMRemoteFlags.h):
// limits, intervals, switches, per-event settings and the event-editing
// programs.
//
// Each flag is looked up by its setting name in the flag cache. A cached
// value is the string the service sent until it is first read; the first
// read parses it, applies the flag's bounds (a value outside them gives the
// default, never the bound) and stores the resulting number in its place,
// so each string is parsed once per configuration. A name the
// configuration does not carry caches and answers its default.
//
// Thread-safety: every reader and every per-event answer may be called
// from any queue. Applying a configuration, resetting and replacing the
// cached settings swap in new caches in one step; a read that raced the
// replacement finishes against the cache it started with and never writes
// a stale value into the new one; a value cached by cacheValue while a read
// was converting the old one is kept, and that read answers it. Storing,
// loading and the expiry questions use the database and run on the
// measurement worker queue (off the main thread; a call from the main
// thread is reported, level 1, code 30001, and still served).
//
// Ownership: the engine owns one instance per app ID (through a
// shared_ptr, which the database shares to read its limits). The instance
// holds the database weakly, so neither keeps the other alive; once the
// database is gone, storing, loading and the update time report failure.
// The default instance answers every flag with its default, for code that
// runs before or without an engine.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "config/TLMDecimalNumberParser.h"
#include "config/TLMEventEditingSeam.h"
#include "config/TLMExperimentSeam.h"
#include "config/TLMRemoteFlags.h"
#include "ferrolux/Object.h"
#include "upload/TLMPBConfigMessages.h"

class HRNMutableDictionary;
class TLMDatabase;

// Monitor codes.
inline constexpr long kTLMRemoteConfigCodeNoAppID = 29000;
inline constexpr long kTLMRemoteConfigCodeNoDatabase = 29001;
inline constexpr long kTLMRemoteConfigCodeUpdateDefaultInstance = 29002;
inline constexpr long kTLMRemoteConfigCodeEmptyConfig = 29003;
inline constexpr long kTLMRemoteConfigCodeAppIDMismatch = 29004;
inline constexpr long kTLMRemoteConfigCodeStoreFailed = 29005;
inline constexpr long kTLMRemoteConfigCodeEmptyEventName = 29006;
inline constexpr long kTLMRemoteConfigCodeExpiryOfDefaultInstance = 29007;
inline constexpr long kTLMRemoteConfigCodeTimestampOfDefaultInstance = 29008;
inline constexpr long kTLMRemoteConfigCodeTimestampQueryFailed = 29009;
inline constexpr long kTLMRemoteConfigCodeNoSettings = 29012;
inline constexpr long kTLMRemoteConfigCodeEmptyEventConfigName = 29013;
inline constexpr long kTLMRemoteConfigCodeParsed = 29014;
inline constexpr long kTLMRemoteConfigCodeLoadForDefaultInstance = 29015;
inline constexpr long kTLMRemoteConfigCodeLoadFailed = 29016;
inline constexpr long kTLMRemoteConfigCodeNotStored = 29017;
inline constexpr long kTLMRemoteConfigCodeNonStringValue = 29018;
inline constexpr long kTLMRemoteConfigCodeEmptyCacheValue = 29019;
inline constexpr long kTLMRemoteConfigCodeEmptyKey = 29020;
inline constexpr long kTLMRemoteConfigCodeAdNetworkAppIDMismatch = 29022;
inline constexpr long kTLMRemoteConfigCodeStaleSnapshotActivation = 29023;
inline constexpr long kTLMRemoteConfigCodeSnapshotActivation = 29024;
inline constexpr long kTLMRemoteConfigCodeExperimentFetch = 29025;
inline constexpr long kTLMRemoteConfigCodeEventEditingFailed = 29026;
inline constexpr long kTLMRemoteConfigCodeEventEditingLoaded = 29027;

// The sampling rates an event configuration may set; any other rate (or
// none) keeps every event, a rate of 1.
inline constexpr std::int32_t kTLMMinimumSamplingRate = 2;
inline constexpr std::int32_t kTLMMaximumSamplingRate = 65535;

// The identifiers' origin when the ad-network SDK started the library.
inline constexpr char kTLMAdNetworkOrigin[] = "vm";

// What the engine supplies that this component cannot know itself. Each
// hook is optional and called on the queue of the operation that needs it.
struct TLMRemoteConfigHooks {
  // The origin of the identifiers (kTLMAdNetworkOrigin when the ad-network
  // SDK started the library). Stand-in until identity records the origin:
  // without it the library is taken as started by the app.
  std::function<std::string()> identifiersOrigin;
  // Whether the engine is enabled, which decides whether experiments are
  // fetched. Without it they are not.
  std::function<bool()> isMeasurementEnabled;
  // Builds the event-editing runtime; see config/TLMEventEditingSeam.h.
  TLMEventEditingLoader eventEditingLoader;
};

class TLMRemoteConfig : public TLMExperimentClientDelegate,
                        public std::enable_shared_from_this<TLMRemoteConfig> {
 public:
  // Turns a parsed number into the value kept in the cache; nothing means
  // the value is unusable and the default applies.
  using NumberConversion = std::function<std::optional<Object>(const Object& number)>;

  // The process-wide instance with no app ID, database, configuration or
  // experiment manager: every flag at its default.
  static TLMRemoteConfig& defaultInstance();

  // The engine's configuration for `appID`, bound to `database`: registers
  // with `experimentManager` (may be null), activates a waiting snapshot,
  // then loads and parses the stored configuration. Null, with a report
  // (level 1, 29000 / 29001), for an empty app ID or a missing database.
  // Runs on the worker queue.
  [[nodiscard]] static std::shared_ptr<TLMRemoteConfig> initWithAppID(
      const std::string& appID, const std::weak_ptr<TLMDatabase>& database,
      std::shared_ptr<TLMExperimentManagerSeam> experimentManager, TLMRemoteConfigHooks hooks = {});
  // The same, applying (storing) `measurementConfig` instead of loading.
  [[nodiscard]] static std::shared_ptr<TLMRemoteConfig> initWithAppID(
      const std::string& appID, const std::weak_ptr<TLMDatabase>& database,
      const TLMPBMeasurementConfig& measurementConfig,
      std::shared_ptr<TLMExperimentManagerSeam> experimentManager, TLMRemoteConfigHooks hooks = {});

  // A configuration without database or experiment manager (tools, tests):
  // flags and per-event answers come from parseRemoteConfigFromMeasurementConfig
  // or cacheSettingValues; storing, loading and the update time report
  // failure. An empty app ID gives an instance that behaves as the default
  // one.
  explicit TLMRemoteConfig(std::string appID);
  ~TLMRemoteConfig() override;
  TLMRemoteConfig(const TLMRemoteConfig&) = delete;
  TLMRemoteConfig& operator=(const TLMRemoteConfig&) = delete;

  [[nodiscard]] bool isDefaultInstance() const { return isDefaultInstance_; }
  [[nodiscard]] const std::string& appID() const { return appID_; }

  // ---- Configuration state ----

  // Checks that `measurementConfig` belongs to this app, stores it in the
  // database and applies it; the configuration now in force, or null with a
  // report (29002 default instance, 29003 none given, 29022 / 29004 app ID
  // mismatch, 29005 not stored). Runs on the worker queue.
  [[nodiscard]] std::shared_ptr<const TLMPBMeasurementConfig> updateMeasurementConfig(
      const TLMPBMeasurementConfig* measurementConfig);
  // The stored configuration, or nothing (29015 default instance, 29016
  // database error or undecodable blob, 29017 none stored). Runs on the
  // worker queue.
  [[nodiscard]] std::optional<TLMPBMeasurementConfig> measurementConfigFromDatabase();
  // Fills the caches from `measurementConfig`: its settings replace the
  // flag cache and its event configurations the per-event answers; a
  // configuration without settings (29012) or for another app changes
  // nothing. Programs, when it has any, replace the event-editing runtime.
  void parseRemoteConfigFromMeasurementConfig(const TLMPBMeasurementConfig& measurementConfig);
  // Whether remoteConfigCacheTimeInterval or more lies between now and the
  // last update, in either direction. Runs on the worker queue.
  [[nodiscard]] bool isExpired() const;
  // Seconds since 1970 of the last successful fetch; 0.0 when unknown
  // (29008 default instance, 29009 database error). Runs on the worker
  // queue.
  [[nodiscard]] double lastRemoteConfigUpdateTimestamp() const;
  // The version of the configuration in force, or -1.
  [[nodiscard]] std::int64_t version() const;
  // The configuration in force, or null.
  [[nodiscard]] std::shared_ptr<const TLMPBMeasurementConfig> measurementConfig() const;
  // The configuration fetch URL: `serviceBaseURL` + "/config/app/<app ID>?"
  // + the query (config/TLMRemoteConfigURL.cc). While analytics storage is
  // denied the app instance ID is sent empty. None, with a report, when
  // there is no service address or app ID (29011) or, storage not denied,
  // no app instance ID, or no platform (29010).
  [[nodiscard]] std::optional<std::string> remoteConfigURLWithAppInstanceID(
      const std::optional<std::string>& appInstanceID, const std::string& platform,
      std::int64_t SDKVersion, std::int64_t runtimeVersion,
      const std::optional<std::string>& serviceBaseURL, bool isAnalyticsStorageDenied) const;
  // Every flag back to its default and no per-event settings until a
  // configuration is applied again; the experiment manager forgets its
  // snapshots. The event-editing runtime stays.
  void reset();
  // The experiments in force, reported with uploads; empty without an
  // experiment manager.
  [[nodiscard]] std::vector<std::int64_t> experimentIDs() const;
  // The loaded event-editing runtime, or null.
  [[nodiscard]] std::shared_ptr<TLMEventEditingRuntime> eventEditing() const;

  // Replaces the flag cache with settings (name to the string the service
  // sent); every flag not named answers its default. A setting with an
  // empty name is logged (29019) and skipped. The settings step of
  // parsing; does nothing on the default instance.
  void cacheSettingValues(const std::map<std::string, std::string>& settings);

  // ---- Per-event answers ----
  // The name is looked up as given; configurations were stored under their
  // internal names (internalEventNameForConfigName). An empty name is
  // reported (level 5, 29006) and has no configuration.

  [[nodiscard]] std::optional<TLMPBEventConfig> eventConfigWithName(const std::string& name) const;
  // The configuration's blocklisted flag when present and set; otherwise
  // blocklistInternal for a name beginning with "_", else blocklistPublic.
  [[nodiscard]] bool isEventBlocklisted(const std::string& name) const;
  [[nodiscard]] bool isEventCustomConversion(const std::string& name) const;
  [[nodiscard]] bool eventHasSamplingRate(const std::string& name) const;
  // The configured rate within [kTLMMinimumSamplingRate,
  // kTLMMaximumSamplingRate]; 1 otherwise.
  [[nodiscard]] std::int32_t samplingRateForEvent(const std::string& name) const;
  // The name under which an event configuration is kept: the public names
  // that the event pipeline stores under an internal name map to it
  // ("ad_impression" to "_ai"); every other name stays.
  [[nodiscard]] static std::string internalEventNameForConfigName(std::string_view name);

  // ---- Experiments ----

  // Activates the snapshot announced by clientDidReceiveNewSnapshot; false
  // when none waits or activation fails (29024).
  bool activateNewSnapshot();
  [[nodiscard]] bool randomGeneratorStudyEnabled() const;
  void setRandomGeneratorStudyEnabled(bool enabled);
  // The experiment client's "random_generator_study_enabled" now; false
  // when it yields nothing.
  [[nodiscard]] bool currentRandomGeneratorStudyEnabledFlag() const;

  // TLMExperimentClientDelegate; called by the experiment manager.
  void clientDidReceiveNewSnapshot() override;
  void clientDidReceiveFetchError(const Error* error) override;
  bool shouldFetchExperimentsForClient() override;
  // "random_uuid" and "random_security" while the random generator study
  // is on; nothing while it is off.
  std::optional<std::map<std::string, std::string>> dynamicCustomPropertiesForSDKProperty()
      override;

  // ---- Flag accessors: one per row of kTLMRemoteFlags, in its order. ----
  [[nodiscard]] std::int32_t maxAudienceCount() const;
  [[nodiscard]] std::int32_t maxFiltersPerAudience() const;
  [[nodiscard]] std::int32_t maxFilterResultCount() const;
  [[nodiscard]] std::int32_t maxParametersPerFilter() const;
  [[nodiscard]] std::int32_t maxTrackedCurrencies() const;
  [[nodiscard]] std::int32_t maxEventsStored() const;
  [[nodiscard]] double monitoringSamplePeriod() const;
  [[nodiscard]] double databaseDeleteStaleBundlesInterval() const;
  [[nodiscard]] double adIDCacheTime() const;
  [[nodiscard]] bool gateIDFAOnATTMASEnabled() const;
  [[nodiscard]] bool configurableLimitsEnabled() const;
  // The next three are fixed at their defaults while configurable limits
  // are off.
  [[nodiscard]] std::int32_t maxPublicUserProperties() const;
  [[nodiscard]] std::int32_t maxEventNameCardinality() const;
  [[nodiscard]] std::int32_t maxPublicEventParams() const;
  // Sent as a thousand times the count (100000 for 100).
  [[nodiscard]] std::int64_t maxBundlesCreatedPerIteration() const;
  [[nodiscard]] std::int32_t maxConversionsPerDay() const;
  [[nodiscard]] std::int32_t maxErrorEventsPerDay() const;
  [[nodiscard]] std::int32_t maxEventsPerDay() const;
  [[nodiscard]] std::int32_t maxPublicEventsPerDay() const;
  [[nodiscard]] double maxQueueTime() const;
  [[nodiscard]] std::int64_t uploadMaxBundlesLimit() const;
  [[nodiscard]] std::int64_t uploadMaxEventsPerBundle() const;
  [[nodiscard]] std::int64_t uploadMaxSizeLimitBytes() const;
  [[nodiscard]] double uploadingBackoffInterval() const;
  [[nodiscard]] double uploadingDebugModeInterval() const;
  [[nodiscard]] double uploadingInterval() const;
  [[nodiscard]] double uploadingInitialDelayInterval() const;
  [[nodiscard]] std::int32_t maxRealtimeEventCountPerDay() const;
  [[nodiscard]] double uploadingRetryInterval() const;
  [[nodiscard]] std::int32_t uploadingRetryCount() const;
  [[nodiscard]] double uploadingRealTimeInterval() const;
  [[nodiscard]] bool blocklistInternal() const;
  [[nodiscard]] bool blocklistPublic() const;
  [[nodiscard]] bool isEventSamplingEnabled() const;
  [[nodiscard]] std::int32_t analyticsAccountTimeZoneOffsetMinutes() const;
  [[nodiscard]] bool checksumEnabled() const;
  [[nodiscard]] bool appBackgroundedEventEnabled() const;
  [[nodiscard]] bool appInBackgroundParameterEnabled() const;
  [[nodiscard]] bool lastAdvertisingIDResetFeatureEnabled() const;
  [[nodiscard]] bool eesFeatureEnabled() const;
  [[nodiscard]] bool isDeferredDeepLinkEnabled() const;
  [[nodiscard]] std::int32_t maxDeferredDeepLinkRetryCount() const;
  [[nodiscard]] double attributionCacheTTLInterval() const;
  [[nodiscard]] bool isNetworkBackgroundSessionEnabled() const;
  [[nodiscard]] double networkTimeout() const;
  [[nodiscard]] double remoteConfigCacheTimeInterval() const;
  [[nodiscard]] double sessionDefaultMinimumInterval() const;
  [[nodiscard]] double sessionDefaultTimeoutInterval() const;
  [[nodiscard]] double sessionEventUserEngagementInterval() const;
  [[nodiscard]] bool efficientEngagementReportingEnabled() const;
  [[nodiscard]] bool redundantEngagementRemovalEnabled() const;
  [[nodiscard]] bool isConsentSettingsEnabled() const;
  [[nodiscard]] bool isConsentSettings3PEnabled() const;

  // ---- Generic readers, usable for any setting name. ----
  // The lookup behind every flag. Bounds are inclusive and optional. An
  // empty key is logged and yields nothing.
  [[nodiscard]] std::optional<Object> numberFromCacheWithKey(
      const std::string& key, const Object& defaultValue, const std::optional<Object>& maxValue,
      const std::optional<Object>& minValue) const;
  // The same, with `block` applied to a freshly parsed number before the
  // bounds are checked.
  [[nodiscard]] std::optional<Object> numberFromCacheWithKey(const std::string& key,
                                                             const Object& defaultValue,
                                                             const std::optional<Object>& maxValue,
                                                             const std::optional<Object>& minValue,
                                                             const NumberConversion& block) const;
  // The setting is whole milliseconds (a fraction is truncated toward
  // zero); default, bounds and answer are seconds.
  [[nodiscard]] double timeIntervalInSecondsFromCacheWithKey(const std::string& key,
                                                             double defaultValue, double maxValue,
                                                             double minValue) const;
  [[nodiscard]] std::int32_t intValueFromCacheWithKey(const std::string& key,
                                                      std::int32_t defaultValue,
                                                      std::int32_t maxValue,
                                                      std::int32_t minValue) const;
  [[nodiscard]] std::int64_t int64ValueFromCacheWithKey(const std::string& key,
                                                        std::int64_t defaultValue,
                                                        std::int64_t maxValue,
                                                        std::int64_t minValue) const;
  // Without bounds: any value that fits 64 bits.
  [[nodiscard]] std::int64_t int64ValueFromCacheWithKey(const std::string& key,
                                                        std::int64_t defaultValue) const;
  // Stores a present value under a non-empty key (else logs and stores
  // nothing); returns `value` either way.
  std::optional<Object> cacheValue(std::optional<Object> value, const std::string& key);
  // A decimal number, or nothing (see TLMDecimalNumberParser).
  [[nodiscard]] std::optional<Object> numberFromString(std::string_view text) const;
  // What the flag cache holds under `key` now: the string sent, the number
  // it became, or nothing.
  [[nodiscard]] std::optional<Object> cachedValueForKey(const std::string& key) const;

  // The text of what the flag cache holds under `key` (the string sent, or
  // the number it became), for the event-editing runtime; nothing when
  // nothing is cached.
  [[nodiscard]] std::optional<std::string> cachedStringValueForKey(const std::string& key) const;

 private:
  using EventConfigMap = std::map<std::string, TLMPBEventConfig>;

  struct DefaultInstanceTag {};
  explicit TLMRemoteConfig(DefaultInstanceTag);
  TLMRemoteConfig(std::string appID, std::weak_ptr<TLMDatabase> database,
                  TLMRemoteConfigHooks hooks);

  // The designated initialisation, after the checks of initWithAppID.
  static std::shared_ptr<TLMRemoteConfig> initDesignated(
      const std::string& appID, const std::weak_ptr<TLMDatabase>& database,
      const TLMPBMeasurementConfig* measurementConfig,
      std::shared_ptr<TLMExperimentManagerSeam> experimentManager, TLMRemoteConfigHooks hooks);
  void registerWithExperimentManager(std::shared_ptr<TLMExperimentManagerSeam> experimentManager);
  void loadStoredConfiguration();

  // The database while it exists; null with `error` filled otherwise.
  std::shared_ptr<TLMDatabase> lockedDatabase(Error* error) const;
  // Swaps in new caches (and, when given, the configuration in force).
  void publish(std::shared_ptr<HRNMutableDictionary> flags,
               std::shared_ptr<const EventConfigMap> eventConfigs);
  void loadEventEditing(const TLMPBMeasurementConfig& measurementConfig);
  // The event configuration stored under `name`, or null; reports an
  // empty name.
  const TLMPBEventConfig* eventConfigEntry(const std::string& name,
                                           std::shared_ptr<const EventConfigMap>& holder) const;

  std::shared_ptr<HRNMutableDictionary> flagCache() const;
  std::shared_ptr<TLMExperimentClientSeam> experimentClient() const;
  std::optional<bool> experimentFlagValue(std::string_view flagName) const;

  // The table-driven readers behind the accessors.
  template <typename T>
  T flagValue(const TLMRemoteFlag& flag) const;
  std::int32_t int32FlagValue(const TLMRemoteFlag& flag) const;
  std::int64_t int64FlagValue(const TLMRemoteFlag& flag) const;
  double intervalFlagValue(const TLMRemoteFlag& flag) const;
  std::int64_t intervalIntegerFlagValue(const TLMRemoteFlag& flag) const;
  bool switchFlagValue(const TLMRemoteFlag& flag) const;

  const bool isDefaultInstance_;
  const std::string appID_;
  // Weak: the database holds this configuration.
  const std::weak_ptr<TLMDatabase> database_;
  const TLMRemoteConfigHooks hooks_;
  TLMDecimalNumberParser numberFormatter_;

  // Guards the pointers below, never a lookup: a lookup copies the pointer
  // and works on what it points to. Event configurations, the kept
  // configuration and the runtime are never changed once published.
  mutable std::mutex mutex_;
  std::shared_ptr<HRNMutableDictionary> cachedValueByRemoteConfigKeys_;
  std::shared_ptr<const EventConfigMap> cachedEventConfigByEventName_;
  std::shared_ptr<const TLMPBMeasurementConfig> remoteConfigProto_;
  std::shared_ptr<TLMEventEditingRuntime> eventEditing_;
  std::shared_ptr<TLMExperimentManagerSeam> experimentManager_;
  std::shared_ptr<TLMExperimentClientSeam> experimentClient_;
  // Makes "store unless changed since read" one step for lookups and
  // cacheValue (the dictionary's own lock covers single calls only).
  mutable std::mutex storeMutex_;

  // A snapshot waits; `snapshotGeneration_` counts announcements so that an
  // activation clears only the announcement it served.
  std::mutex snapshotMutex_;
  bool hasNewSnapshot_ = false;
  std::uint64_t snapshotGeneration_ = 0;
  std::atomic<bool> randomGeneratorsEnabled_{false};
};
