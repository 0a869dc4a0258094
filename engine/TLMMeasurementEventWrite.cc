// The write step: the per-event blocklist and server-side event editing,
// then storing; and the "_ssr" event that accompanies a session start.
#include <optional>
#include <string>
#include <utility>

#include "config/TLMEventEditingSeam.h"
#include "config/TLMPersistedConfig.h"
#include "config/TLMRemoteConfig.h"
#include "engine/TLMErrorEvent.h"
#include "engine/TLMEvent.h"
#include "engine/TLMMeasurement.h"
#include "engine/TLMNames.h"
#include "engine/TLMValidationLimits.h"
#include "engine/TLMValue.h"
#include "platform/Clock.h"
#include "platform/Platform.h"

namespace {

constexpr long kCodeLoggingEvent = 23051;
constexpr long kCodeBlocklisted = 23052;
constexpr long kCodeEditingFailed = 23223;

// The error event of a blocklisted name ("EventIsBlocked").
constexpr std::int64_t kErrorCodeEventBlocked = 11;

constexpr char kEventError[] = "_err";
constexpr char kEventSessionStart[] = "_s";
constexpr char kEventSessionStartWithRollouts[] = "_ssr";
constexpr char kParamFeatureRollouts[] = "_ffr";
constexpr char kOriginAuto[] = "auto";
constexpr char kOriginApp[] = "app";

// Created events keep their names; the origin is their "_o" string.
TLMEventPtr eventFromCreatedEvent(const TLMEditEventFields& created) {
  std::string origin = kOriginApp;
  auto found = created.parameters.find(Object(kTLMEventParamOrigin));
  if (found != created.parameters.end() && found->second.asString() != nullptr) {
    origin = *found->second.asString();
  }
  return TLMEvent::initWithOrigin(origin, /*isPublic=*/false, created.name, created.timestamp,
                                  /*previousTimestamp=*/0, created.parameters);
}

}  // namespace

void TLMMeasurement::writeEventOnWorkerQueue(const TLMEventPtr& event) {
  if (event == nullptr) return;
  const std::string displayName = TLMNames::debugDisplayEventName(event->name());
  report(7, kCodeLoggingEvent, "Logging event: origin, name, params",
         {Object(event->origin()), Object(displayName), Object::dictionary(event->parameters())});

  const TLMRemoteConfig& flags = remoteConfig_ != nullptr ? *remoteConfig_ : remoteConfig();
  if (flags.isEventBlocklisted(event->name())) {
    report(5, kCodeBlocklisted, "Rejected event. Event name", {Object(displayName)});
    // With a blanket blocklist every event would report itself.
    if (!flags.blocklistInternal() && !flags.blocklistPublic() && event->name() != kEventError) {
      tlm_logErrorEvent(kErrorCodeEventBlocked, Object(event->name()), kTLMErrorEventNameMaxLength,
                        Object(event->name()));
    }
    return;
  }

  const std::shared_ptr<TLMEventEditingRuntime> editing =
      flags.eesFeatureEnabled() ? flags.eventEditing() : nullptr;
  if (editing == nullptr) {
    (void)writeFilteredEventOnWorkerQueue(event);
    return;
  }

  TLMEventEditingRuntime::Outcome outcome;
  Error error;
  if (!editing->handleEvent(event->editEvent(), outcome, &error)) {
    (void)writeFilteredEventOnWorkerQueue(event);
    report(1, kCodeEditingFailed, "Event editing failed. Event name", {Object(displayName)});
    return;
  }
  TLMEventPtr edited =
      outcome.editedEvent ? TLMEvent::eventFromEditEvent(*outcome.editedEvent) : nullptr;
  // An edit the model refuses (an invalid name, say) must not cost the
  // event itself: the unedited event is stored instead.
  (void)writeFilteredEventOnWorkerQueue(edited != nullptr ? edited : event);
  for (const TLMEditEventFields& created : outcome.createdEvents) {
    if (const TLMEventPtr createdEvent = eventFromCreatedEvent(created)) {
      (void)writeFilteredEventOnWorkerQueue(createdEvent);
    }
  }
}

void TLMMeasurement::writeSessionStartEventOnWorkerQueue(const TLMEventPtr& event) {
  if (event == nullptr || event->name() != kEventSessionStart || persistedConfig_ == nullptr) {
    return;
  }
  const std::optional<std::string> rollouts = persistedConfig_->quillfenFeatureRollouts();
  if (!rollouts || rollouts->empty()) return;
  ObjectDictionary parameters;
  parameters[Object(kParamFeatureRollouts)] = Object(*rollouts);
  const TLMEventPtr sessionStartWithRollouts = TLMEvent::initWithOrigin(
      kOriginAuto, /*isPublic=*/false, kEventSessionStartWithRollouts,
      Platform::current().clock().now(), /*previousTimestamp=*/0, parameters);
  writeEventOnWorkerQueue(sessionStartWithRollouts);
}
