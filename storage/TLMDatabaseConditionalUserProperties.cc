// Conditional user properties: the "conditional_properties" table. The
// value is stored as its natural SQLite type; the three events as
// serialized TLMPBEvents, NULL when absent.
#include "audience/TLMConditionalUserProperty.h"
#include "storage/TLMDatabase.h"
#include "storage/TLMDatabaseMessages.h"
#include "storage/TLMDatabaseRowFields.h"

namespace {

// A row whose value or events no longer decode. List reads skip it, so
// that one damaged row does not stop every conditional property from
// triggering, timing out or expiring; reads by name refuse it.
constexpr long kUnreadableConditionalPropertyCode = 12064;
constexpr char kUnreadableConditionalPropertyMessage[] =
    "Data loss. Skipping conditional user property that cannot be read. Name, error";

constexpr char kColumnName[] = "name";
constexpr char kColumnOrigin[] = "origin";
constexpr char kColumnValue[] = "value";
constexpr char kColumnCreationTimestamp[] = "creation_timestamp";
constexpr char kColumnActive[] = "active";
constexpr char kColumnTriggerTimeout[] = "trigger_timeout";
constexpr char kColumnTriggeredTimestamp[] = "triggered_timestamp";
constexpr char kColumnTimeToLive[] = "time_to_live";
constexpr char kColumnTriggerEventName[] = "trigger_event_name";
constexpr char kColumnTimedOutEvent[] = "timed_out_event";
constexpr char kColumnTriggeredEvent[] = "triggered_event";
constexpr char kColumnExpiredEvent[] = "expired_event";

// Times are compared with abs() so that a property created or triggered
// "in the future" (the clock was set back) is not kept forever.
constexpr char kTimedOutCondition[] = "active=0 and abs(? - creation_timestamp) > trigger_timeout";
constexpr char kExpiredCondition[] = "active=1 and abs(? - triggered_timestamp) > time_to_live";
constexpr char kTriggeredCondition[] =
    "active=0 and trigger_event_name=? and abs(? - creation_timestamp) <= trigger_timeout";
constexpr char kAllRowsCondition[] = "1 == 1";

TLMConditionalUserPropertyPtr fail(Error* error, const std::string& description) {
  if (error != nullptr) *error = tlm_errorWithCode(3, description);
  return nullptr;
}

// An optional event column: true with a null event when the column is
// NULL; false (with `error`) when it holds something that is not an event.
bool readEventColumn(const TLMSqliteRecord& row, const char* column, TLMEventPtr* event,
                     Error* error) {
  if (tlm_rowIsNull(row, column)) return true;
  const Bytes* blob = tlm_rowData(row, column);
  if (blob == nullptr) {
    fail(error, std::string("Conditional user property has an invalid ") + column);
    return false;
  }
  Error eventError;
  *event = tlm_eventForBlob(*blob, &eventError);
  if (*event == nullptr) {
    fail(error, std::string("Conditional user property has an invalid ") + column + ": " +
                    eventError.description.value_or(""));
    return false;
  }
  return true;
}

TLMConditionalUserPropertyPtr conditionalUserPropertyFromRecord(const TLMSqliteRecord& row,
                                                                Error* error) {
  if (row.empty()) {
    return fail(error, "Received empty dictionary for getting conditional user property");
  }
  const std::string* name = tlm_rowString(row, kColumnName);
  const std::string* origin = tlm_rowString(row, kColumnOrigin);
  const std::optional<double> creation = tlm_rowDouble(row, kColumnCreationTimestamp);
  const std::optional<std::int64_t> active = tlm_rowInt64(row, kColumnActive);
  const std::optional<double> triggerTimeout = tlm_rowDouble(row, kColumnTriggerTimeout);
  const std::optional<double> triggered = tlm_rowDouble(row, kColumnTriggeredTimestamp);
  const std::optional<double> timeToLive = tlm_rowDouble(row, kColumnTimeToLive);
  auto value = row.find(kColumnValue);
  if (name == nullptr || origin == nullptr || !creation || !active || !triggerTimeout ||
      !triggered || !timeToLive || value == row.end()) {
    return fail(error, "Conditional user property row is missing a column");
  }
  auto property = TLMConditionalUserProperty::create();
  property->setName(*name);
  property->setOrigin(*origin);
  TLMValuePtr propertyValue = tlm_propertyValueForColumnObject(value->second, error);
  if (propertyValue == nullptr) return nullptr;
  property->setValue(std::move(propertyValue));
  property->setCreationTimestamp(*creation);
  property->setActive(*active != 0);
  property->setTriggerTimeout(*triggerTimeout);
  property->setTriggeredTimestamp(*triggered);
  property->setTimeToLive(*timeToLive);
  if (const std::string* triggerEventName = tlm_rowString(row, kColumnTriggerEventName)) {
    property->setTriggerEventName(*triggerEventName);
  } else if (!tlm_rowIsNull(row, kColumnTriggerEventName)) {
    return fail(error, "Conditional user property has an invalid trigger_event_name");
  }
  TLMEventPtr timedOut;
  TLMEventPtr triggeredEvent;
  TLMEventPtr expired;
  if (!readEventColumn(row, kColumnTimedOutEvent, &timedOut, error) ||
      !readEventColumn(row, kColumnTriggeredEvent, &triggeredEvent, error) ||
      !readEventColumn(row, kColumnExpiredEvent, &expired, error)) {
    return nullptr;
  }
  property->setTimedOutEvent(std::move(timedOut));
  property->setTriggeredEvent(std::move(triggeredEvent));
  property->setExpiredEvent(std::move(expired));
  return property;
}

std::string selectQueryWithCondition(const std::string& condition) {
  return std::string("SELECT rowid, * FROM ") + kTLMTableConditionalProperties + " WHERE " +
         condition;
}

// Adds the event's blob under `column` when there is an event.
bool addEventColumn(TLMSqliteRecord* record, const char* column, const TLMEventPtr& event,
                    Error* error) {
  if (event == nullptr) return true;
  std::optional<Bytes> blob = tlm_blobForEvent(*event, error);
  if (!blob) return false;
  (*record)[column] = Object::data(std::move(*blob));
  return true;
}

}  // namespace

