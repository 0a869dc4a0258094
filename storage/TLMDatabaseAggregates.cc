// Event aggregates: the per-event-name counters of the "events" table.
#include <limits>

#include "storage/TLMDatabase.h"
#include "storage/TLMDatabaseRowFields.h"

namespace {

constexpr char kColumnName[] = "name";
constexpr char kColumnLifetimeCount[] = "lifetime_count";
constexpr char kColumnCurrentBundleCount[] = "current_bundle_count";
constexpr char kColumnLastFireTimestamp[] = "last_fire_timestamp";
constexpr char kColumnLastBundledTimestamp[] = "last_bundled_timestamp";
constexpr char kColumnLastSampledComplexEventID[] = "last_sampled_complex_event_id";
constexpr char kColumnLastSamplingRate[] = "last_sampling_rate";
constexpr char kColumnLastExemptFromSampling[] = "last_exempt_from_sampling";
constexpr char kColumnLastBundledDay[] = "last_bundled_day";
constexpr char kColumnCurrentSessionCount[] = "current_session_count";

// Names that do not begin with "_"; LIKE needs the escape because "_" is
// its one-character wildcard.
constexpr char kPublicEventCountQuery[] =
    "SELECT count(1) FROM events WHERE name NOT LIKE '!_%' ESCAPE '!'";

std::optional<TLMEventAggregatesPtr> fail(Error* error, const std::string& description) {
  if (error != nullptr) *error = tlm_errorWithCode(3, description);
  return std::nullopt;
}

// A 32-bit counter column; nothing when it is missing, not a number or out
// of range.
std::optional<std::int32_t> int32Column(const TLMSqliteRecord& row, const char* column) {
  std::optional<std::int64_t> value = tlm_rowInt64(row, column);
  if (!value || *value < std::numeric_limits<std::int32_t>::min() ||
      *value > std::numeric_limits<std::int32_t>::max()) {
    return std::nullopt;
  }
  return static_cast<std::int32_t>(*value);
}

// An add-on counter: NULL (a row written before the column existed) reads
// as `defaultValue`.
std::optional<std::int32_t> addOnInt32Column(const TLMSqliteRecord& row, const char* column,
                                             std::int32_t defaultValue) {
  if (tlm_rowIsNull(row, column)) return defaultValue;
  return int32Column(row, column);
}

std::optional<TLMEventAggregatesPtr> eventAggregatesFromRecord(const TLMSqliteRecord& row,
                                                               Error* error) {
  if (row.empty()) return fail(error, "Received empty dictionary for getting event aggregates");
  const std::string* name = tlm_rowString(row, kColumnName);
  if (name == nullptr || name->empty()) {
    return fail(error, "Event aggregates row has no name");
  }
  const std::optional<std::int32_t> lifetimeCount = int32Column(row, kColumnLifetimeCount);
  const std::optional<std::int32_t> bundleCount = int32Column(row, kColumnCurrentBundleCount);
  const std::optional<double> lastFire = tlm_rowDouble(row, kColumnLastFireTimestamp);
  const std::optional<std::int32_t> sessionCount =
      addOnInt32Column(row, kColumnCurrentSessionCount, 0);
  const std::optional<std::int32_t> samplingRate =
      addOnInt32Column(row, kColumnLastSamplingRate, 1);
  const std::optional<std::int32_t> bundledDay = addOnInt32Column(row, kColumnLastBundledDay, 0);
  if (!lifetimeCount || !bundleCount || !lastFire || !sessionCount || !samplingRate ||
      !bundledDay) {
    return fail(error, "Event aggregates row has an invalid count or timestamp");
  }
  double lastBundled = 0;
  if (!tlm_rowIsNull(row, kColumnLastBundledTimestamp)) {
    std::optional<double> value = tlm_rowDouble(row, kColumnLastBundledTimestamp);
    if (!value) return fail(error, "Event aggregates row has an invalid count or timestamp");
    lastBundled = *value;
  }
  std::optional<std::int64_t> complexEventID;
  if (!tlm_rowIsNull(row, kColumnLastSampledComplexEventID)) {
    complexEventID = tlm_rowInt64(row, kColumnLastSampledComplexEventID);
    if (!complexEventID) {
      return fail(error, "Event aggregates row has an invalid complex event ID");
    }
  }
  bool exempt = false;
  if (!tlm_rowIsNull(row, kColumnLastExemptFromSampling)) {
    std::optional<std::int64_t> value = tlm_rowInt64(row, kColumnLastExemptFromSampling);
    if (!value) return fail(error, "Event aggregates row has an invalid count or timestamp");
    exempt = *value != 0;
  }

  TLMEventAggregatesPtr aggregates = TLMEventAggregates::initWithName(
      *name, *lifetimeCount, *bundleCount, *sessionCount, *lastFire);
  if (aggregates == nullptr) {
    return fail(error, "Failed to create event aggregates from the database dictionary");
  }
  aggregates->setLastBundledTimestamp(lastBundled);
  aggregates->setLastSampledComplexEventID(complexEventID);
  aggregates->setLastSamplingRate(*samplingRate);
  aggregates->setLastExemptFromSampling(exempt);
  aggregates->setLastBundledDay(*bundledDay);
  return aggregates;
}

}  // namespace

