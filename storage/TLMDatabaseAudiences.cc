// Audience definitions and results: the "event_filters",
// "property_filters" and "audience_filter_values" tables.
#include <limits>
#include <set>

#include "audience/TLMEventFilter.h"
#include "audience/TLMFilterResult.h"
#include "audience/TLMPropertyFilter.h"
#include "storage/TLMDatabase.h"
#include "storage/TLMDatabaseRowFields.h"

namespace {

constexpr char kColumnAudienceID[] = "audience_id";
constexpr char kColumnFilterID[] = "filter_id";
constexpr char kColumnEventName[] = "event_name";
constexpr char kColumnPropertyName[] = "property_name";
constexpr char kColumnData[] = "data";
constexpr char kColumnSessionScoped[] = "session_scoped";
constexpr char kColumnCurrentResults[] = "current_results";
constexpr char kColumnPreviousResults[] = "previous_results";

constexpr char kAllAudienceIDsQuery[] =
    "SELECT audience_id FROM event_filters UNION SELECT audience_id FROM property_filters";
constexpr char kAllSessionScopedFiltersQuery[] =
    "SELECT audience_id, filter_id FROM event_filters WHERE session_scoped = 1 UNION "
    "SELECT audience_id, filter_id FROM property_filters WHERE session_scoped = 1";

void fail(Error* error, long code, const std::string& description) {
  if (error != nullptr) *error = tlm_errorWithCode(code, description);
}

std::optional<std::int32_t> int32Column(const TLMSqliteRecord& row, const char* column) {
  std::optional<std::int64_t> value = tlm_rowInt64(row, column);
  if (!value || *value < std::numeric_limits<std::int32_t>::min() ||
      *value > std::numeric_limits<std::int32_t>::max()) {
    return std::nullopt;
  }
  return static_cast<std::int32_t>(*value);
}

// The identifying columns every filter row has.
struct FilterRow {
  std::int32_t audienceID;
  std::int32_t filterID;
  std::string name;
  Bytes data;
};

std::optional<FilterRow> filterRowFromRecord(const TLMSqliteRecord& row, const char* nameColumn,
                                             Error* error) {
  const std::optional<std::int32_t> audienceID = int32Column(row, kColumnAudienceID);
  const std::optional<std::int32_t> filterID = int32Column(row, kColumnFilterID);
  const std::string* name = tlm_rowString(row, nameColumn);
  const Bytes* data = tlm_rowData(row, kColumnData);
  if (!audienceID || !filterID || name == nullptr || data == nullptr) {
    fail(error, 3, "Audience filter row is missing a column");
    return std::nullopt;
  }
  return FilterRow{*audienceID, *filterID, *name, *data};
}

std::optional<TLMEventFilterPtr> eventFilterFromRecord(const TLMSqliteRecord& row, Error* error) {
  std::optional<FilterRow> filter = filterRowFromRecord(row, kColumnEventName, error);
  if (!filter) return std::nullopt;
  std::optional<TLMPBEventFilter> message = TLMPBEventFilter::initWithBuffer(filter->data);
  if (!message) {
    fail(error, 3, "Failed to parse event filter from data");
    return std::nullopt;
  }
  return TLMEventFilter::initWithAudienceID(
      filter->audienceID, filter->filterID, std::move(filter->name), std::move(filter->data),
      message->session_scoped(), message->dynamic(), message->sequence());
}

std::optional<TLMPropertyFilterPtr> propertyFilterFromRecord(const TLMSqliteRecord& row,
                                                             Error* error) {
  std::optional<FilterRow> filter = filterRowFromRecord(row, kColumnPropertyName, error);
  if (!filter) return std::nullopt;
  std::optional<TLMPBPropertyFilter> message = TLMPBPropertyFilter::initWithBuffer(filter->data);
  if (!message) {
    fail(error, 3, "Failed to parse property filter from data");
    return std::nullopt;
  }
  return TLMPropertyFilter::initWithAudienceID(
      filter->audienceID, filter->filterID, std::move(filter->name), std::move(filter->data),
      message->session_scoped(), message->dynamic(), message->sequence());
}

// A results column: bytes, or NULL for none.
std::optional<Bytes> resultsColumn(const TLMSqliteRecord& row, const char* column) {
  if (tlm_rowIsNull(row, column)) return Bytes();
  const Bytes* data = tlm_rowData(row, column);
  if (data == nullptr) return std::nullopt;
  return *data;
}

std::optional<TLMFilterResultPtr> filterResultFromRecord(const TLMSqliteRecord& row, Error* error) {
  const std::optional<std::int32_t> audienceID = int32Column(row, kColumnAudienceID);
  std::optional<Bytes> current = resultsColumn(row, kColumnCurrentResults);
  std::optional<Bytes> previous = resultsColumn(row, kColumnPreviousResults);
  if (!audienceID || !current || !previous) {
    fail(error, 3, "Audience filter result row has an invalid column");
    return std::nullopt;
  }
  return TLMFilterResult::initWithAudienceID(*audienceID, std::move(*current),
                                             std::move(*previous));
}

// "(audience_id=1 AND filter_id=2) OR (...)".
template <typename Filter>
std::string conditionForFilters(const std::vector<std::shared_ptr<const Filter>>& filters) {
  std::string condition;
  for (const auto& filter : filters) {
    if (!condition.empty()) condition += " OR ";
    condition += "(audience_id=" + std::to_string(filter->audienceID()) +
                 " AND filter_id=" + std::to_string(filter->filterID()) + ")";
  }
  return condition;
}

template <typename Filter>
bool containsNull(const std::vector<std::shared_ptr<const Filter>>& items) {
  for (const auto& item : items) {
    if (item == nullptr) return true;
  }
  return false;
}

}  // namespace

