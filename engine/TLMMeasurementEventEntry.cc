// The event pipeline's entry: the facade's call reaches the worker queue,
// gets the default parameters, becomes an event with the screen
// parameters, and goes to the interceptor or down the event path.
#include <functional>
#include <mutex>
#include <string>
#include <utility>

#include "engine/TLMEvent.h"
#include "engine/TLMMeasurement.h"
#include "engine/TLMNames.h"

namespace {

constexpr long kCodeNilEventFromCall = 23219;

constexpr char kOriginAdNetwork[] = "vm";
constexpr char kEventAdExposure[] = "_xa";
constexpr char kEventAdUnitExposure[] = "_xu";
constexpr char kEventError[] = "_err";

std::mutex& observerMutex() {
  static std::mutex mutex;
  return mutex;
}

std::function<void(const TLMLogEventCall&)>& logEventCallObserver() {
  static std::function<void(const TLMLogEventCall&)> observer;
  return observer;
}

const ObjectDictionary& emptyDictionary() {
  static const ObjectDictionary empty;
  return empty;
}

const ObjectDictionary& dictionaryOrEmpty(const OptionalObject& object) {
  if (object && object->asDictionary() != nullptr) return *object->asDictionary();
  return emptyDictionary();
}

// Ad events are reported by the ad layer, which has its own consumers:
// they never go to the interceptor or the listeners.
bool isAdEvent(const TLMLogEventCall& call) {
  return call.origin == kOriginAdNetwork || call.name == kEventAdExposure ||
         call.name == kEventAdUnitExposure;
}

}  // namespace

void TLMMeasurement::TEST_setLogEventCallObserver(
    std::function<void(const TLMLogEventCall&)> observer) {
  std::lock_guard<std::mutex> lock(observerMutex());
  logEventCallObserver() = std::move(observer);
}

void TLMMeasurement::logEventWithOrigin(TLMLogEventCall call) {
  scheduleWeakly("TLMMeasurement:2170", [call = std::move(call)](TLMMeasurement& engine) {
    engine.logEventOnWorkerQueueWithOrigin(call);
  });
}

void TLMMeasurement::logEventOnWorkerQueueWithOrigin(const TLMLogEventCall& call) {
  {
    std::lock_guard<std::mutex> lock(observerMutex());
    if (logEventCallObserver()) logEventCallObserver()(call);
  }

  // An event the interceptor logs again arrives with ignoreInterceptor and
  // already carries the defaults it was shown; "_err" reports a refused
  // call and must not look like an app event.
  OptionalObject parameters = call.parameters;
  if (!call.ignoreInterceptor && call.name != kEventError) {
    parameters = parametersWithAddedDefaultEventParameters(parameters);
  }

  const TLMEventPtr event =
      TLMEvent::initWithOrigin(call.origin, call.isPublicEvent, call.name, call.timestamp,
                               /*previousTimestamp=*/0, dictionaryOrEmpty(parameters));
  if (event == nullptr) {
    report(1, kCodeNilEventFromCall, "Attempted to log nil event. Origin, name, parameters",
           {Object(call.origin), Object(TLMNames::debugDisplayEventName(call.name)),
            parameters ? *parameters : Object::null()});
    return;
  }
  const bool hasScreenParameters = call.addedScreenParameters.has_value();
  if (hasScreenParameters)
    event->addScreenParameters(dictionaryOrEmpty(call.addedScreenParameters));

  if (!call.enabled && !call.ignoreEnabled) {
    // The event path refuses it while the engine is disabled.
    logEventOnWorkerQueue(event, /*notifyEventListeners=*/false);
    return;
  }
  if (isAdEvent(call)) {
    logEventOnWorkerQueue(event, /*notifyEventListeners=*/false);
    return;
  }
  if (!call.isPublicEvent || !call.interceptor || call.ignoreInterceptor) {
    logEventOnWorkerQueue(event, /*notifyEventListeners=*/true);
    return;
  }

  // The interceptor gets the event instead of the pipeline; it logs it
  // again with ignoreInterceptor when it wants it stored.
  ObjectDictionary intercepted = dictionaryOrEmpty(parameters);
  if (hasScreenParameters) {
    for (const auto& [key, value] : dictionaryOrEmpty(call.addedScreenParameters)) {
      intercepted.insert_or_assign(key, value);
    }
  }
  call.interceptor(call.origin, call.name, Object::dictionary(std::move(intercepted)),
                   call.timestamp);
}
