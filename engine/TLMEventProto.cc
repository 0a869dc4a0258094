// TLMEvent to and from its upload and storage message (TLMPBEvent).
#include <limits>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "engine/TLMEvent.h"
#include "engine/TLMMeasurement.h"
#include "engine/TLMNames.h"
#include "engine/TLMTime.h"
#include "upload/TLMMonitor.h"
#include "upload/TLMPBUploadMessages.h"

namespace {

constexpr long kCodeParameterNameMissing = 15000;
constexpr long kCodeOriginNotString = 15001;
constexpr long kCodeUnknownParameterKind = 15002;

// A previous time at or below this means "unknown" and is not written.
constexpr double kPreviousTimestampEpsilon = std::numeric_limits<double>::epsilon();

TLMMonitor& monitor() { return TLMMeasurement::monitor(); }

// ---- Encoding

std::vector<TLMPBEventParam> paramsFromDictionary(const ObjectDictionary& parameters);

// Event parameters are TLMValues; a plain object put in by hand is converted
// the way sanitising would (and reported when it cannot be).
TLMValuePtr valueOfObject(const Object& object) {
  if (TLMValuePtr value = TLMValue::fromObject(object)) return value;
  return TLMValue::valueFromObject(object, /*allowArray=*/true);
}

void setParamValue(TLMPBEventParam& param, const TLMValue& value) {
  switch (value.valueType()) {
    case TLMValueTypeString:
      param.set_string_value(*value.stringValue());
      return;
    case TLMValueTypeInt64:
      param.set_int_value(value.int64Value());
      return;
    case TLMValueTypeDouble:
      param.set_double_value(value.doubleValue());
      return;
    case TLMValueTypeArray:
      // No value of its own: one unnamed entry per item, holding the item's
      // parameters. Items are parameter dictionaries; anything else in the
      // array has no encoding. The item count is capped far below the wire
      // layer's 65535 entries, so adding cannot fail.
      for (const Object& item : *value.arrayValue()) {
        const ObjectDictionary* entries = item.asDictionary();
        if (entries == nullptr) continue;
        TLMPBEventParam itemParam;
        (void)itemParam.set_param_value(paramsFromDictionary(*entries));
        (void)param.add_param_value(std::move(itemParam));
      }
      return;
    default:
      return;
  }
}

// In the dictionary's (sorted) order, so that encodings are reproducible.
std::vector<TLMPBEventParam> paramsFromDictionary(const ObjectDictionary& parameters) {
  std::vector<TLMPBEventParam> params;
  params.reserve(parameters.size());
  for (const auto& [key, object] : parameters) {
    const std::string* name = key.asString();
    if (name == nullptr) continue;
    const TLMValuePtr value = valueOfObject(object);
    if (value == nullptr) continue;
    TLMPBEventParam param;
    param.set_name(*name);
    setParamValue(param, *value);
    params.push_back(std::move(param));
  }
  return params;
}

// ---- Decoding

// Restores stored parameters, the event's own and, recursively, those of
// array items. Works on the nanopb structures to avoid copying each
// sub-message.
class ParameterDecoder {
 public:
  explicit ParameterDecoder(std::string eventDisplayName)
      : eventDisplayName_(std::move(eventDisplayName)) {}

  ObjectDictionary decode(const tlmpb_EventParam* params, pb_size_t count) {
    ObjectDictionary result;
    for (pb_size_t index = 0; index < count; ++index) {
      const tlmpb_EventParam& param = params[index];
      // An empty name is no more usable than a missing one.
      if (param.name == nullptr || param.name[0] == '\0') {
        monitor().logWithLevel(2, kCodeParameterNameMissing,
                               "Ignoring parameter. Parameter name is nil. Event name",
                               Object(eventDisplayName_));
        continue;
      }
      const TLMValuePtr value = valueOfParam(param);
      if (value == nullptr) continue;
      // Of two parameters with one name, the first is kept.
      result.emplace(Object(std::string(param.name)), value->asObject());
    }
    return result;
  }

 private:
  static bool hasValueOfItsOwn(const tlmpb_EventParam& param) {
    return param.string_value != nullptr || param.int_value != nullptr ||
           param.double_value != nullptr || param.reserved_4 != nullptr;
  }

