#include "config/TLMRemoteConfig.h"

#include <cmath>
#include <limits>
#include <utility>

#include "common/SharedInstance.h"
#include "engine/TLMMeasurement.h"
#include "upload/TLMMonitor.h"
#include "utilities/HRNMutableDictionary.h"

namespace {

// Monitor levels used here.
constexpr int kLevelError = 2;
constexpr int kLevelNotice = 5;
constexpr int kLevelDebug = 7;

// Order of two numbers by value: exact for integers, by double otherwise.
bool numberIsLess(const Object& a, const Object& b) {
  if (!a.isFloatingNumber() && !b.isFloatingNumber()) return a.int64Value() < b.int64Value();
  return a.doubleValue() < b.doubleValue();
}

// The whole part of a number when it fits 64 bits; NaN, infinities and
// values beyond the range have none.
std::optional<std::int64_t> wholeInt64(const Object& number) {
  if (!number.isNumber()) return std::nullopt;
  if (!number.isFloatingNumber()) return number.int64Value();
  const double value = std::trunc(number.doubleValue());
  constexpr double kTwoTo63 = 9223372036854775808.0;
  if (!(value >= -kTwoTo63 && value < kTwoTo63)) return std::nullopt;
  return static_cast<std::int64_t>(value);
}

// The interval reader's conversion: whole milliseconds to seconds.
std::optional<Object> millisecondsToSeconds(const Object& number) {
  const std::optional<std::int64_t> milliseconds = wholeInt64(number);
  if (!milliseconds) return std::nullopt;
  return Object::floating(static_cast<double>(*milliseconds) / 1000.0);
}

}  // namespace

TLMRemoteConfig& TLMRemoteConfig::defaultInstance() {
  static SharedInstance<TLMRemoteConfig> instance;
  return *instance.get(
      [] { return std::shared_ptr<TLMRemoteConfig>(new TLMRemoteConfig(DefaultInstanceTag{})); });
}

TLMRemoteConfig::TLMRemoteConfig(DefaultInstanceTag) : TLMRemoteConfig(std::string()) {}

TLMRemoteConfig::TLMRemoteConfig(std::string appID)
    : TLMRemoteConfig(std::move(appID), std::weak_ptr<TLMDatabase>(), TLMRemoteConfigHooks()) {}

TLMRemoteConfig::TLMRemoteConfig(std::string appID, std::weak_ptr<TLMDatabase> database,
                                 TLMRemoteConfigHooks hooks)
    : isDefaultInstance_(appID.empty() && database.expired()),
      appID_(std::move(appID)),
      database_(std::move(database)),
      hooks_(std::move(hooks)),
      cachedValueByRemoteConfigKeys_(std::make_shared<HRNMutableDictionary>()),
      cachedEventConfigByEventName_(std::make_shared<const EventConfigMap>()) {}

TLMRemoteConfig::~TLMRemoteConfig() = default;

std::shared_ptr<HRNMutableDictionary> TLMRemoteConfig::flagCache() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return cachedValueByRemoteConfigKeys_;
}

void TLMRemoteConfig::cacheSettingValues(const std::map<std::string, std::string>& settings) {
  if (isDefaultInstance_) return;
  // Filled completely before it is swapped in, so no reader ever sees a
  // half-filled cache and caches a default for a setting that is coming.
  auto cache = std::make_shared<HRNMutableDictionary>();
  for (const auto& [name, value] : settings) {
    if (name.empty()) {
      TLMMeasurement::monitor().logWithLevel(kLevelNotice, kTLMRemoteConfigCodeEmptyCacheValue,
                                             "Cannot cache empty configuration value");
      continue;
    }
    cache->setObject(Object(value), Object(name));
  }
  std::shared_ptr<HRNMutableDictionary> replaced;  // released after the lock
  std::lock_guard<std::mutex> lock(mutex_);
  replaced = std::exchange(cachedValueByRemoteConfigKeys_, std::move(cache));
}

std::optional<Object> TLMRemoteConfig::numberFromCacheWithKey(
    const std::string& key, const Object& defaultValue, const std::optional<Object>& maxValue,
    const std::optional<Object>& minValue) const {
  return numberFromCacheWithKey(key, defaultValue, maxValue, minValue, NumberConversion());
}

