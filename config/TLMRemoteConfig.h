// The measurement configuration sent by the measurement service, and every
// tunable of the library read from it (see config/TLMRemoteFlags.h).
//
// Each flag is looked up by its setting name in the flag cache. A cached
// value is the string the service sent until it is first read; the first
// read parses it, applies the flag's bounds (a value outside them gives the
// default, never the bound) and stores the resulting number in its place,
// so each string is parsed once per configuration. A name the
// configuration does not carry caches and answers its default.
//
// Thread-safety: every reader may be called from any queue. Replacing the
// cached settings swaps in a new cache in one step; a read that raced the
// replacement finishes against the cache it started with and never writes
// a stale value into the new one; a value cached by cacheValue while a read
// was converting the old one is kept, and that read answers it.
//
// The engine owns one instance per app ID; the default instance answers
// every flag with its default, for code that runs before or without an
// engine.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

#include "config/TLMDecimalNumberParser.h"
#include "config/TLMRemoteFlags.h"
#include "ferrolux/Object.h"

class HRNMutableDictionary;

// Monitor codes of the flag lookup.
inline constexpr long kTLMRemoteConfigCodeNonStringValue = 29018;
inline constexpr long kTLMRemoteConfigCodeEmptyCacheValue = 29019;
inline constexpr long kTLMRemoteConfigCodeEmptyKey = 29020;

class TLMRemoteConfig {
 public:
  // Turns a parsed number into the value kept in the cache; nothing means
  // the value is unusable and the default applies.
  using NumberConversion = std::function<std::optional<Object>(const Object& number)>;
  // The experiment client's boolean for an experiment flag name, or nothing
  // when the client yields no value (or there is no client).
  using ExperimentFlagSource = std::function<std::optional<bool>(std::string_view flagName)>;

  // The process-wide instance with no app ID: every flag at its default.
  static TLMRemoteConfig& defaultInstance();

  // The configuration of one measurement app. An empty app ID gives an
  // instance that behaves as the default one.
  explicit TLMRemoteConfig(std::string appID);
  ~TLMRemoteConfig();
  TLMRemoteConfig(const TLMRemoteConfig&) = delete;
  TLMRemoteConfig& operator=(const TLMRemoteConfig&) = delete;

  [[nodiscard]] bool isDefaultInstance() const { return isDefaultInstance_; }
  [[nodiscard]] const std::string& appID() const { return appID_; }

  // Replaces the flag cache with a configuration's settings (name to the
  // string the service sent); every flag not named answers its default. A
  // setting with an empty name is logged and skipped. Does nothing on the
  // default instance, which never holds a configuration.
  void cacheSettingValues(const std::map<std::string, std::string>& settings);

  // Where the experiment flags come from; none until the experiment client
  // is connected. Safe from any thread.
  void setExperimentFlagSource(ExperimentFlagSource source);

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

 private:
  struct DefaultInstanceTag {};
  explicit TLMRemoteConfig(DefaultInstanceTag);

  std::shared_ptr<HRNMutableDictionary> flagCache() const;
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
  TLMDecimalNumberParser numberFormatter_;

  // Guards the pointers below, never a lookup: a lookup copies the pointer
  // and works on that cache.
  mutable std::mutex mutex_;
  std::shared_ptr<HRNMutableDictionary> cachedValueByRemoteConfigKeys_;
  std::shared_ptr<const ExperimentFlagSource> experimentFlagSource_;
  // Makes "store unless changed since read" one step for lookups and
  // cacheValue (the dictionary's own lock covers single calls only).
  mutable std::mutex storeMutex_;
};
