// Storing an event: conversion marking, then one storing transaction with
// the lifetime value, the daily limits, the real-time marking, the event
// aggregates and the name-cardinality limit, the raw-event metadata, the
// storage limit and the raw-event row. Every step runs on the worker queue.
#include <cctype>
#include <cstdint>
#include <limits>
#include <optional>
#include <string>
#include <string_view>

#include "config/TLMIdentity.h"
#include "config/TLMKeychainWrapper.h"
#include "config/TLMPersistedConfig.h"
#include "config/TLMRemoteConfig.h"
#include "engine/TLMDailyCounts.h"
#include "engine/TLMErrorEvent.h"
#include "engine/TLMEvent.h"
#include "engine/TLMEventAggregates.h"
#include "engine/TLMMeasurement.h"
#include "engine/TLMNames.h"
#include "engine/TLMStandIns.h"
#include "engine/TLMValidationLimits.h"
#include "engine/TLMValue.h"
#include "revenue/TLMLifetimeValueRecorder.h"
#include "storage/TLMDatabase.h"
#include "upload/TLMErrors.h"
#include "upload/TLMMonitor.h"

namespace {

// Events marked as conversions before they are stored.
constexpr std::string_view kConversionEventNames[] = {"ecommerce_purchase", "_f", "_iap",
                                                      "purchase", "refund"};
// Events never held back by the real-time daily limit.
constexpr std::string_view kRealtimeUnlimitedEventNames[] = {"_iap", "_f", "_fx"};

constexpr char kFirstOpenEventName[] = "_f";
constexpr char kFirstOpenConsentedEventName[] = "_fx";
constexpr char kAutoOrigin[] = "auto";
// The keychain item that counts the first opens stored on this device.
constexpr char kFirstOpenCountKeychainItem[] = "_pfo";

// A limit message is logged once per this many dropped events.
constexpr std::int64_t kLimitMessageInterval = 1000;

// Error event codes.
constexpr std::int64_t kErrorEventEventLimitReached = 8;
constexpr std::int64_t kErrorEventPublicEventLimitReached = 16;

bool isConversionEventName(std::string_view name) {
  for (std::string_view conversion : kConversionEventNames) {
    if (name == conversion) return true;
  }
  return false;
}

bool isRealtimeLimitedEventName(std::string_view name) {
  for (std::string_view unlimited : kRealtimeUnlimitedEventNames) {
    if (name == unlimited) return false;
  }
  return true;
}

bool isPublicEventName(std::string_view name) { return !name.empty() && name.front() != '_'; }

// The flags the engine obeys: its own once built, else the defaults.
const TLMRemoteConfig& flagsOf(const TLMMeasurement& engine) {
  return engine.remoteConfigInstance() != nullptr ? *engine.remoteConfigInstance()
                                                  : TLMMeasurement::remoteConfig();
}

Object displayName(const TLMEvent& event) {
  return Object(TLMNames::debugDisplayEventName(event.name()));
}

Object parametersOf(const TLMEvent& event) { return Object::dictionary(event.parameters()); }

// The event's value for a parameter as an object for messages; null when
// it has none.
Object parameterObject(const TLMEvent& event, std::string_view name) {
  const TLMValuePtr value = event.parameterValue(name);
  return value != nullptr ? value->value() : Object::null();
}

bool hasError(const Error& error) { return error.code != 0 || !error.domain.empty(); }

// 1 plus the items of every array parameter, saturated to the 32-bit
// range.
std::int32_t effectiveEventCount(const TLMEvent& event) {
  std::int64_t count = 1;
  for (const auto& [name, object] : event.parameters()) {
    const TLMValuePtr value = TLMValue::fromObject(object);
    if (value == nullptr || !value->isArray() || value->arrayValue() == nullptr) continue;
    count += static_cast<std::int64_t>(value->arrayValue()->size());
    if (count >= std::numeric_limits<std::int32_t>::max()) {
      return std::numeric_limits<std::int32_t>::max();
    }
  }
  return static_cast<std::int32_t>(count);
}

// A stored counter string read as a signed 64-bit integer, leading blanks
// and a sign allowed, digits up to the first other character, saturating
// at the 64-bit range; 0 when there are no digits.
std::int64_t leadingInt64(std::string_view text) {
  std::size_t index = 0;
  while (index < text.size() && std::isspace(static_cast<unsigned char>(text[index]))) ++index;
  bool negative = false;
  if (index < text.size() && (text[index] == '+' || text[index] == '-')) {
    negative = text[index] == '-';
    ++index;
  }
  std::int64_t value = 0;
  constexpr std::int64_t kMax = std::numeric_limits<std::int64_t>::max();
  for (; index < text.size() && text[index] >= '0' && text[index] <= '9'; ++index) {
    const int digit = text[index] - '0';
    if (value > (kMax - digit) / 10)
      return negative ? std::numeric_limits<std::int64_t>::min() : kMax;
    value = value * 10 + digit;
  }
  return negative ? -value : value;
}

}  // namespace