std::optional<std::vector<TLMEventAggregatesPtr>> TLMDatabase::allEventAggregates(Error* error) {
  return allDataTypesFromTableWithName<TLMEventAggregatesPtr>(
      kTLMTableEvents, kMaxEventAggregatesRows, error, eventAggregatesFromRecord);
}

TLMEventAggregatesPtr TLMDatabase::eventAggregatesWithName(const std::string& name, Error* error) {
  std::optional<std::vector<TLMEventAggregatesPtr>> rows =
      dataTypesFromTableWithName<TLMEventAggregatesPtr>(kTLMTableEvents, kColumnName, Object(name),
                                                        error, eventAggregatesFromRecord);
  if (!rows || rows->empty()) return nullptr;
  return rows->front();
}

bool TLMDatabase::updateEventAggregates(const TLMEventAggregates& aggregates, Error* error) {
  if (!tlm_checkCondition(!aggregates.name().empty(), error, 1,
                          "Received event aggregates without name")) {
    return false;
  }
  TLMSqliteRecord record = {
      {kColumnName, Object(aggregates.name())},
      {kColumnLifetimeCount, Object::integer(aggregates.lifetimeCount())},
      {kColumnCurrentBundleCount, Object::integer(aggregates.currentBundleCount())},
      {kColumnLastFireTimestamp, Object::floating(aggregates.lastFireTimestamp())},
      {kColumnLastBundledTimestamp, Object::floating(aggregates.lastBundledTimestamp())},
      {kColumnLastSamplingRate, Object::integer(aggregates.lastSamplingRate())},
      {kColumnLastExemptFromSampling, Object::integer(aggregates.lastExemptFromSampling() ? 1 : 0)},
      {kColumnLastBundledDay, Object::integer(aggregates.lastBundledDay())},
      {kColumnCurrentSessionCount, Object::integer(aggregates.currentSessionCount())},
  };
  if (aggregates.lastSampledComplexEventID()) {
    record[kColumnLastSampledComplexEventID] =
        Object::integer(*aggregates.lastSampledComplexEventID());
  }
  return upsertDataType(record, kTLMTableEvents, kColumnName, Object(aggregates.name()),
                        kMaxEventAggregatesRows, error);
}

bool TLMDatabase::clearCurrentSessionCounts(Error* error) {
  return sqliteStore_->updateAllRecordsInTableWithName(kTLMTableEvents, kColumnCurrentSessionCount,
                                                       Object::integer(0), error);
}

std::optional<std::int64_t> TLMDatabase::publicEventCount(Error* error) {
  return tlm_databaseCountForQuery(*sqliteStore_, kPublicEventCountQuery, {}, error);
}