TLMConditionalUserPropertyPtr TLMDatabase::conditionalUserPropertyWithName(const std::string& name,
                                                                           Error* error) {
  std::optional<std::vector<TLMSqliteRecord>> rows =
      sqliteStore_->recordsForQuery(selectQueryWithCondition("name = ?"), {Object(name)}, error);
  if (!rows || rows->empty()) return nullptr;
  return conditionalUserPropertyFromRecord(rows->front(), error);
}

bool TLMDatabase::deleteConditionalUserPropertyWithName(const std::string& name, Error* error) {
  return sqliteStore_->deleteRecordFromTableWithName(kTLMTableConditionalProperties, kColumnName,
                                                     Object(name), error);
}

bool TLMDatabase::updateConditionalUserProperty(const TLMConditionalUserProperty& property,
                                                Error* error) {
  if (!tlm_checkCondition(!property.name().empty(), error, 3,
                          "Received empty name for updating conditional user property") ||
      !tlm_checkCondition(!property.origin().empty(), error, 3,
                          "Received empty origin for updating conditional user property") ||
      !tlm_checkCondition(property.value() != nullptr, error, 3,
                          "Received nil value for updating conditional user property")) {
    return false;
  }
  OptionalObject value = tlm_columnObjectForPropertyValue(property.value(), error);
  if (!value) return false;
  TLMSqliteRecord record = {
      {kColumnName, Object(property.name())},
      {kColumnOrigin, Object(property.origin())},
      {kColumnValue, *value},
      {kColumnCreationTimestamp, Object::floating(property.creationTimestamp())},
      {kColumnActive, Object::integer(property.active() ? 1 : 0)},
      {kColumnTriggerTimeout, Object::floating(property.triggerTimeout())},
      {kColumnTriggeredTimestamp, Object::floating(property.triggeredTimestamp())},
      {kColumnTimeToLive, Object::floating(property.timeToLive())},
  };
  if (!property.triggerEventName().empty()) {
    record[kColumnTriggerEventName] = Object(property.triggerEventName());
  }
  if (!addEventColumn(&record, kColumnTimedOutEvent, property.timedOutEvent(), error) ||
      !addEventColumn(&record, kColumnTriggeredEvent, property.triggeredEvent(), error) ||
      !addEventColumn(&record, kColumnExpiredEvent, property.expiredEvent(), error)) {
    return false;
  }
  return upsertDataType(record, kTLMTableConditionalProperties, kColumnName,
                        Object(property.name()), kMaxConditionalPropertiesRows, error);
}

