// User properties: the "user_attributes" table. Values are stored as their
// natural SQLite type (TEXT, REAL or INTEGER) although the column is
// declared BLOB.
#include "engine/TLMDataTypeValidator.h"
#include "storage/TLMDatabase.h"
#include "storage/TLMDatabaseMessages.h"
#include "storage/TLMDatabaseRowFields.h"

namespace {

constexpr char kColumnName[] = "name";
constexpr char kColumnOrigin[] = "origin";
constexpr char kColumnValue[] = "value";
constexpr char kColumnSetTimestamp[] = "set_timestamp";

// Lifetime-value properties are named "_ltv_<currency>".
constexpr char kLifetimeValuePrefix[] = "_ltv_";

constexpr char kPublicUserAttributeCountQuery[] =
    "SELECT count(1) FROM user_attributes WHERE name NOT LIKE '!_%' ESCAPE '!'";
constexpr char kUserAttributeCountForOriginQuery[] =
    "SELECT count(1) FROM user_attributes WHERE origin = ?";
constexpr char kContainsUserAttributeQuery[] =
    "SELECT EXISTS (SELECT 1 FROM user_attributes WHERE name = ? LIMIT 1)";

std::optional<TLMUserAttributePtr> fail(Error* error, const std::string& description) {
  if (error != nullptr) *error = tlm_errorWithCode(3, description);
  return std::nullopt;
}

std::optional<TLMUserAttributePtr> userAttributeFromRecord(const TLMSqliteRecord& row,
                                                           Error* error) {
  if (row.empty()) return fail(error, "Received empty dictionary for getting user property");
  const std::string* name = tlm_rowString(row, kColumnName);
  if (name == nullptr || name->empty()) return fail(error, "User property row has no name");
  const std::optional<double> setTimestamp = tlm_rowDouble(row, kColumnSetTimestamp);
  if (!setTimestamp) return fail(error, "User property row has no set timestamp");
  auto value = row.find(kColumnValue);
  if (value == row.end()) return fail(error, "User property row has no value");
  TLMValuePtr propertyValue = tlm_propertyValueForColumnObject(value->second, error);
  if (propertyValue == nullptr) return std::nullopt;
  // Rows written before the origin column existed have none.
  const std::string* origin = tlm_rowString(row, kColumnOrigin);
  TLMUserAttributePtr attribute = TLMUserAttribute::initWithOrigin(
      origin != nullptr ? *origin : std::string(), *name, propertyValue, *setTimestamp);
  if (attribute == nullptr) {
    return fail(error, "Failed to create user property from the database dictionary");
  }
  return attribute;
}

// Names the app may not see: the library's own ("_...") and those with a
// reserved prefix.
bool isInternalName(const std::string& name) {
  return (!name.empty() && name[0] == '_') || TLMDataTypeValidator::hasReservedPrefixes(name);
}

}  // namespace

std::optional<std::int64_t> TLMDatabase::publicUserAttributeCount(Error* error) {
  return tlm_databaseCountForQuery(*sqliteStore_, kPublicUserAttributeCountQuery, {}, error);
}

std::optional<std::int64_t> TLMDatabase::userAttributeCountForOrigin(const std::string& origin,
                                                                     Error* error) {
  if (!tlm_checkCondition(!origin.empty(), error, 1,
                          "Received empty origin for user property count")) {
    return std::nullopt;
  }
  return tlm_databaseCountForQuery(*sqliteStore_, kUserAttributeCountForOriginQuery,
                                   {Object(origin)}, error);
}

std::optional<bool> TLMDatabase::containsUserAttributeWithName(const std::string& name,
                                                               Error* error) {
  return tlm_databaseBooleanForQuery(*sqliteStore_, kContainsUserAttributeQuery, {Object(name)},
                                     error);
}

TLMUserAttributePtr TLMDatabase::userAttributeWithName(const std::string& name, Error* error) {
  std::optional<std::vector<TLMUserAttributePtr>> rows =
      dataTypesFromTableWithName<TLMUserAttributePtr>(kTLMTableUserAttributes, kColumnName,
                                                      Object(name), error, userAttributeFromRecord);
  if (!rows || rows->empty()) return nullptr;
  return rows->front();
}

std::optional<std::vector<TLMUserAttributePtr>> TLMDatabase::userAttributesIncludingInternal(
    bool includeInternal, Error* error) {
  std::optional<std::vector<TLMUserAttributePtr>> all =
      allDataTypesFromTableWithName<TLMUserAttributePtr>(
          kTLMTableUserAttributes, kMaxUserAttributesRows, error, userAttributeFromRecord);
  if (!all || includeInternal) return all;
  std::vector<TLMUserAttributePtr> visible;
  for (TLMUserAttributePtr& attribute : *all) {
    if (!isInternalName(attribute->name())) visible.push_back(std::move(attribute));
  }
  return visible;
}

std::optional<std::vector<TLMUserAttributePtr>> TLMDatabase::allLifetimeValueUserAttributes(
    Error* error) {
  // An exact prefix: LIKE would also match "altv_..." or "_LTV_...". Rows
  // set at the same time come newest-written first.
  const std::string query = "SELECT * FROM user_attributes WHERE " +
                            TLMSqliteStore::prefixConditionForColumn(kColumnName) +
                            " ORDER BY set_timestamp DESC, rowid DESC";
  std::optional<std::vector<TLMSqliteRecord>> rows =
      sqliteStore_->recordsForQuery(query, {Object(kLifetimeValuePrefix)}, error);
  if (!rows) return std::nullopt;
  std::vector<TLMUserAttributePtr> attributes;
  attributes.reserve(rows->size());
  for (const TLMSqliteRecord& row : *rows) {
    std::optional<TLMUserAttributePtr> attribute = userAttributeFromRecord(row, error);
    if (!attribute) return std::nullopt;
    attributes.push_back(std::move(*attribute));
  }
  return attributes;
}

bool TLMDatabase::updateUserAttribute(const TLMUserAttribute& attribute, Error* error) {
  if (!tlm_checkCondition(!attribute.origin().empty(), error, 3,
                          "Received empty origin for updating user property") ||
      !tlm_checkCondition(!attribute.name().empty(), error, 1,
                          "Received empty name for updating user property")) {
    return false;
  }
  OptionalObject value = tlm_columnObjectForPropertyValue(attribute.value(), error);
  if (!value) return false;
  const TLMSqliteRecord record = {
      {kColumnOrigin, Object(attribute.origin())},
      {kColumnName, Object(attribute.name())},
      {kColumnValue, *value},
      {kColumnSetTimestamp, Object::floating(attribute.lastSetTimestamp())},
  };
  return upsertDataType(record, kTLMTableUserAttributes, kColumnName, Object(attribute.name()),
                        kMaxUserAttributesRows, error);
}

bool TLMDatabase::deleteUserAttributeWithName(const std::string& name, Error* error) {
  return sqliteStore_->deleteRecordFromTableWithName(kTLMTableUserAttributes, kColumnName,
                                                     Object(name), error);
}