std::optional<std::vector<std::int32_t>> TLMDatabase::allAudienceIDs(Error* error) {
  std::optional<std::vector<TLMSqliteRecord>> rows =
      sqliteStore_->recordsForQuery(kAllAudienceIDsQuery, {}, error);
  if (!rows) return std::nullopt;
  std::vector<std::int32_t> audienceIDs;
  audienceIDs.reserve(rows->size());
  for (const TLMSqliteRecord& row : *rows) {
    std::optional<std::int32_t> audienceID = int32Column(row, kColumnAudienceID);
    if (!audienceID) {
      fail(error, 3, "Audience filter row has an invalid audience ID");
      return std::nullopt;
    }
    audienceIDs.push_back(*audienceID);
  }
  return audienceIDs;
}

std::optional<std::vector<TLMEventFilterPtr>> TLMDatabase::eventFiltersForEventName(
    const std::string& eventName, Error* error) {
  return dataTypesFromTableWithName<TLMEventFilterPtr>(
      kTLMTableEventFilters, kColumnEventName, Object(eventName), error, eventFilterFromRecord);
}

std::optional<std::vector<TLMPropertyFilterPtr>> TLMDatabase::propertyFiltersForPropertyName(
    const std::string& propertyName, Error* error) {
  return dataTypesFromTableWithName<TLMPropertyFilterPtr>(kTLMTablePropertyFilters,
                                                          kColumnPropertyName, Object(propertyName),
                                                          error, propertyFilterFromRecord);
}

bool TLMDatabase::updateEventFilters(const std::vector<TLMEventFilterPtr>& filters, Error* error) {
  // Checked before writing, so a bad element leaves the table as it was.
  if (!tlm_checkCondition(!containsNull(filters), error, 1,
                          "Received unknown data type to update event filter")) {
    return false;
  }
  for (const TLMEventFilterPtr& filter : filters) {
    const TLMSqliteRecord record = {
        {kColumnAudienceID, Object::integer(filter->audienceID())},
        {kColumnFilterID, Object::integer(filter->filterID())},
        {kColumnEventName, Object(filter->eventName())},
        {kColumnData, Object::data(filter->data())},
        {kColumnSessionScoped, Object::integer(filter->sessionScoped() ? 1 : 0)},
    };
    if (!sqliteStore_->upsertRecord(record, kTLMTableEventFilters, error)) return false;
  }
  return true;
}

bool TLMDatabase::updatePropertyFilters(const std::vector<TLMPropertyFilterPtr>& filters,
                                        Error* error) {
  if (!tlm_checkCondition(!containsNull(filters), error, 1,
                          "Received unknown data type to update property filter")) {
    return false;
  }
  for (const TLMPropertyFilterPtr& filter : filters) {
    const TLMSqliteRecord record = {
        {kColumnAudienceID, Object::integer(filter->audienceID())},
        {kColumnFilterID, Object::integer(filter->filterID())},
        {kColumnPropertyName, Object(filter->propertyName())},
        {kColumnData, Object::data(filter->data())},
        {kColumnSessionScoped, Object::integer(filter->sessionScoped() ? 1 : 0)},
    };
    if (!sqliteStore_->upsertRecord(record, kTLMTablePropertyFilters, error)) return false;
  }
  return true;
}

bool TLMDatabase::deleteEventFilters(const std::vector<TLMEventFilterPtr>& filters, Error* error) {
  if (!tlm_checkCondition(!containsNull(filters), error, 1,
                          "Received unknown data type to delete event filter")) {
    return false;
  }
  if (filters.empty()) return true;
  return sqliteStore_
      ->deleteRecordsFromTableWithName(kTLMTableEventFilters, conditionForFilters(filters), {},
                                       error)
      .has_value();
}

