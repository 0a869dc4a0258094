#include "upload/TLMMonitoringSampledData.h"

#include <cmath>
#include <limits>

#include "platform/Random.h"

TLMMonitoringSampledData::TLMMonitoringSampledData(const OptionalObject& stored) {
  if (!stored.has_value()) return;
  const ObjectArray* items = stored->asArray();
  if (items == nullptr || items->size() != 4) return;
  const Object& context = (*items)[0];
  const Object& population = (*items)[1];
  const Object& key = (*items)[2];
  const Object& timestamp = (*items)[3];
  if (!context.isString() || !population.isNumber() || !key.isString() ||
      timestamp.kind() != Object::Kind::Date) {
    return;
  }
  // A population below one (or not a whole number) cannot come from
  // sampling; it would make the 1/population draw meaningless.
  if (population.isFloatingNumber()) {
    const double value = population.doubleValue();
    if (!std::isfinite(value) || value != std::trunc(value)) return;
  }
  if (population.int64Value() < 1) return;
  if (!std::isfinite(timestamp.dateValue())) return;
  entry_ =
      Entry{*context.asString(), population.int64Value(), *key.asString(), timestamp.dateValue()};
}

void TLMMonitoringSampledData::insertOrUpdateSampledDataWithKey(
    const std::optional<std::string>& key, const std::optional<std::string>& encodedContext,
    double now, Random& random) {
  if (!key.has_value() || !encodedContext.has_value()) return;
  if (!entry_.has_value()) {
    entry_ = Entry{*encodedContext, 1, *key, now};
    return;
  }
  if (entry_->population < std::numeric_limits<std::int64_t>::max()) ++entry_->population;
  // Reservoir sampling of size one: the n-th report replaces the entry with
  // probability 1/n, so every report of the period is equally likely kept.
  if (random.uniform(static_cast<std::uint64_t>(entry_->population)) == 0) {
    entry_->key = *key;
    entry_->context = *encodedContext;
  }
}

std::optional<std::string> TLMMonitoringSampledData::takeMonitoringData(double samplePeriod,
                                                                        double lastSampledTimestamp,
                                                                        double now) {
  if (entry_.has_value()) {
    if (!(entry_->timestamp < now - samplePeriod)) return std::nullopt;
    std::string result = std::to_string(entry_->population) + ":" + entry_->key;
    if (!entry_->context.empty()) result += ":" + entry_->context;
    entry_.reset();
    return result;
  }
  if (lastSampledTimestamp > 0 && std::fabs(now - lastSampledTimestamp) > samplePeriod) {
    return std::string("0:");
  }
  return std::nullopt;
}

OptionalObject TLMMonitoringSampledData::arrayRepresentation() const {
  if (!entry_.has_value()) return std::nullopt;
  return Object::array({Object(entry_->context), Object::integer(entry_->population),
                        Object(entry_->key), Object::date(entry_->timestamp)});
}