std::optional<std::vector<TLMConditionalUserPropertyPtr>>
TLMDatabase::conditionalUserPropertiesWithCondition(const std::string& condition,
                                                    const ObjectArray& parameterValues,
                                                    Error* error) {
  if (!tlm_checkCondition(!condition.empty(), error, 1,
                          "Received empty condition for conditional user properties")) {
    return std::nullopt;
  }
  std::optional<std::vector<TLMSqliteRecord>> rows =
      sqliteStore_->recordsForQuery(selectQueryWithCondition(condition), parameterValues, error);
  if (!rows) return std::nullopt;
  std::vector<TLMConditionalUserPropertyPtr> properties;
  properties.reserve(rows->size());
  for (const TLMSqliteRecord& row : *rows) {
    Error rowError;
    TLMConditionalUserPropertyPtr property = conditionalUserPropertyFromRecord(row, &rowError);
    if (property == nullptr) {
      const std::string* name = tlm_rowString(row, kColumnName);
      tlm_databaseReport(kTLMDatabaseErrorLevel, kUnreadableConditionalPropertyCode,
                         kUnreadableConditionalPropertyMessage,
                         Object(name != nullptr ? *name : std::string()), Object::error(rowError));
      continue;
    }
    properties.push_back(std::move(property));
  }
  return properties;
}

std::optional<std::vector<TLMConditionalUserPropertyPtr>>
TLMDatabase::timedOutConditionalUserPropertiesWithError(Error* error) {
  return conditionalUserPropertiesWithCondition(kTimedOutCondition, {Object::floating(now())},
                                                error);
}

std::optional<std::vector<TLMConditionalUserPropertyPtr>>
TLMDatabase::expiredConditionalUserPropertiesWithError(Error* error) {
  return conditionalUserPropertiesWithCondition(kExpiredCondition, {Object::floating(now())},
                                                error);
}

std::optional<std::vector<TLMConditionalUserPropertyPtr>>
TLMDatabase::triggeredConditionalUserPropertiesWithEventName(const std::string& eventName,
                                                             Error* error) {
  if (!tlm_checkCondition(!eventName.empty(), error, 1,
                          "Received empty event name for triggered conditional user properties")) {
    return std::nullopt;
  }
  return conditionalUserPropertiesWithCondition(
      kTriggeredCondition, {Object(eventName), Object::floating(now())}, error);
}

std::optional<std::vector<TLMConditionalUserPropertyPtr>>
TLMDatabase::conditionalUserPropertiesWithPrefix(const std::string& prefix,
                                                 const std::string& origin, Error* error) {
  // The origin is compared for equality and the prefix byte for byte: LIKE
  // would read "_" and "%" in either as wildcards and ignore ASCII case.
  std::string condition;
  ObjectArray parameterValues;
  if (!origin.empty()) {
    condition = std::string(kColumnOrigin) + " = ?";
    parameterValues.push_back(Object(origin));
  }
  if (!prefix.empty()) {
    if (!condition.empty()) condition += " AND ";
    condition += TLMSqliteStore::prefixConditionForColumn(kColumnName);
    parameterValues.push_back(Object(prefix));
  }
  if (condition.empty()) condition = kAllRowsCondition;
  return conditionalUserPropertiesWithCondition(condition, parameterValues, error);
}
