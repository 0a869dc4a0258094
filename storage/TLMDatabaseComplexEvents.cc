// Complex events under audience evaluation: the "main_event_params"
// table, one row per complex event with its main event and the number of
// child events still to come.
#include "storage/TLMDatabase.h"
#include "storage/TLMDatabaseRowFields.h"

namespace {

constexpr char kColumnEventID[] = "event_id";
constexpr char kColumnChildrenToProcess[] = "children_to_process";
constexpr char kColumnMainEvent[] = "main_event";

constexpr char kMainEventQuery[] = "SELECT * FROM main_event_params WHERE event_id=? LIMIT 1";
constexpr char kEventIDCondition[] = "event_id=?";

}  // namespace

std::optional<TLMMainEventAndChildCount> TLMDatabase::mainEventAndChildCountPairWithEventID(
    std::int64_t eventID, Error* error) {
  std::optional<std::vector<TLMSqliteRecord>> rows =
      sqliteStore_->recordsForQuery(kMainEventQuery, {Object::integer(eventID)}, error);
  if (!rows || rows->empty()) return std::nullopt;
  const TLMSqliteRecord& row = rows->front();
  const Bytes* blob = tlm_rowData(row, kColumnMainEvent);
  if (!tlm_checkCondition(blob != nullptr && !blob->empty(), error, 3,
                          "Main event blob is nil in database")) {
    return std::nullopt;
  }
  const std::optional<std::int64_t> childCount = tlm_rowInt64(row, kColumnChildrenToProcess);
  if (!tlm_checkCondition(childCount.has_value(), error, 3,
                          "Complex event does not have children count in database")) {
    return std::nullopt;
  }
  TLMEventPtr mainEvent = tlm_eventForBlob(*blob, error);
  if (mainEvent == nullptr) return std::nullopt;
  return TLMMainEventAndChildCount(std::move(mainEvent), *childCount);
}

bool TLMDatabase::updateComplexEventForAudienceEvaluationWithEventID(std::int64_t eventID,
                                                                     std::int64_t childEventCount,
                                                                     const TLMEvent& mainEvent,
                                                                     Error* error) {
  std::optional<Bytes> blob = tlm_blobForEvent(mainEvent, error);
  if (!blob) return false;
  const TLMSqliteRecord record = {
      {kColumnEventID, Object::integer(eventID)},
      {kColumnChildrenToProcess, Object::integer(childEventCount)},
      {kColumnMainEvent, Object::data(std::move(*blob))},
  };
  return sqliteStore_->upsertRecord(record, kTLMTableMainEventParams, error);
}

bool TLMDatabase::deleteComplexEventForAudienceEvaluationWithEventID(std::int64_t eventID,
                                                                     Error* error) {
  return sqliteStore_
      ->deleteRecordsFromTableWithName(kTLMTableMainEventParams, kEventIDCondition,
                                       {Object::integer(eventID)}, error)
      .has_value();
}
