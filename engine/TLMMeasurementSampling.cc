// Event sampling at bundle time. Per event name with a configured rate,
// one event in `rate` is kept at random, but the first event of a name on
// each day of the analytics account's time zone is always kept (marked
// exempt). The decisions are remembered in the name's event aggregates so
// that the next bundle knows whether today's first event has gone out.
// Everything runs on the worker queue.
#include <cmath>
#include <cstdint>
#include <limits>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "config/TLMRemoteConfig.h"
#include "engine/TLMEventAggregates.h"
#include "engine/TLMMeasurement.h"
#include "platform/Platform.h"
#include "platform/Random.h"
#include "storage/TLMDatabase.h"
#include "upload/TLMErrors.h"

namespace {

constexpr char kSamplingRateParameter[] = "_sr";
constexpr char kExemptFromSamplingParameter[] = "_efs";
constexpr char kComplexEventIDParameter[] = "_eid";

constexpr long kCodeAggregatesQueryForUpdateFailed = 23151;
constexpr long kCodeAggregatesUpdateFailed = 23152;
constexpr long kCodeSamplingRateParameterFailed = 23153;
constexpr long kCodeInvalidSamplingRate = 23154;
constexpr long kCodeEventWithoutName = 23155;
constexpr long kCodeParameterExists = 23156;
constexpr long kCodeAggregatesCacheQueryFailed = 23157;
constexpr long kCodeExemptParameterFailed = 23158;

constexpr double kSecondsPerDay = 86400;

// The day of `seconds` in the account's time zone: truncated toward zero
// and saturated to the 32-bit range.
std::int32_t samplingDay(double seconds, double offsetSeconds) {
  const double day = std::trunc((seconds + offsetSeconds) / kSecondsPerDay);
  if (std::isnan(day)) return 0;
  if (day >= static_cast<double>(std::numeric_limits<std::int32_t>::max())) {
    return std::numeric_limits<std::int32_t>::max();
  }
  if (day <= static_cast<double>(std::numeric_limits<std::int32_t>::min())) {
    return std::numeric_limits<std::int32_t>::min();
  }
  return static_cast<std::int32_t>(day);
}

std::optional<TLMPBEventParam> parameterNamed(const TLMPBEvent& event, const std::string& name) {
  for (TLMPBEventParam& parameter : event.params()) {
    if (parameter.name() == name) return std::move(parameter);
  }
  return std::nullopt;
}

bool errorIsSet(const Error& error) { return !error.domain.empty() || error.code != 0; }

}  // namespace