std::optional<Object> TLMRemoteConfig::numberFromCacheWithKey(const std::string& key,
                                                              const Object& defaultValue,
                                                              const std::optional<Object>& maxValue,
                                                              const std::optional<Object>& minValue,
                                                              const NumberConversion& block) const {
  if (key.empty()) {
    TLMMeasurement::monitor().logWithLevel(kLevelDebug, kTLMRemoteConfigCodeEmptyKey,
                                           "Cannot get setting with empty key from cache");
    return std::nullopt;
  }
  // What a cached setting stands for: its number when it parses, passes
  // `block` and lies inside the bounds, else the default.
  const auto convert = [&](const Object& setting) -> Object {
    std::optional<Object> number;
    if (const std::string* text = setting.asString()) {
      number = numberFormatter_.numberFromString(*text);
    } else {
      TLMMeasurement::monitor().logWithLevel(kLevelError, kTLMRemoteConfigCodeNonStringValue,
                                             "Cannot parse number from non-string", setting);
    }
    if (number && block) number = block(*number);
    if (!number || !number->isNumber()) return defaultValue;
    if (minValue && numberIsLess(*number, *minValue)) return defaultValue;
    if (maxValue && numberIsLess(*maxValue, *number)) return defaultValue;
    return *number;
  };

  const std::shared_ptr<HRNMutableDictionary> cache = flagCache();
  const Object name(key);
  std::optional<Object> cached = cache->objectForKey(name);
  for (;;) {
    // Converted and checked by an earlier read.
    if (cached && cached->isNumber()) return cached;
    const Object result = cached ? convert(*cached) : defaultValue;
    // The result replaces only the value it came from; a value cached in
    // the meantime is read in its place. Two readers of one string store
    // the same number, whichever comes second.
    std::optional<Object> current;
    {
      std::lock_guard<std::mutex> lock(storeMutex_);
      current = cache->objectForKey(name);
      if (current == cached) {
        cache->setObject(result, name);
        return result;
      }
    }
    cached = std::move(current);
  }
}

double TLMRemoteConfig::timeIntervalInSecondsFromCacheWithKey(const std::string& key,
                                                              double defaultValue, double maxValue,
                                                              double minValue) const {
  const std::optional<Object> seconds =
      numberFromCacheWithKey(key, Object::floating(defaultValue), Object::floating(maxValue),
                             Object::floating(minValue), millisecondsToSeconds);
  if (!seconds || !seconds->isNumber() || !std::isfinite(seconds->doubleValue())) {
    return defaultValue;
  }
  return seconds->doubleValue();
}

std::int32_t TLMRemoteConfig::intValueFromCacheWithKey(const std::string& key,
                                                       std::int32_t defaultValue,
                                                       std::int32_t maxValue,
                                                       std::int32_t minValue) const {
  const std::optional<Object> number = numberFromCacheWithKey(
      key, Object::integer(defaultValue), Object::integer(maxValue), Object::integer(minValue));
  // "5.5" is in range and reads as 5, as a 32-bit value of a number does.
  const std::optional<std::int64_t> whole = number ? wholeInt64(*number) : std::nullopt;
  if (!whole || *whole < std::numeric_limits<std::int32_t>::min() ||
      *whole > std::numeric_limits<std::int32_t>::max()) {
    return defaultValue;
  }
  return static_cast<std::int32_t>(*whole);
}

std::int64_t TLMRemoteConfig::int64ValueFromCacheWithKey(const std::string& key,
                                                         std::int64_t defaultValue,
                                                         std::int64_t maxValue,
                                                         std::int64_t minValue) const {
  const std::optional<Object> number = numberFromCacheWithKey(
      key, Object::integer(defaultValue), Object::integer(maxValue), Object::integer(minValue));
  const std::optional<std::int64_t> whole = number ? wholeInt64(*number) : std::nullopt;
  return whole.value_or(defaultValue);
}

std::int64_t TLMRemoteConfig::int64ValueFromCacheWithKey(const std::string& key,
                                                         std::int64_t defaultValue) const {
  const std::optional<Object> number =
      numberFromCacheWithKey(key, Object::integer(defaultValue), std::nullopt, std::nullopt);
  const std::optional<std::int64_t> whole = number ? wholeInt64(*number) : std::nullopt;
  return whole.value_or(defaultValue);
}

std::optional<Object> TLMRemoteConfig::cacheValue(std::optional<Object> value,
                                                  const std::string& key) {
  if (!value || key.empty()) {
    TLMMeasurement::monitor().logWithLevel(kLevelNotice, kTLMRemoteConfigCodeEmptyCacheValue,
                                           "Cannot cache empty configuration value");
    return value;
  }
  const std::shared_ptr<HRNMutableDictionary> cache = flagCache();
  std::lock_guard<std::mutex> lock(storeMutex_);
  cache->setObject(*value, Object(key));
  return value;
}

std::optional<Object> TLMRemoteConfig::numberFromString(std::string_view text) const {
  return numberFormatter_.numberFromString(text);
}

std::optional<Object> TLMRemoteConfig::cachedValueForKey(const std::string& key) const {
  return flagCache()->objectForKey(Object(key));
}

std::optional<std::string> TLMRemoteConfig::cachedStringValueForKey(const std::string& key) const {
  const std::optional<Object> value = cachedValueForKey(key);
  if (!value) return std::nullopt;
  return value->stringValue();
}
