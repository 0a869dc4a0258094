// Bundle assembly's work on the run's events: rejection, conversion and
// real-time counting, session start and engagement totals, and the event
// aggregates with the audience event filters. Runs on the worker queue
// inside bundleRawEvents' transaction.
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "config/TLMRemoteConfig.h"
#include "engine/TLMEventAggregates.h"
#include "engine/TLMMeasurement.h"
#include "engine/TLMNames.h"
#include "engine/TLMStandIns.h"
#include "engine/TLMTime.h"
#include "engine/TLMUserAttribute.h"
#include "engine/TLMValue.h"
#include "platform/Clock.h"
#include "platform/Platform.h"
#include "storage/TLMDatabase.h"
#include "upload/TLMMonitor.h"
#include "upload/TLMPBUploadMessages.h"

namespace {

constexpr long kCodeRejectedEvent = 23099;
constexpr long kCodeRejectedAll = 23100;
constexpr long kCodeDailyCountsQueryFailed = 23101;
constexpr long kCodeDailyCountsUpdateFailed = 23106;
constexpr long kCodeAggregatesQueryFailed = 23107;
constexpr long kCodeAggregatesUpdateFailed = 23108;
constexpr long kCodeEventEvaluationFailed = 23112;
constexpr long kCodeClearSessionCountsFailed = 23185;
constexpr long kCodeNegativeEngagement = 23186;
constexpr long kCodeEngagementStoreFailed = 23187;
constexpr long kCodeDeleteSessionEngagementFailed = 23188;

constexpr char kSessionStartEventName[] = "_s";
constexpr char kEngagementEventName[] = "_e";
constexpr char kEngagementTimeParameter[] = "_et";
constexpr char kForegroundParameter[] = "_fr";
constexpr char kLifetimeEngagementProperty[] = "_lte";
constexpr char kSessionEngagementProperty[] = "_se";
constexpr char kAutoOrigin[] = "auto";

bool errorIsSet(const Error& error) { return !error.domain.empty() || error.code != 0; }

bool hasIntegerParameter(const TLMEvent& event, const char* name, std::int64_t value) {
  const TLMValuePtr parameter = event.parameterValue(name);
  return parameter != nullptr && parameter->isInt64() && parameter->int64Value() == value;
}

// The counterpart of a name in the table of public and internal names.
std::optional<std::string> counterpartName(const std::string& name) {
  if (std::optional<std::string> shortName = TLMNames::shortEventName(name)) return shortName;
  return TLMNames::longEventName(name);
}

}  // namespace

std::optional<std::vector<TLMRawEventDataPtr>> TLMMeasurement::processRawEvents(
    const std::vector<TLMRawEventDataPtr>& rawEvents, std::int64_t metadata) {
  const TLMRemoteConfig& config = remoteConfig_ != nullptr ? *remoteConfig_ : remoteConfig();
  // With only the internal names blanket-blocklisted, a public name is not
  // removed for its internal counterpart.
  const bool counterpartBlocks = !(config.blocklistInternal() && !config.blocklistPublic());
  const bool removeRedundantEngagement = config.redundantEngagementRemovalEnabled();

  std::vector<TLMRawEventDataPtr> accepted;
  accepted.reserve(rawEvents.size());
  for (const TLMRawEventDataPtr& raw : rawEvents) {
    const TLMEvent& event = *raw->rawEvent();
    const std::string& name = event.name();
    bool rejected = config.isEventBlocklisted(name);
    if (!rejected && counterpartBlocks) {
      const std::optional<std::string> counterpart = counterpartName(name);
      rejected = counterpart && config.isEventBlocklisted(*counterpart);
    }
    if (!rejected && removeRedundantEngagement && name == kEngagementEventName) {
      rejected = hasIntegerParameter(event, kForegroundParameter, 1);
    }
    if (rejected) {
      report(4, kCodeRejectedEvent, "Rejected event. Event name",
             {Object(TLMNames::debugDisplayEventName(name))});
      continue;
    }
    accepted.push_back(raw);
  }

  if (accepted.empty()) {
    if (!rawEvents.empty() && !deleteRawEventsOfRun(rawEvents.back()->rowID(), metadata)) {
      return std::nullopt;
    }
    report(4, kCodeRejectedAll, "Rejected all events.");
    return accepted;
  }

  Error error;
  std::optional<TLMDailyCounts> dailyCounts = database_->dailyCounts(&error);
  if (!dailyCounts) {
    report(1, kCodeDailyCountsQueryFailed, "Failed to query daily event counts. Error",
           {Object::error(error)});
    return std::nullopt;
  }
  bool countsChanged = false;
  for (TLMRawEventDataPtr& raw : accepted) {
    raw = internalEventFromPublicEvent(raw);
    // Both counters run for every event: the real-time check needs the
    // conversion marker the first one sets.
    const bool conversionCounted = checkConversion(raw, *dailyCounts);
    const bool realtimeCounted = checkRealtime(raw, *dailyCounts);
    countsChanged = countsChanged || conversionCounted || realtimeCounted;
    raw = validatePurchaseEvent(raw);
  }
  if (countsChanged && !database_->updateDailyCounts(*dailyCounts, &error)) {
    report(2, kCodeDailyCountsUpdateFailed, "Failed to update daily event counts. Name, error",
           {Object(TLMNames::debugDisplayEventName(accepted.back()->rawEvent()->name())),
            Object::error(error)});
    return std::nullopt;
  }
  return accepted;
}

