#include "storage/TLMDatabaseRowFields.h"

#include "upload/TLMErrors.h"
#include "upload/TLMPBUploadMessages.h"

namespace {

const Object* columnObject(const TLMSqliteRecord& row, const std::string& column) {
  auto it = row.find(column);
  return it != row.end() ? &it->second : nullptr;
}

void fail(Error* error, long code, const std::string& description) {
  if (error != nullptr) *error = tlm_errorWithCode(code, description);
}

}  // namespace

const std::string* tlm_rowString(const TLMSqliteRecord& row, const std::string& column) {
  const Object* object = columnObject(row, column);
  return object != nullptr ? object->asString() : nullptr;
}

const Bytes* tlm_rowData(const TLMSqliteRecord& row, const std::string& column) {
  const Object* object = columnObject(row, column);
  return object != nullptr ? object->asData() : nullptr;
}

std::optional<std::int64_t> tlm_rowInt64(const TLMSqliteRecord& row, const std::string& column) {
  const Object* object = columnObject(row, column);
  if (object == nullptr || !object->isNumber()) return std::nullopt;
  return object->int64Value();
}

std::optional<double> tlm_rowDouble(const TLMSqliteRecord& row, const std::string& column) {
  const Object* object = columnObject(row, column);
  if (object == nullptr || !object->isNumber()) return std::nullopt;
  return object->doubleValue();
}

bool tlm_rowIsNull(const TLMSqliteRecord& row, const std::string& column) {
  const Object* object = columnObject(row, column);
  return object == nullptr || object->isNull();
}

std::optional<std::int64_t> tlm_databaseCountForQuery(TLMSqliteStore& store,
                                                      const std::string& query,
                                                      const ObjectArray& parameterValues,
                                                      Error* error) {
  Error queryError;
  OptionalObject number = store.numberForQuery(query, parameterValues, &queryError);
  if (number) return number->int64Value();
  if (queryError.domain.empty()) queryError = tlm_errorWithCode(3, "Query returned no number");
  if (error != nullptr) *error = queryError;
  return std::nullopt;
}

OptionalObject tlm_columnObjectForPropertyValue(const TLMValuePtr& value, Error* error) {
  if (value == nullptr) {
    fail(error, 1, "Received nil value for user property");
    return std::nullopt;
  }
  if (value->isString()) {
    const std::string* text = value->stringValue();
    if (text == nullptr || text->empty()) {
      fail(error, 1, "Received empty string value for user property");
      return std::nullopt;
    }
    return Object(*text);
  }
  if (value->isDouble()) return Object::floating(value->doubleValue());
  if (value->isInt64()) return Object::integer(value->int64Value());
  fail(error, 1, "Received unsupported value type for user property");
  return std::nullopt;
}

TLMValuePtr tlm_propertyValueForColumnObject(const Object& object, Error* error) {
  if (const std::string* text = object.asString()) return TLMValue::fromString(*text);
  if (object.isFloatingNumber()) return TLMValue::initWithDouble(object.doubleValue());
  if (object.isNumber()) return TLMValue::initWithInt64(object.int64Value());
  fail(error, 3, "Received invalid value type for user property in the database");
  return nullptr;
}

std::optional<Bytes> tlm_blobForEvent(const TLMEvent& event, Error* error) {
  return event.protoEvent().protoBuffer(error);
}

TLMEventPtr tlm_eventForBlob(const Bytes& blob, Error* error) {
  std::optional<TLMPBEvent> message = TLMPBEvent::initWithBuffer(blob, nullptr);
  if (!message) {
    fail(error, 3, "Failed to parse event from data");
    return nullptr;
  }
  TLMEventPtr event = TLMEvent::initWithEventProto(*message);
  if (event == nullptr) fail(error, 3, "Failed to create event from data");
  return event;
}