bool TLMMeasurement::writeFilteredEventOnWorkerQueue(const TLMEventPtr& event) {
  if (event == nullptr || database_ == nullptr) return false;
  if (identity_ != nullptr) identity_->updateIdentifiers();
  if (isConversionEventName(event->name())) event->setConversion(true);

  return writeInCommitRun([this, &event] {
    if (!TLMLifetimeValueRecorder::recordLifetimeValueToDatabase(*database_, *event)) {
      report(1, 23053,
             "Cannot record lifetime value of event. Name, currency code, transaction value",
             {displayName(*event), parameterObject(*event, "currency"),
              parameterObject(*event, "value")});
      return false;
    }
    const bool isPublicEvent = isPublicEventName(event->name());

    Error error;
    std::optional<TLMDailyCounts> dailyCounts = database_->dailyCounts(&error);
    if (!dailyCounts) {
      report(1, 23054, "Data loss. Unable to query daily event counts. Error",
             {Object::error(error)});
      return false;
    }
    const bool shouldProcess = shouldProcessEvent(event, *dailyCounts, isPublicEvent);
    const bool isRealtime = isRealtimeEvent(event, *dailyCounts);
    if (!database_->updateDailyCounts(*dailyCounts, &error)) {
      report(1, 23061, "Data loss. Unable to update daily event counts. Name, error",
             {displayName(*event), Object::error(error)});
      return false;
    }
    // A dropped event keeps its counts: the limit has seen it.
    if (!shouldProcess) return true;
    return writeEvent(event, isPublicEvent, isRealtime);
  });
}