  void reportUnknownKind(const char* paramName) {
    monitor().logWithLevel(5, kCodeUnknownParameterKind,
                           "Unknown event parameter type from converting an event proto into "
                           "TLMEvent instance. Event param name",
                           Object(std::string(paramName)));
  }

  // Nil, reported, for a parameter whose only value is of no known kind.
  TLMValuePtr valueOfParam(const tlmpb_EventParam& param) {
    if (param.string_value != nullptr) return TLMValue::fromString(param.string_value);
    if (param.int_value != nullptr) return TLMValue::initWithInt64(*param.int_value);
    if (param.double_value != nullptr) return TLMValue::initWithDouble(*param.double_value);
    if (param.reserved_4 != nullptr) {
      reportUnknownKind(param.name);
      return nullptr;
    }
    // No value of its own: an array whose entries are the items. An entry
    // that carries a value is not an item and is left out.
    ObjectArray items;
    items.reserve(param.param_value_count);
    for (pb_size_t index = 0; index < param.param_value_count; ++index) {
      const tlmpb_EventParam& item = param.param_value[index];
      if (hasValueOfItsOwn(item)) {
        reportUnknownKind(param.name);
        continue;
      }
      items.push_back(Object::dictionary(decode(item.param_value, item.param_value_count)));
    }
    return TLMValue::fromArray(std::move(items));
  }

  const std::string eventDisplayName_;
};

}  // namespace

TLMPBEvent TLMEvent::protoEvent() const {
  TLMPBEvent proto;
  // An event holds far fewer parameters than the wire layer's 65535
  // entries, so setting cannot fail.
  (void)proto.set_params(paramsFromDictionary(parameters_));
  proto.set_name(name_);
  proto.set_timestamp_millis(tlm_millisecondsFromSeconds(timestamp_));
  if (previousTimestamp_ > kPreviousTimestampEpsilon) {
    proto.set_previous_timestamp_millis(tlm_millisecondsFromSeconds(previousTimestamp_));
  }
  return proto;
}

TLMEventPtr TLMEvent::initWithEventProto(const TLMPBEvent& proto,
                                         const std::optional<std::string>& name,
                                         std::optional<double> timestamp) {
  const tlmpb_Event& message = proto.rawMessage();
  const std::string eventName = name ? *name : tlm_protoString(message.name);
  const std::string displayName = TLMNames::debugDisplayEventName(eventName);

  // The first "_o" is the origin.
  std::optional<std::string> origin;
  for (pb_size_t index = 0; index < message.params_count; ++index) {
    const tlmpb_EventParam& param = message.params[index];
    if (param.name == nullptr || std::string_view(param.name) != kTLMEventParamOrigin) continue;
    if (param.string_value == nullptr) {
      monitor().logWithLevel(2, kCodeOriginNotString,
                             "Cannot create an event from event proto. Origin parameter is not a "
                             "string. Event name",
                             Object(displayName));
      return nullptr;
    }
    origin = param.string_value;
    break;
  }

  ObjectDictionary parameters =
      ParameterDecoder(displayName).decode(message.params, message.params_count);
  if (!origin) return nullptr;

  const double eventTimestamp = timestamp
                                    ? *timestamp
                                    : (message.timestamp_millis != nullptr
                                           ? tlm_secondsFromMilliseconds(*message.timestamp_millis)
                                           : 0.0);
  const double previousTimestamp =
      message.previous_timestamp_millis != nullptr
          ? tlm_secondsFromMilliseconds(*message.previous_timestamp_millis)
          : 0.0;
  // Not public, and without parameters: the origin, name and times are
  // checked as for any event, while the stored parameters were sanitised
  // when the event was logged and are kept as they are (sanitising again
  // could drop some, e.g. after the parameter limit was lowered).
  TLMEventPtr event = initWithOrigin(*origin, /*isPublic=*/false, eventName, eventTimestamp,
                                     previousTimestamp, ObjectDictionary());
  if (event == nullptr) return nullptr;
  event->parameters_ = std::move(parameters);
  return event;
}
