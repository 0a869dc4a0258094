// The flag table's checks, and TLMRemoteConfig's accessors generated from
// it: each accessor finds its row by its own name at compile time.
#include "config/TLMRemoteFlags.h"

#include <cmath>
#include <limits>
#include <type_traits>

#include "config/TLMRemoteConfig.h"

namespace {

using Reader = TLMRemoteFlagReader;

constexpr bool isSwitch(Reader reader) {
  return reader == Reader::kSwitch || reader == Reader::kNonZeroSwitch ||
         reader == Reader::kExperimentSwitch;
}

constexpr bool readsThirtyTwoBits(Reader reader) {
  return reader == Reader::kInteger || isSwitch(reader);
}

// Every row is usable: bounds in order, the default inside them, values
// that fit the reader, unique names, and the optional columns only where
// they mean something.
consteval bool tableIsSound() {
  constexpr auto kInt32Min = std::numeric_limits<std::int32_t>::min();
  constexpr auto kInt32Max = std::numeric_limits<std::int32_t>::max();
  for (std::size_t i = 0; i < kTLMRemoteFlagCount; ++i) {
    const TLMRemoteFlag& flag = kTLMRemoteFlags[i];
    if (flag.name.empty() || flag.accessor.empty()) return false;
    if (flag.minValue > flag.maxValue) return false;
    if (flag.defaultValue < flag.minValue || flag.defaultValue > flag.maxValue) return false;
    if (readsThirtyTwoBits(flag.reader) && (flag.minValue < kInt32Min || flag.maxValue > kInt32Max))
      return false;
    if (isSwitch(flag.reader) && (flag.minValue != 0 || flag.maxValue != 1)) return false;
    if (flag.fixedWhenLimitsOff && flag.reader != Reader::kInteger) return false;
    if ((flag.reader == Reader::kExperimentSwitch) == flag.experimentFlag.empty()) return false;
    for (std::size_t j = 0; j < i; ++j) {
      if (kTLMRemoteFlags[j].name == flag.name) return false;
      if (kTLMRemoteFlags[j].accessor == flag.accessor) return false;
    }
  }
  return true;
}
static_assert(tableIsSound(), "every remote flag needs sound bounds and unique names");
static_assert(kTLMRemoteFlags[tlm_remoteFlagIndex("configurableLimitsEnabled")].name ==
              kTLMConfigurableLimitsEnabledFlag);

// The C++ type each reader answers with.
template <typename T>
consteval bool answersAs(Reader reader) {
  switch (reader) {
    case Reader::kInteger:
      return std::is_same_v<T, std::int32_t>;
    case Reader::kInteger64:
    case Reader::kIntervalInteger:
      return std::is_same_v<T, std::int64_t>;
    case Reader::kInterval:
      return std::is_same_v<T, double>;
    case Reader::kSwitch:
    case Reader::kNonZeroSwitch:
    case Reader::kExperimentSwitch:
      return std::is_same_v<T, bool>;
  }
  return false;
}

}  // namespace

std::span<const TLMRemoteFlag> tlm_remoteFlags() { return kTLMRemoteFlags; }

const TLMRemoteFlag* tlm_remoteFlagNamed(std::string_view name) {
  for (const TLMRemoteFlag& flag : kTLMRemoteFlags) {
    if (flag.name == name) return &flag;
  }
  return nullptr;
}

std::string_view tlm_remoteFlagReaderName(TLMRemoteFlagReader reader) {
  switch (reader) {
    case Reader::kInteger:
      return "integer";
    case Reader::kInteger64:
      return "64-bit";
    case Reader::kInterval:
      return "interval";
    case Reader::kIntervalInteger:
      return "interval, then truncated to a signed integer";
    case Reader::kSwitch:
      return "integer switch";
    case Reader::kNonZeroSwitch:
      return "integer, non-zero";
    case Reader::kExperimentSwitch:
      return "experiment flag, else integer switch";
  }
  return "unknown";
}

// ---- Table-driven readers ----

std::int32_t TLMRemoteConfig::int32FlagValue(const TLMRemoteFlag& flag) const {
  if (flag.fixedWhenLimitsOff && !configurableLimitsEnabled()) {
    return static_cast<std::int32_t>(*flag.fixedWhenLimitsOff);
  }
  return intValueFromCacheWithKey(
      std::string(flag.name), static_cast<std::int32_t>(flag.defaultValue),
      static_cast<std::int32_t>(flag.maxValue), static_cast<std::int32_t>(flag.minValue));
}