bool TLMMeasurement::shouldProcessEvent(const TLMEventPtr& event, TLMDailyCounts& dailyCounts,
                                        bool isPublicEvent) {
  const double midnightOffset =
      persistedConfig_ != nullptr ? persistedConfig_->midnightOffset() : 0;
  const std::int32_t day = TLMDailyCounts::currentDay(midnightOffset);
  if (day != dailyCounts.day()) dailyCounts.resetWithNewDay(day);

  const TLMRemoteConfig& flags = flagsOf(*this);
  const bool isErrorEvent = event->name() == kTLMErrorEventName;
  const std::int32_t effectiveCount = effectiveEventCount(*event);
  const std::int32_t maxEvents = flags.maxEventsPerDay();
  const std::int32_t maxErrorEvents = flags.maxErrorEventsPerDay();
  const std::int32_t maxPublicEvents = flags.maxPublicEventsPerDay();
  const std::int64_t eventsOver =
      static_cast<std::int64_t>(dailyCounts.allEventsCount()) - maxEvents;
  const std::int64_t errorEventsOver =
      static_cast<std::int64_t>(dailyCounts.errorEventsCount()) - maxErrorEvents;
  const std::int64_t publicEventsOver =
      static_cast<std::int64_t>(dailyCounts.publicEventsCount()) - maxPublicEvents;

  if (eventsOver >= 0) {
    if (eventsOver % kLimitMessageInterval == 0) {
      report(1, 23055, "Data loss. Too many events logged. Name, limit",
             {displayName(*event), Object::integer(maxEvents)});
    }
    if (isErrorEvent) {
      dailyCounts.incrementErrorEventsCountForCurrentDay(day);
    } else {
      dailyCounts.incrementCountsForCurrentDay(day, isPublicEvent, false, effectiveCount);
    }
    return false;
  }
  if (isErrorEvent && errorEventsOver >= 0) {
    if (errorEventsOver % kLimitMessageInterval == 0) {
      report(1, 23056, "Too many error events logged. Error code, limit",
             {parameterObject(*event, kTLMEventParamError), Object::integer(maxErrorEvents)});
    }
    dailyCounts.incrementErrorEventsCountForCurrentDay(day);
    dailyCounts.decrementAllEventsCount();
    return false;
  }
  if (isPublicEvent && publicEventsOver >= 0) {
    if (publicEventsOver % kLimitMessageInterval == 0) {
      report(1, 23057, "Data loss. Too many public events logged. Name, limit",
             {displayName(*event), Object::integer(maxPublicEvents)});
    }
    tlm_logErrorEventWithCode(kErrorEventPublicEventLimitReached);
    dailyCounts.incrementCountsForCurrentDay(day, true, false, effectiveCount);
    dailyCounts.decrementAllEventsCount();
    return false;
  }
  if (isErrorEvent) {
    dailyCounts.incrementErrorEventsCountForCurrentDay(day);
  } else {
    dailyCounts.incrementCountsForCurrentDay(day, isPublicEvent, false, effectiveCount);
  }
  return true;
}

bool TLMMeasurement::isRealtimeEvent(const TLMEventPtr& event, const TLMDailyCounts& dailyCounts) {
  const TLMRemoteConfig& flags = flagsOf(*this);
  const bool debugMode = monitor().isDebugModeEnabled();
  const bool isLimited = !debugMode && isRealtimeLimitedEventName(event->name());
  const bool underLimit = dailyCounts.realtimeCount() < flags.maxRealtimeEventCountPerDay();

  if (event->realtime() && isLimited && !underLimit) {
    event->setRealtime(false);
    report(4, 23060,
           "Too many real-time events. Event is no longer real-time. Event name, parameters",
           {displayName(*event), parametersOf(*event)});
  }
  if (debugMode) {
    event->setRealtime(true);
    event->setDebug(true);
    report(7, 23073,
           "Debug mode is enabled. Marking event as debug and real-time. Event name, parameters",
           {displayName(*event), parametersOf(*event)});
  }
  const bool isConversion = event->conversion() || flags.isEventCustomConversion(event->name());
  return (isConversion && (underLimit || !isLimited)) || event->realtime();
}