std::optional<double> TLMMeasurement::evaluationTimeFromRawEvents(
    const std::vector<TLMRawEventDataPtr>& rawEvents, TLMPBMeasurementBundle& bundle) {
  if (rawEvents.empty()) return std::nullopt;
  double evaluationTime = rawEvents.front()->rawEvent()->timestamp();
  bool sessionStarted = false;
  std::int64_t engagementMilliseconds = 0;
  for (const TLMRawEventDataPtr& raw : rawEvents) {
    const TLMEvent& event = *raw->rawEvent();
    evaluationTime = std::min(evaluationTime, event.timestamp());
    if (event.name() == kSessionStartEventName) sessionStarted = true;
    const TLMValuePtr engagement = event.parameterValue(kEngagementTimeParameter);
    if (engagement != nullptr && engagement->isInt64() &&
        !event.hasParameter(kForegroundParameter)) {
      engagementMilliseconds += engagement->int64Value();
    }
  }

  TLMStandIns& standIns = TLMStandIns::current();
  if (sessionStarted) {
    // Before the run's aggregates are counted, so that the session count
    // of the new session includes the run's events.
    standIns.clearEvaluationResultsForSessionScopedFilters();
    for (const TLMPBUserAttribute& property : bundle.user_attributes()) {
      (void)standIns.evaluateFiltersForNanoUserProperty(property, nullptr, evaluationTime);
    }
    Error error;
    if (!database_->clearCurrentSessionCounts(&error)) {
      report(1, kCodeClearSessionCountsFailed, "Failed to clear event session counts. Error",
             {Object::error(error)});
      return std::nullopt;
    }
  }

  // A negative total (a bad "_et") is reported and left out; it must not
  // fail the run, which would hold these raw events back for good.
  const bool negative = engagementMilliseconds < 0;
  if (!updateUserEngagement(engagementMilliseconds, bundle, false) && !negative) {
    return std::nullopt;
  }
  if (sessionStarted) {
    Error error;
    if (!database_->deleteUserAttributeWithName(kSessionEngagementProperty, &error)) {
      report(1, kCodeDeleteSessionEngagementFailed,
             "Unable to delete session engagement property on session start. Error",
             {Object::error(error)});
      return std::nullopt;
    }
  }
  if (!updateUserEngagement(engagementMilliseconds, bundle, true) && !negative) {
    return std::nullopt;
  }
  return evaluationTime;
}