std::optional<std::vector<TLMPBEvent>> TLMMeasurement::sampleEvents(
    const std::vector<TLMPBEvent>& events, Error* error) {
  // The aggregates of every name, changed in memory while the run is
  // sampled and written back at the end.
  std::map<std::string, TLMEventAggregatesPtr> cache;
  {
    Error readError;
    std::optional<std::vector<TLMEventAggregatesPtr>> all;
    if (database_ != nullptr) {
      all = database_->allEventAggregates(&readError);
    } else {
      readError = tlm_errorWithCode(0, "The database is not open");
    }
    if (!all) {
      report(1, kCodeAggregatesCacheQueryFailed,
             "Unable to query all event aggregates for cache. error", {Object::error(readError)});
      if (error != nullptr) *error = readError;
      return std::nullopt;
    }
    for (TLMEventAggregatesPtr& aggregates : *all) {
      if (aggregates != nullptr) cache[aggregates->name()] = std::move(aggregates);
    }
  }

  const TLMRemoteConfig& config = remoteConfig_ != nullptr ? *remoteConfig_ : remoteConfig();
  const double offsetSeconds =
      static_cast<double>(config.analyticsAccountTimeZoneOffsetMinutes()) * 60;

  // Adds an integer parameter unless the event already has one of that
  // name, whose value then stands.
  auto addParameter = [this](TLMPBEvent& event, const char* name, std::int64_t value,
                             long failureCode, std::string_view failureMessage) {
    if (parameterNamed(event, name)) {
      report(4, kCodeParameterExists, "Event parameter already exists. Parameter name",
             {Object(name)});
      return;
    }
    TLMPBEventParam parameter;
    parameter.set_name(name);
    parameter.set_int_value(value);
    if (!event.add_params(std::move(parameter))) report(2, failureCode, failureMessage);
  };

  std::map<std::string, TLMEventAggregatesPtr> unstored;
  std::vector<TLMPBEvent> kept;
  kept.reserve(events.size());
  for (const TLMPBEvent& original : events) {
    const std::string name = original.name();
    if (name.empty()) {
      report(2, kCodeEventWithoutName, "Dropping event at sampling. Event has no name");
      continue;
    }
    const double timestamp = static_cast<double>(original.timestamp_millis()) / 1000;
    const std::int32_t day = samplingDay(timestamp, offsetSeconds);

    // A name without a row (one stored under another name, such as "_ai")
    // is sampled with aggregates kept for this run only: making rows here
    // could fill the table and fail the whole bundle.
    TLMEventAggregatesPtr aggregates;
    if (auto found = cache.find(name); found != cache.end()) {
      aggregates = found->second;
    } else if (auto found = unstored.find(name); found != unstored.end()) {
      aggregates = found->second;
    } else {
      aggregates = TLMEventAggregates::initWithName(name, 0, 0, 0, 0);
      if (aggregates == nullptr) {
        kept.push_back(original);
        continue;
      }
      unstored.emplace(name, aggregates);
    }

    if (!canEventBeSampled(name)) {
      aggregates->setLastBundledTimestamp(timestamp);
      aggregates->setLastBundledDay(day);
      kept.push_back(original);
      continue;
    }

    const std::int32_t rate = config.samplingRateForEvent(name);
    if (isEventBundledAfterRoll(rate)) {
      aggregates->setLastSamplingRate(rate);
      if (aggregates->lastSampledComplexEventID()) aggregates->setLastSampledComplexEventID({});
      aggregates->setLastBundledTimestamp(timestamp);
      aggregates->setLastBundledDay(day);
      TLMPBEvent event = original;
      addParameter(event, kSamplingRateParameter, rate, kCodeSamplingRateParameterFailed,
                   "Failed to create sampling rate parameter");
      kept.push_back(std::move(event));
      continue;
    }

    std::int32_t lastDay = aggregates->lastBundledDay();
    if (lastDay == 0) {
      lastDay = samplingDay(static_cast<double>(original.previous_timestamp_millis()) / 1000,
                            offsetSeconds);
    }
    aggregates->setLastSamplingRate(rate);
    if (lastDay != day) {
      // Today's first event of the name goes out whatever the roll said.
      aggregates->setLastBundledTimestamp(timestamp);
      aggregates->setLastBundledDay(day);
      aggregates->setLastExemptFromSampling(true);
      TLMPBEvent event = original;
      addParameter(event, kSamplingRateParameter, rate, kCodeSamplingRateParameterFailed,
                   "Failed to create sampling rate parameter");
      addParameter(event, kExemptFromSamplingParameter, 1, kCodeExemptParameterFailed,
                   "Failed to create exempt from sampling parameter");
      kept.push_back(std::move(event));
      continue;
    }
    const std::optional<TLMPBEventParam> complexEventID =
        parameterNamed(original, kComplexEventIDParameter);
    if (complexEventID && complexEventID->has_int_value()) {
      aggregates->setLastSampledComplexEventID(complexEventID->int_value());
    }
  }

  // Written back from fresh rows, so that counts changed since the cache
  // was read are kept; only the sampling fields come from the cache.
  for (const auto& [name, cached] : cache) {
    Error readError;
    TLMEventAggregatesPtr fresh = database_->eventAggregatesWithName(name, &readError);
    if (fresh == nullptr && errorIsSet(readError)) {
      report(1, kCodeAggregatesQueryForUpdateFailed,
             "Unable to query event aggregates to update database. Name, error",
             {Object(name), Object::error(readError)});
      if (error != nullptr) *error = readError;
      return std::nullopt;
    }
    if (fresh == nullptr) continue;  // deleted meanwhile: nothing to record
    if (cached->lastBundledTimestamp() != 0) {
      fresh->setLastBundledTimestamp(cached->lastBundledTimestamp());
    }
    fresh->setLastSamplingRate(cached->lastSamplingRate());
    fresh->setLastSampledComplexEventID(cached->lastSampledComplexEventID());
    fresh->setLastExemptFromSampling(cached->lastExemptFromSampling());
    fresh->setLastBundledDay(cached->lastBundledDay());
    Error writeError;
    if (!database_->updateEventAggregates(*fresh, &writeError)) {
      report(1, kCodeAggregatesUpdateFailed,
             "Failed to update event aggregates after removing removing events due to sampling. "
             "Error",
             {Object::error(writeError)});
      if (error != nullptr) *error = writeError;
      return std::nullopt;
    }
  }
  return kept;
}

bool TLMMeasurement::canEventBeSampled(const std::string& name) {
  const TLMRemoteConfig& config = remoteConfig_ != nullptr ? *remoteConfig_ : remoteConfig();
  if (!config.isEventSamplingEnabled() || !config.eventHasSamplingRate(name)) return false;
  if (config.samplingRateForEvent(name) > 1) return true;
  report(5, kCodeInvalidSamplingRate, "Invalid sampling rate provided");
  return false;
}

bool TLMMeasurement::isEventBundledAfterRoll(std::int32_t rate) {
  // A rate of 1 or less keeps everything.
  if (rate <= 1) return true;
  return Platform::current().random().uniform(static_cast<std::uint64_t>(rate)) == 0;
}
