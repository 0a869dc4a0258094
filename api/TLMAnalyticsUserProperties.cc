// User properties and the user ID.
//
// Names, origins and values are checked on the caller's thread; a valid
// user attribute goes, in call order, through the operation queue to the
// engine.
#include <cctype>
#include <cstdint>
#include <string>

#include "api/TLMAnalytics.h"
#include "api/TLMAnalyticsState.h"
#include "common/StringHelpers.h"
#include "config/TLMPersistedConfig.h"
#include "config/TLMRemoteConfig.h"
#include "engine/TLMDataTypeValidator.h"
#include "engine/TLMErrorEvent.h"
#include "engine/TLMMeasurement.h"
#include "engine/TLMUserAttribute.h"
#include "engine/TLMValidationLimits.h"
#include "engine/TLMValue.h"
#include "platform/Clock.h"
#include "platform/Platform.h"
#include "upload/TLMMonitor.h"

namespace {

constexpr char kAllowPersonalizedAdsName[] = "allow_personalized_ads";
constexpr char kNonPersonalizedAdsName[] = "_npa";
constexpr char kUserIDName[] = "_id";
constexpr char kLastAdvertisingIDResetName[] = "_lair";

constexpr std::int64_t kErrorEventReservedUserPropertyName = 15;
constexpr std::int64_t kErrorEventInvalidUserPropertyName = 6;
constexpr std::int64_t kErrorEventUserPropertyValueTooLong = 7;

// An origin is 1 to 32 code points.
constexpr std::size_t kMaxOriginLength = 32;

constexpr long kCodeUserPropertyNotString = 25003;
constexpr long kCodeUserIDNotString = 25004;
constexpr long kCodeInvalidOrigin = 25005;
constexpr long kCodePersonalizedAdsWhileDisabled = 25033;

double now() { return Platform::current().clock().now(); }

// The engine when it exists; no warning before start.
std::shared_ptr<TLMMeasurement> engineIfStarted() {
  if (!TLMMeasurement::hasSharedInstance()) return nullptr;
  return TLMMeasurement::sharedInstance();
}

// The platform's boolean reading of a string: leading blanks, an optional
// sign and zeros are skipped; then "Y", "y", "T", "t" or a digit 1-9 is true.
bool stringBoolValue(const std::string& text) {
  std::size_t i = 0;
  while (i < text.size() && std::isspace(static_cast<unsigned char>(text[i]))) ++i;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) ++i;
  while (i < text.size() && text[i] == '0') ++i;
  if (i == text.size()) return false;
  const char c = text[i];
  return c == 'Y' || c == 'y' || c == 'T' || c == 't' || (c >= '1' && c <= '9');
}

// The boolean the app meant by `value`; none for nil.
OptionalObject booleanOf(const OptionalObject& value) {
  if (!value) return std::nullopt;
  if (const std::string* text = value->asString()) {
    return Object::boolean(stringBoolValue(*text));
  }
  if (value->isNumber()) return Object::boolean(value->boolValue());
  return Object::boolean(false);
}

// Runs on the serial queue.
void applyAllowPersonalizedAds(const OptionalObject& value) {
  const bool enabled = TLMAnalytics::isEnabled();
  if (!enabled) {
    TLMMeasurement::monitor().logWithLevel(
        7, kCodePersonalizedAdsWhileDisabled,
        "Personalized Ads property changed while Analytics is disabled");
  }
  TLMPersistedConfig::sharedInstance()->setAllowPersonalizedAds(booleanOf(value));
  if (!enabled) return;
  const std::shared_ptr<TLMMeasurement> engine = engineIfStarted();
  if (engine == nullptr) return;
  const std::optional<std::int64_t> disabled = engine->shouldDisableAdPersonalization();
  if (disabled) {
    engine->setUserAttribute(TLMUserAttribute::initWithOrigin(
        kTLMOriginAuto, kNonPersonalizedAdsName, TLMValue::initWithInt64(*disabled), now()));
  } else {
    engine->removeUserAttribute(TLMUserAttribute::initWithOrigin(
        kTLMOriginAuto, kNonPersonalizedAdsName, TLMValue::initWithDouble(0.0), now()));
  }
}

void logInvalidPublicName(unsigned failureCode, const std::string& name) {
  const std::int64_t code = failureCode == kTLMValidatorFailureReserved
                                ? kErrorEventReservedUserPropertyName
                                : kErrorEventInvalidUserPropertyName;
  tlm_logErrorEvent(code, Object(name), kTLMErrorEventUserPropertyMaxLength, Object(name));
}

}  // namespace