bool TLMDatabase::deletePropertyFilters(const std::vector<TLMPropertyFilterPtr>& filters,
                                        Error* error) {
  if (!tlm_checkCondition(!containsNull(filters), error, 1,
                          "Received unknown data type to delete property filter")) {
    return false;
  }
  if (filters.empty()) return true;
  return sqliteStore_
      ->deleteRecordsFromTableWithName(kTLMTablePropertyFilters, conditionForFilters(filters), {},
                                       error)
      .has_value();
}

bool TLMDatabase::deleteAllEventFilters(Error* error) {
  return sqliteStore_->deleteAllRecordsFromTableWithName(kTLMTableEventFilters, error);
}

bool TLMDatabase::deleteAllPropertyFilters(Error* error) {
  return sqliteStore_->deleteAllRecordsFromTableWithName(kTLMTablePropertyFilters, error);
}

std::optional<std::map<std::int32_t, std::vector<std::int32_t>>>
TLMDatabase::allSessionScopedFilters(Error* error) {
  std::optional<std::vector<TLMSqliteRecord>> rows =
      sqliteStore_->recordsForQuery(kAllSessionScopedFiltersQuery, {}, error);
  if (!rows) return std::nullopt;
  std::map<std::int32_t, std::vector<std::int32_t>> filters;
  for (const TLMSqliteRecord& row : *rows) {
    std::optional<std::int32_t> audienceID = int32Column(row, kColumnAudienceID);
    std::optional<std::int32_t> filterID = int32Column(row, kColumnFilterID);
    if (!audienceID || !filterID) {
      fail(error, 3, "Audience filter row has an invalid audience or filter ID");
      return std::nullopt;
    }
    filters[*audienceID].push_back(*filterID);
  }
  return filters;
}

std::optional<std::map<std::int32_t, TLMFilterResultPtr>> TLMDatabase::allFilterResults(
    Error* error) {
  std::optional<std::vector<TLMFilterResultPtr>> results =
      allDataTypesFromTableWithName<TLMFilterResultPtr>(kTLMTableAudienceFilterValues, -1, error,
                                                        filterResultFromRecord);
  if (!results) return std::nullopt;
  std::map<std::int32_t, TLMFilterResultPtr> byAudience;
  for (TLMFilterResultPtr& result : *results) {
    const std::int32_t audienceID = result->audienceID();
    byAudience[audienceID] = std::move(result);
  }
  return byAudience;
}

TLMFilterResultPtr TLMDatabase::filterResultForAudienceID(std::int32_t audienceID, Error* error) {
  std::optional<std::vector<TLMFilterResultPtr>> rows =
      dataTypesFromTableWithName<TLMFilterResultPtr>(kTLMTableAudienceFilterValues,
                                                     kColumnAudienceID, Object::integer(audienceID),
                                                     error, filterResultFromRecord);
  if (!rows || rows->empty()) return nullptr;
  return rows->front();
}

bool TLMDatabase::updateFilterResults(const std::vector<TLMFilterResultPtr>& results,
                                      Error* error) {
  for (const TLMFilterResultPtr& result : results) {
    if (!tlm_checkCondition(result != nullptr, error, 1,
                            "Received unknown data type to update filter result")) {
      return false;
    }
  }
  for (const TLMFilterResultPtr& result : results) {
    const TLMSqliteRecord record = {
        {kColumnAudienceID, Object::integer(result->audienceID())},
        {kColumnCurrentResults, Object::data(result->currentResults())},
        {kColumnPreviousResults, result->previousResults().empty()
                                     ? Object::null()
                                     : Object::data(result->previousResults())},
    };
    if (!sqliteStore_->upsertRecord(record, kTLMTableAudienceFilterValues, error)) return false;
  }
  return true;
}

bool TLMDatabase::deleteFilterResults(const std::vector<std::int32_t>& audienceIDs, Error* error) {
  if (audienceIDs.empty()) return true;
  const std::set<std::int32_t> distinct(audienceIDs.begin(), audienceIDs.end());
  std::string list;
  for (std::int32_t audienceID : distinct) {
    if (!list.empty()) list += ",";
    list += std::to_string(audienceID);
  }
  const std::string condition = std::string(kColumnAudienceID) + " IN (" + list + ")";
  return sqliteStore_
      ->deleteRecordsFromTableWithName(kTLMTableAudienceFilterValues, condition, {}, error)
      .has_value();
}