bool TLMMeasurement::updateUserEngagement(std::int64_t engagementMilliseconds,
                                          TLMPBMeasurementBundle& bundle, bool sessionScoped) {
  if (engagementMilliseconds < 0) {
    report(2, kCodeNegativeEngagement, "User engagement time is negative.");
    return false;
  }
  if (engagementMilliseconds == 0) return true;
  const std::string name = sessionScoped ? kSessionEngagementProperty : kLifetimeEngagementProperty;

  Error error;
  const TLMUserAttributePtr current = database_->userAttributeWithName(name, &error);
  if (current == nullptr && errorIsSet(error)) {
    report(1, kCodeEngagementStoreFailed, "Unable to store user engagement. Name, error",
           {Object(name), Object::error(error)});
    return false;
  }
  std::int64_t total = engagementMilliseconds;
  if (current != nullptr && current->value() != nullptr && current->value()->isInt64()) {
    total += current->value()->int64Value();
  }
  const double now = Platform::current().clock().now();
  const TLMUserAttributePtr updated =
      TLMUserAttribute::initWithOrigin(kAutoOrigin, name, TLMValue::initWithInt64(total), now);
  if (updated == nullptr || !database_->updateUserAttribute(*updated, &error)) {
    report(1, kCodeEngagementStoreFailed, "Unable to store user engagement. Name, error",
           {Object(name), Object::error(error)});
    return false;
  }

  std::vector<TLMPBUserAttribute> properties = bundle.user_attributes();
  bool replaced = false;
  for (TLMPBUserAttribute& property : properties) {
    if (property.name() != name) continue;
    property.clear_string_value();
    property.clear_double_value();
    property.set_int_value(total);
    property.set_set_timestamp_millis(tlm_millisecondsFromSeconds(now));
    replaced = true;
  }
  if (!replaced) properties.push_back(updated->protoUserAttribute());
  return bundle.set_user_attributes(std::move(properties));
}

std::optional<std::vector<TLMEventPtr>> TLMMeasurement::eventsAfterUpdatingEventAggregates(
    const std::vector<TLMRawEventDataPtr>& rawEvents,
    TLMAudienceTimestampsCacheStandIn* audienceTimestampsCache) {
  std::vector<TLMEventPtr> events;
  events.reserve(rawEvents.size());
  TLMStandIns& standIns = TLMStandIns::current();
  for (const TLMRawEventDataPtr& raw : rawEvents) {
    TLMEventPtr event = raw->rawEvent();
    const std::string& name = event->name();
    Error error;
    TLMEventAggregatesPtr aggregates = database_->eventAggregatesWithName(name, &error);
    if (aggregates == nullptr && errorIsSet(error)) {
      report(1, kCodeAggregatesQueryFailed, "Failed to query event aggregates. Name, error",
             {Object(TLMNames::debugDisplayEventName(name)), Object::error(error)});
      return std::nullopt;
    }
    if (aggregates != nullptr) {
      TLMEventPtr withPrevious = event->copyWithPreviousTimestamp(aggregates->lastFireTimestamp());
      if (withPrevious == nullptr) return std::nullopt;
      event = std::move(withPrevious);
      aggregates->incrementCurrentBundleCount();
      aggregates->incrementLifetimeCount();
      aggregates->incrementCurrentSessionCount();
      aggregates->setLastFireTimestamp(event->timestamp());
    } else {
      aggregates = TLMEventAggregates::initWithName(name, 1, 1, 1, event->timestamp());
      if (aggregates == nullptr) {
        report(1, kCodeAggregatesUpdateFailed, "Failed to update event aggregates. Error",
               {Object::error(tlm_errorWithCode(1, "Cannot create event aggregates"))});
        return std::nullopt;
      }
    }
    if (!database_->updateEventAggregates(*aggregates, &error)) {
      report(1, kCodeAggregatesUpdateFailed, "Failed to update event aggregates. Error",
             {Object::error(error)});
      return std::nullopt;
    }
    if (!standIns.evaluateFiltersForEvent(event, *aggregates, audienceTimestampsCache)) {
      report(1, kCodeEventEvaluationFailed, "Failed to evaluate audience filters for event. Name",
             {Object(TLMNames::debugDisplayEventName(name))});
      return std::nullopt;
    }
    events.push_back(std::move(event));
  }
  return events;
}
