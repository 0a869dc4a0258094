// The facade's event entry points.
//
// Names are checked and events stamped on the caller's thread; the event
// itself goes, in call order, to the serial queue and from there to the
// engine. Public events read the clock and queue their operation in one
// step on the timestamp queue, so that events from different threads reach
// the engine in the order of their timestamps.
#include <array>
#include <string>

#include "api/TLMAnalytics.h"
#include "api/TLMAnalyticsState.h"
#include "engine/TLMDataTypeValidator.h"
#include "engine/TLMErrorEvent.h"
#include "engine/TLMLogEventCall.h"
#include "engine/TLMMeasurement.h"
#include "engine/TLMStandIns.h"
#include "engine/TLMValidationLimits.h"
#include "platform/Clock.h"
#include "platform/DispatchQueue.h"
#include "platform/Platform.h"

namespace {

constexpr char kScreenViewEventName[] = "screen_view";
// The current screen's parameters as the screen reporter adds them.
constexpr std::array<const char*, 3> kScreenParameterNames = {"_si", "_sc", "_sn"};
// Validator failure 4 (a reserved name) has its own error-event code.
constexpr std::int64_t kErrorEventReservedEventName = 13;
constexpr std::int64_t kErrorEventInvalidEventName = 2;

bool holdsScreenParameters(const OptionalObject& parameters) {
  if (!parameters || !parameters->isDictionary()) return false;
  for (const char* name : kScreenParameterNames) {
    if (parameters->objectForKey(name) != nullptr) return true;
  }
  return false;
}

// The current screen's parameters, unless the caller gave its own.
OptionalObject screenParametersFor(const OptionalObject& parameters) {
  if (holdsScreenParameters(parameters)) return std::nullopt;
  const auto& screenParameters = TLMStandIns::current().screenParameters;
  if (!screenParameters) return std::nullopt;
  return screenParameters();
}

bool hasEntries(const OptionalObject& dictionary) {
  return dictionary && dictionary->isDictionary() && !dictionary->asDictionary()->empty();
}

double now() { return Platform::current().clock().now(); }

}  // namespace

void TLMAnalytics::logEventWithName(const std::string& name, const OptionalObject& parameters) {
  logEventWithOrigin(kTLMOriginApp, name, parameters);
}

void TLMAnalytics::logEventWithOrigin(const std::string& origin, const std::string& name,
                                      const OptionalObject& parameters) {
  if (!isOSSupported()) return;
  unsigned failureCode = kTLMValidatorValid;
  if (!TLMDataTypeValidator::isValidPublicEventName(Object(name), &failureCode)) {
    const std::int64_t code = failureCode == kTLMValidatorFailureReserved
                                  ? kErrorEventReservedEventName
                                  : kErrorEventInvalidEventName;
    tlm_logErrorEvent(code, Object(name), kTLMErrorEventNameMaxLength, Object(name));
    return;
  }
  logEventWithOriginIsPublicEvent(origin, true, name, parameters);
}

void TLMAnalytics::logInternalEventWithOrigin(const std::string& origin, const std::string& name,
                                              const OptionalObject& parameters) {
  if (!isOSSupported()) return;
  logEventWithOriginIsPublicEvent(origin, false, name, parameters);
}

void TLMAnalytics::logEventWithOriginIsPublicEvent(const std::string& origin, bool isPublicEvent,
                                                   const std::string& name,
                                                   const OptionalObject& parameters) {
  if (!isOSSupported()) return;
  OptionalObject copied = parameters;
  if (name == kScreenViewEventName) {
    const auto& track = TLMStandIns::current().trackScreenWithParameters;
    if (track) track(copied, now());
    return;
  }
  OptionalObject screenParameters = screenParametersFor(copied);
  // Reading the clock and queueing are one step: an event stamped earlier
  // is never queued behind one stamped later.
  TLMAnalyticsQueues::current().timestamps->sync([&] {
    const double timestamp = now();
    queueOperationWithBlock([origin, isPublicEvent, name, copied = std::move(copied), timestamp,
                             screenParameters = std::move(screenParameters)] {
      logEventOnSerialQueueWithOrigin(origin, isPublicEvent, name, copied, timestamp, false, false,
                                      screenParameters);
    });
  });
}

void TLMAnalytics::logInternalEventWithOriginTimestamp(const std::string& origin,
                                                       const std::string& name, double timestamp,
                                                       const OptionalObject& parameters) {
  if (!isOSSupported()) return;
  OptionalObject screenParameters = screenParametersFor(parameters);
  queueOperationWithBlock(
      [origin, name, parameters, timestamp, screenParameters = std::move(screenParameters)] {
        logEventOnSerialQueueWithOrigin(origin, false, name, parameters, timestamp, false, false,
                                        screenParameters);
      });
}

void TLMAnalytics::logEventWithOriginIsPublicEventTimestamp(const std::string& origin,
                                                            bool isPublicEvent,
                                                            const std::string& name,
                                                            const OptionalObject& parameters,
                                                            double timestamp, bool ignoreEnabled,
                                                            bool ignoreInterceptor) {
  if (!isOSSupported()) return;
  queueOperationWithBlock(
      [origin, isPublicEvent, name, parameters, timestamp, ignoreEnabled, ignoreInterceptor] {
        logEventOnSerialQueueWithOrigin(origin, isPublicEvent, name, parameters, timestamp,
                                        ignoreEnabled, ignoreInterceptor, std::nullopt);
      });
}

void TLMAnalytics::logEventOnSerialQueueWithOrigin(const std::string& origin, bool isPublicEvent,
                                                   const std::string& name,
                                                   const OptionalObject& parameters,
                                                   double timestamp, bool ignoreEnabled,
                                                   bool ignoreInterceptor,
                                                   const OptionalObject& addedScreenParameters) {
  if (!isOSSupported()) return;
  OptionalObject eventParameters = parameters;
  OptionalObject screenParameters = addedScreenParameters;
  // An event forwarded after the interceptor saw it carries the screen
  // parameters merged in; they travel separately again.
  if (ignoreInterceptor && !hasEntries(screenParameters) && hasEntries(eventParameters) &&
      TLMDataTypeValidator::isValidForwardedEventOrigin(Object(origin), nullptr)) {
    ObjectDictionary remaining = *eventParameters->asDictionary();
    ObjectDictionary taken;
    for (const char* key : kScreenParameterNames) {
      auto found = remaining.find(Object(key));
      if (found == remaining.end()) continue;
      taken.emplace(found->first, found->second);
      remaining.erase(found);
    }
    if (!taken.empty()) {
      screenParameters = Object::dictionary(std::move(taken));
      eventParameters = Object::dictionary(std::move(remaining));
    }
  }

  if (!TLMMeasurement::hasSharedInstance()) return;
  const std::shared_ptr<TLMMeasurement> engine = TLMMeasurement::sharedInstance();
  if (engine == nullptr) return;
  TLMAnalyticsState& state = TLMAnalyticsState::current();
  TLMLogEventCall call;
  call.origin = origin;
  call.isPublicEvent = isPublicEvent;
  call.name = name;
  call.parameters = std::move(eventParameters);
  call.timestamp = timestamp;
  call.enabled = state.enabled.load();
  call.ignoreEnabled = ignoreEnabled;
  call.ignoreInterceptor = ignoreInterceptor;
  call.interceptor = state.interceptor;
  call.addedScreenParameters = std::move(screenParameters);
  engine->logEventWithOrigin(std::move(call));
}