void TLMAnalytics::setUserPropertyString(const OptionalObject& value, const std::string& name) {
  if (!isOSSupported()) return;
  if (name == kAllowPersonalizedAdsName) {
    queueOperationWithBlock([value] { applyAllowPersonalizedAds(value); });
  }
  if (!value) {
    removeUserAttributeForName(name);
    return;
  }
  unsigned failureCode = kTLMValidatorValid;
  if (!TLMDataTypeValidator::isValidPublicUserAttributeName(Object(name), &failureCode)) {
    logInvalidPublicName(failureCode, name);
    return;
  }
  const std::string* text = value->asString();
  if (text == nullptr) {
    TLMMeasurement::monitor().logWithLevel(0, kCodeUserPropertyNotString,
                                           "User property must be NSString. Value", value);
    return;
  }
  const TLMValuePtr converted = TLMValue::fromString(*text);
  if (TLMDataTypeValidator::isValidPublicUserAttributeValue(converted->asObject(), &failureCode)) {
    setInternalUserProperty(value, name, kTLMOriginApp);
  } else if (failureCode == kTLMValidatorFailureTooLong) {
    tlm_logErrorEvent(kErrorEventUserPropertyValueTooLong, Object(name),
                      kTLMErrorEventUserPropertyMaxLength, value);
  }
}

void TLMAnalytics::setInternalUserProperty(const OptionalObject& value, const std::string& name,
                                           const std::string& origin) {
  if (!isOSSupported()) return;
  if (!TLMDataTypeValidator::isValidInternalUserAttributeName(Object(name), nullptr)) {
    tlm_logErrorEvent(kErrorEventInvalidUserPropertyName, Object(name),
                      kTLMErrorEventUserPropertyMaxLength, Object(name));
    return;
  }
  const std::size_t originLength = tlm_UTF32Length(origin);
  if (originLength < 1 || originLength > kMaxOriginLength) {
    TLMMeasurement::monitor().logWithLevel(
        2, kCodeInvalidOrigin, "Unable to set user property. Origin is invalid. Origin, name",
        Object(origin), Object(name));
    return;
  }
  if (!value) {
    removeInternalUserAttributeForName(name);
    return;
  }
  const TLMValuePtr converted = TLMValue::valueFromObject(value);
  if (converted == nullptr) return;
  unsigned failureCode = kTLMValidatorValid;
  if (TLMDataTypeValidator::isValidInternalUserAttributeValue(converted->asObject(), Object(name),
                                                              &failureCode)) {
    TLMUserAttributePtr attribute =
        TLMUserAttribute::initWithOrigin(origin, name, converted, now());
    queueOperationWithBlock([attribute = std::move(attribute)] {
      if (const auto engine = engineIfStarted()) engine->setUserAttribute(attribute);
    });
    return;
  }
  if (failureCode != kTLMValidatorFailureTooLong) return;
  OptionalObject shown;
  if (value->isString()) {
    shown = value;
  } else if (value->isNumber()) {
    shown = Object(value->stringValue());
  }
  tlm_logErrorEvent(kErrorEventUserPropertyValueTooLong, Object(name),
                    kTLMErrorEventUserPropertyMaxLength, shown);
}

void TLMAnalytics::setUserID(const OptionalObject& userID) {
  if (!isOSSupported()) return;
  if (!userID) {
    removeInternalUserAttributeForName(kUserIDName);
    if (TLMMeasurement::remoteConfig().lastAdvertisingIDResetFeatureEnabled()) {
      removeInternalUserAttributeForName(kLastAdvertisingIDResetName);
    }
    return;
  }
  if (!userID->isString()) {
    TLMMeasurement::monitor().logWithLevel(0, kCodeUserIDNotString,
                                           "User ID must be NSString. User ID", userID);
    return;
  }
  setInternalUserProperty(userID, kUserIDName, kTLMOriginApp);
}

void TLMAnalytics::setUserAttributeNumber(const OptionalObject& value, const std::string& name) {
  if (!isOSSupported()) return;
  unsigned failureCode = kTLMValidatorValid;
  if (!TLMDataTypeValidator::isValidPublicUserAttributeName(Object(name), &failureCode)) {
    logInvalidPublicName(failureCode, name);
    return;
  }
  if (!value || !value->isNumber()) return;
  const TLMValuePtr converted = value->isFloatingNumber()
                                    ? TLMValue::initWithDouble(value->doubleValue())
                                    : TLMValue::initWithInt64(value->int64Value());
  setInternalUserProperty(converted->asObject(), name, kTLMOriginAuto);
}

void TLMAnalytics::removeUserAttributeForName(const std::string& name) {
  if (!isOSSupported()) return;
  if (!TLMDataTypeValidator::isValidPublicUserAttributeName(Object(name), nullptr)) return;
  removeInternalUserAttributeForName(name);
}

void TLMAnalytics::removeInternalUserAttributeForName(const std::string& name) {
  if (!isOSSupported()) return;
  TLMUserAttributePtr attribute =
      TLMUserAttribute::initWithOrigin("", name, TLMValue::initWithDouble(0.0), now());
  queueOperationWithBlock([attribute = std::move(attribute)] {
    if (const auto engine = engineIfStarted()) engine->removeUserAttribute(attribute);
  });
}