std::int64_t TLMRemoteConfig::int64FlagValue(const TLMRemoteFlag& flag) const {
  return int64ValueFromCacheWithKey(std::string(flag.name), flag.defaultValue, flag.maxValue,
                                    flag.minValue);
}

double TLMRemoteConfig::intervalFlagValue(const TLMRemoteFlag& flag) const {
  return timeIntervalInSecondsFromCacheWithKey(
      std::string(flag.name), static_cast<double>(flag.defaultValue),
      static_cast<double>(flag.maxValue), static_cast<double>(flag.minValue));
}

std::int64_t TLMRemoteConfig::intervalIntegerFlagValue(const TLMRemoteFlag& flag) const {
  // Inside the bounds, so the truncation cannot overflow.
  return static_cast<std::int64_t>(std::trunc(intervalFlagValue(flag)));
}

bool TLMRemoteConfig::switchFlagValue(const TLMRemoteFlag& flag) const {
  if (flag.reader == Reader::kExperimentSwitch) {
    if (const std::optional<bool> experiment = experimentFlagValue(flag.experimentFlag)) {
      return *experiment;
    }
  }
  const std::int32_t value = intValueFromCacheWithKey(
      std::string(flag.name), static_cast<std::int32_t>(flag.defaultValue),
      static_cast<std::int32_t>(flag.maxValue), static_cast<std::int32_t>(flag.minValue));
  return flag.reader == Reader::kNonZeroSwitch ? value != 0 : value == 1;
}

template <typename T>
T TLMRemoteConfig::flagValue(const TLMRemoteFlag& flag) const {
  if constexpr (std::is_same_v<T, bool>) {
    return switchFlagValue(flag);
  } else if constexpr (std::is_same_v<T, double>) {
    return intervalFlagValue(flag);
  } else if constexpr (std::is_same_v<T, std::int32_t>) {
    return int32FlagValue(flag);
  } else {
    return flag.reader == Reader::kIntervalInteger ? intervalIntegerFlagValue(flag)
                                                   : int64FlagValue(flag);
  }
}

// ---- Accessors ----