bool TLMMeasurement::writeEvent(const TLMEventPtr& event, bool isPublicEvent, bool isRealtime) {
  const std::string& name = event->name();
  Error error;
  TLMEventAggregatesPtr aggregates = database_->eventAggregatesWithName(name, &error);
  if (aggregates == nullptr) {
    if (hasError(error)) {
      report(1, 23063, "Cannot query event aggregates. Name, error",
             {displayName(*event), Object::error(error)});
      return false;
    }
    if (isPublicEvent) {
      const std::optional<std::int64_t> publicEventCount = database_->publicEventCount(&error);
      if (!publicEventCount) {
        report(1, 23064, "Cannot query event count. Error", {Object::error(error)});
        return false;
      }
      if (*publicEventCount >= flagsOf(*this).maxEventNameCardinality()) {
        report(1, 23065, "Cannot set event. Reached limit on set events. Name",
               {displayName(*event)});
        tlm_logErrorEvent(kErrorEventEventLimitReached, Object(name), kTLMErrorEventNameMaxLength,
                          std::nullopt);
        return false;
      }
    }
    aggregates = TLMEventAggregates::initWithName(name, 0, 0, 0, 0);
    if (aggregates == nullptr) {
      error = tlm_errorWithCode(1, "Cannot create event aggregates for the name");
    }
    if (aggregates == nullptr || !database_->updateEventAggregates(*aggregates, &error)) {
      report(1, 23066, "Data loss. Cannot record event aggregates. Error", {Object::error(error)});
      return false;
    }
  }

  if (identity_ != nullptr && identity_->shouldSetLastAdvertisingIDResetUserProperty()) {
    if (TLMStandIns::current().setLastAdvertisingIDResetUserPropertyOnWorkerQueue) {
      TLMStandIns::current().setLastAdvertisingIDResetUserPropertyOnWorkerQueue();
    }
  }

  std::optional<std::vector<TLMUserAttributePtr>> userAttributes =
      database_->userAttributesIncludingInternal(true, &error);
  if (!userAttributes) {
    report(1, 23067, "Data loss. Cannot query user properties. Error", {Object::error(error)});
    return false;
  }
  const TLMPBMeasurementBundle metadata = createRawEventMetadataWithUserAttributes(*userAttributes);

  if (persistedConfig_ != nullptr) {
    if (metadata.has_resettable_device_id()) {
      if (persistedConfig_->unmatchedFirstOpenWithoutIDFA()) {
        logFirstOpenConsentedEvent(event->timestamp());
      }
    } else if (name == kFirstOpenEventName) {
      persistedConfig_->setUnmatchedFirstOpenWithoutIDFA(true);
    }
  }

  const std::optional<std::int64_t> metadataFingerprint =
      database_->insertIfNotExistsRawEventMetadata(metadata, &error);
  if (!metadataFingerprint) {
    report(1, 23068, "Data loss. Cannot record event metadata. Error", {Object::error(error)});
    return false;
  }

  const std::optional<std::int64_t> deletedCount =
      database_->deleteRawEventsOverAbsoluteLimit(&error);
  if (!deletedCount) {
    report(1, 23069, "Data loss. Unable to check raw event storage limit. Error",
           {Object::error(error)});
    return false;
  }
  if (*deletedCount != 0) {
    report(4, 23070, "Data loss. Too many events stored on disk. Deleted count",
           {Object::integer(*deletedCount)});
  }

  // The fingerprint the insert answers is tlm_64LSBMD5 of the metadata's
  // encoded bytes, the key of the metadata row.
  if (!database_->insertRawEvent(event, *metadataFingerprint, isRealtime, &error)) {
    report(1, 23071, "Data loss. Cannot record raw event. Error", {Object::error(error)});
    return false;
  }

  if (name == kFirstOpenEventName) {
    const std::string bundleID = identity_ != nullptr ? identity_->appID() : std::string();
    const std::optional<std::string> stored =
        TLMKeychainWrapper::keychainValueWithIdentifier(kFirstOpenCountKeychainItem, bundleID);
    std::int64_t count = stored ? leadingInt64(*stored) : 0;
    if (count < 0) count = 0;
    if (count < std::numeric_limits<std::int64_t>::max()) ++count;
    // A keychain failure loses only the reinstall hint, never the event.
    (void)TLMKeychainWrapper::upsertKeychainValue(std::to_string(count),
                                                  kFirstOpenCountKeychainItem, bundleID);
  }

  report(7, 23072, "Event logged. Event name, event params",
         {displayName(*event), parametersOf(*event)});
  return true;
}

void TLMMeasurement::logFirstOpenConsentedEvent(double timestamp) {
  if (persistedConfig_ != nullptr) persistedConfig_->setUnmatchedFirstOpenWithoutIDFA(false);
  scheduleWeakly("TLMMeasurement:893", [timestamp](TLMMeasurement& engine) {
    TLMEventPtr event = TLMEvent::initWithOrigin(kAutoOrigin, false, kFirstOpenConsentedEventName,
                                                 timestamp, 0, ObjectDictionary());
    if (event == nullptr) return;
    event->setRealtime(true);
    engine.writeEventOnWorkerQueue(event);
  });
}
