// What bundle assembly does to each stored event before packing it: the
// public names that travel under an internal name, the conversion and
// real-time counting against the day's counts, and the sandbox marker of
// purchases. Bundle assembly reads the day's counts once per run, passes
// every event through these in order and stores the counts when any
// operation answered that it changed them. Everything runs on the worker
// queue.
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "config/TLMPersistedConfig.h"
#include "config/TLMRemoteConfig.h"
#include "engine/TLMAEU.h"
#include "engine/TLMMeasurement.h"
#include "engine/TLMNames.h"
#include "engine/TLMParameterSanitizer.h"
#include "engine/TLMValue.h"
#include "upload/TLMMonitor.h"

namespace {

// The public names stored as they were logged and packed under an
// internal name.
constexpr std::string_view kAdImpressionPublicName = "ad_impression";
constexpr char kAdImpressionInternalName[] = "_ai";

constexpr char kInAppPurchaseEventName[] = "_iap";
constexpr char kFirstOpenEventName[] = "_f";
constexpr char kFirstOpenConsentedEventName[] = "_fx";
constexpr char kSandboxParameter[] = "sandbox";

constexpr long kCodeTooManyConversions = 23102;
constexpr long kCodeRealtimeUnderLimit = 23103;
constexpr long kCodeRealtimeOverLimit = 23104;
constexpr long kCodeRealtimeNotLimited = 23105;

// First opens and purchases are always sent at once.
bool isExemptFromRealtimeLimit(const std::string& name) {
  return name == kInAppPurchaseEventName || name == kFirstOpenEventName ||
         name == kFirstOpenConsentedEventName;
}

// The counts are those of the last day anything was counted; on a later
// day nothing has been counted yet. Comparing a limit with yesterday's
// count would refuse today's first conversions.
std::int32_t countOfDay(const TLMDailyCounts& dailyCounts, std::int32_t day,
                        std::int32_t (TLMDailyCounts::*count)() const) {
  return dailyCounts.day() == day ? (dailyCounts.*count)() : 0;
}

Object parametersObject(const TLMEvent& event) { return Object::dictionary(event.parameters()); }

}  // namespace

TLMRawEventDataPtr TLMMeasurement::internalEventFromPublicEvent(
    const TLMRawEventDataPtr& rawEventData) {
  if (rawEventData == nullptr || rawEventData->rawEvent() == nullptr) return rawEventData;
  const TLMEvent& event = *rawEventData->rawEvent();
  if (event.name() != kAdImpressionPublicName) return rawEventData;
  // Built directly rather than through initWithOrigin: the parameters were
  // sanitised when the event was logged and travel exactly as stored.
  auto internalEvent =
      std::make_shared<TLMEvent>(TLMEvent::Token(), event.origin(), kAdImpressionInternalName,
                                 event.timestamp(), event.previousTimestamp());
  internalEvent->parameters() = event.parameters();
  TLMRawEventDataPtr replaced = TLMRawEventData::initWithRawEvent(
      std::move(internalEvent), rawEventData->rowID(), rawEventData->metadataFingerprint());
  return replaced != nullptr ? replaced : rawEventData;
}

bool TLMMeasurement::checkConversion(const TLMRawEventDataPtr& rawEventData,
                                     TLMDailyCounts& dailyCounts) {
  if (rawEventData == nullptr || rawEventData->rawEvent() == nullptr) return false;
  TLMEvent& event = *rawEventData->rawEvent();
  const TLMRemoteConfig& config = remoteConfig_ != nullptr ? *remoteConfig_ : remoteConfig();
  if (config.isEventCustomConversion(event.name())) event.setConversion(true);
  if (!event.conversion()) return false;
  // Internal conversions ("_f", "_iap") stay conversions and are not
  // counted.
  if (!tlm_isPublicName(Object(event.name()))) return false;

  const double midnightOffset =
      persistedConfig_ != nullptr ? persistedConfig_->midnightOffset() : 0.0;
  const std::int32_t today = TLMDailyCounts::currentDay(midnightOffset);
  const std::int32_t limit = config.maxConversionsPerDay();
  if (countOfDay(dailyCounts, today, &TLMDailyCounts::conversionsCount) >= limit) {
    event.setConversion(false);
    report(3, kCodeTooManyConversions,
           "Too many conversion events. Not logging event as conversion. Name, limit",
           {Object(TLMNames::debugDisplayEventName(event.name())), Object::integer(limit)});
    return false;
  }
  // The event itself was counted when it was stored; only the conversion
  // is new.
  dailyCounts.incrementCountsForCurrentDay(today, /*isPublicEvent=*/false, /*isConversion=*/true);
  dailyCounts.decrementAllEventsCount();
  return true;
}

bool TLMMeasurement::checkRealtime(const TLMRawEventDataPtr& rawEventData,
                                   TLMDailyCounts& dailyCounts) {
  if (rawEventData == nullptr || rawEventData->rawEvent() == nullptr) return false;
  TLMEvent& event = *rawEventData->rawEvent();
  if (!event.realtime() && !event.conversion()) return false;

  const Object displayName(TLMNames::debugDisplayEventName(event.name()));
  if (monitor().isDebugModeEnabled() || isExemptFromRealtimeLimit(event.name())) {
    event.setRealtime(true);
    report(7, kCodeRealtimeNotLimited,
           "Event is not subject to real-time event count daily limit. Marking an event as "
           "real-time. Event name, parameters",
           {displayName, parametersObject(event)});
    return false;
  }

  const TLMRemoteConfig& config = remoteConfig_ != nullptr ? *remoteConfig_ : remoteConfig();
  const double midnightOffset =
      persistedConfig_ != nullptr ? persistedConfig_->midnightOffset() : 0.0;
  const std::int32_t today = TLMDailyCounts::currentDay(midnightOffset);
  if (countOfDay(dailyCounts, today, &TLMDailyCounts::realtimeCount) <
      config.maxRealtimeEventCountPerDay()) {
    dailyCounts.incrementRealtimeCountsForCurrentDay(today);
    event.setRealtime(true);
    report(7, kCodeRealtimeUnderLimit,
           "Event is under real-time event count daily limit. Marking the event as real-time. "
           "Event name, parameters",
           {displayName, parametersObject(event)});
    return true;
  }
  event.setRealtime(false);
  report(4, kCodeRealtimeOverLimit,
         "Number of real-time events is over the real-time event count daily limit. Event is no "
         "longer real-time. Event name, parameters",
         {displayName, parametersObject(event)});
  return false;
}

TLMRawEventDataPtr TLMMeasurement::validatePurchaseEvent(const TLMRawEventDataPtr& rawEventData) {
  if (rawEventData == nullptr || rawEventData->rawEvent() == nullptr) return rawEventData;
  const TLMEvent& event = *rawEventData->rawEvent();
  if (event.name() != kInAppPurchaseEventName || !TLMAEU::isASRS()) return rawEventData;
  ObjectDictionary parameters = event.parameters();
  parameters.insert_or_assign(Object(kSandboxParameter), TLMValue::initWithInt64(1)->asObject());
  TLMEventPtr marked = event.copyWithParameters(parameters);
  if (marked == nullptr) return rawEventData;
  TLMRawEventDataPtr replaced = TLMRawEventData::initWithRawEvent(
      std::move(marked), rawEventData->rowID(), rawEventData->metadataFingerprint());
  return replaced != nullptr ? replaced : rawEventData;
}