// Defines `Type TLMRemoteConfig::accessor() const` reading the row whose
// accessor column is "accessor"; a missing row or a reader that answers
// another type does not compile.
#define TLM_REMOTE_FLAG_ACCESSOR(Type, accessor)                  \
  Type TLMRemoteConfig::accessor() const {                        \
    constexpr std::size_t kRow = tlm_remoteFlagIndex(#accessor);  \
    static_assert(answersAs<Type>(kTLMRemoteFlags[kRow].reader)); \
    return flagValue<Type>(kTLMRemoteFlags[kRow]);                \
  }

TLM_REMOTE_FLAG_ACCESSOR(std::int32_t, maxAudienceCount)
TLM_REMOTE_FLAG_ACCESSOR(std::int32_t, maxFiltersPerAudience)
TLM_REMOTE_FLAG_ACCESSOR(std::int32_t, maxFilterResultCount)
TLM_REMOTE_FLAG_ACCESSOR(std::int32_t, maxParametersPerFilter)
TLM_REMOTE_FLAG_ACCESSOR(std::int32_t, maxTrackedCurrencies)
TLM_REMOTE_FLAG_ACCESSOR(std::int32_t, maxEventsStored)
TLM_REMOTE_FLAG_ACCESSOR(double, monitoringSamplePeriod)
TLM_REMOTE_FLAG_ACCESSOR(double, databaseDeleteStaleBundlesInterval)
TLM_REMOTE_FLAG_ACCESSOR(double, adIDCacheTime)
TLM_REMOTE_FLAG_ACCESSOR(bool, gateIDFAOnATTMASEnabled)
TLM_REMOTE_FLAG_ACCESSOR(bool, configurableLimitsEnabled)
TLM_REMOTE_FLAG_ACCESSOR(std::int32_t, maxPublicUserProperties)
TLM_REMOTE_FLAG_ACCESSOR(std::int32_t, maxEventNameCardinality)
TLM_REMOTE_FLAG_ACCESSOR(std::int32_t, maxPublicEventParams)
TLM_REMOTE_FLAG_ACCESSOR(std::int64_t, maxBundlesCreatedPerIteration)
TLM_REMOTE_FLAG_ACCESSOR(std::int32_t, maxConversionsPerDay)
TLM_REMOTE_FLAG_ACCESSOR(std::int32_t, maxErrorEventsPerDay)
TLM_REMOTE_FLAG_ACCESSOR(std::int32_t, maxEventsPerDay)
TLM_REMOTE_FLAG_ACCESSOR(std::int32_t, maxPublicEventsPerDay)
TLM_REMOTE_FLAG_ACCESSOR(double, maxQueueTime)
TLM_REMOTE_FLAG_ACCESSOR(std::int64_t, uploadMaxBundlesLimit)
TLM_REMOTE_FLAG_ACCESSOR(std::int64_t, uploadMaxEventsPerBundle)
TLM_REMOTE_FLAG_ACCESSOR(std::int64_t, uploadMaxSizeLimitBytes)
TLM_REMOTE_FLAG_ACCESSOR(double, uploadingBackoffInterval)
TLM_REMOTE_FLAG_ACCESSOR(double, uploadingDebugModeInterval)
TLM_REMOTE_FLAG_ACCESSOR(double, uploadingInterval)
TLM_REMOTE_FLAG_ACCESSOR(double, uploadingInitialDelayInterval)
TLM_REMOTE_FLAG_ACCESSOR(std::int32_t, maxRealtimeEventCountPerDay)
TLM_REMOTE_FLAG_ACCESSOR(double, uploadingRetryInterval)
TLM_REMOTE_FLAG_ACCESSOR(std::int32_t, uploadingRetryCount)
TLM_REMOTE_FLAG_ACCESSOR(double, uploadingRealTimeInterval)
TLM_REMOTE_FLAG_ACCESSOR(bool, blocklistInternal)
TLM_REMOTE_FLAG_ACCESSOR(bool, blocklistPublic)
TLM_REMOTE_FLAG_ACCESSOR(bool, isEventSamplingEnabled)
TLM_REMOTE_FLAG_ACCESSOR(std::int32_t, analyticsAccountTimeZoneOffsetMinutes)
TLM_REMOTE_FLAG_ACCESSOR(bool, checksumEnabled)
TLM_REMOTE_FLAG_ACCESSOR(bool, appBackgroundedEventEnabled)
TLM_REMOTE_FLAG_ACCESSOR(bool, appInBackgroundParameterEnabled)
TLM_REMOTE_FLAG_ACCESSOR(bool, lastAdvertisingIDResetFeatureEnabled)
TLM_REMOTE_FLAG_ACCESSOR(bool, eesFeatureEnabled)
TLM_REMOTE_FLAG_ACCESSOR(bool, isDeferredDeepLinkEnabled)
TLM_REMOTE_FLAG_ACCESSOR(std::int32_t, maxDeferredDeepLinkRetryCount)
TLM_REMOTE_FLAG_ACCESSOR(double, attributionCacheTTLInterval)
TLM_REMOTE_FLAG_ACCESSOR(bool, isNetworkBackgroundSessionEnabled)
TLM_REMOTE_FLAG_ACCESSOR(double, networkTimeout)
TLM_REMOTE_FLAG_ACCESSOR(double, remoteConfigCacheTimeInterval)
TLM_REMOTE_FLAG_ACCESSOR(double, sessionDefaultMinimumInterval)
TLM_REMOTE_FLAG_ACCESSOR(double, sessionDefaultTimeoutInterval)
TLM_REMOTE_FLAG_ACCESSOR(double, sessionEventUserEngagementInterval)
TLM_REMOTE_FLAG_ACCESSOR(bool, efficientEngagementReportingEnabled)
TLM_REMOTE_FLAG_ACCESSOR(bool, redundantEngagementRemovalEnabled)
TLM_REMOTE_FLAG_ACCESSOR(bool, isConsentSettingsEnabled)
TLM_REMOTE_FLAG_ACCESSOR(bool, isConsentSettings3PEnabled)

#undef TLM_REMOTE_FLAG_ACCESSOR
