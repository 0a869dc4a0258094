// One event: origin, name, times and a dictionary of parameters whose
// values are TLMValue objects, including the library's own markers.
//
// Created on any queue; once handed to the engine it is read and changed
// only on the worker queue. Not thread-safe: events are held by
// shared_ptr and never changed from two threads at once.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "engine/TLMValue.h"
#include "ferrolux/Object.h"

// Marker and well-known parameter names.
inline constexpr char kTLMEventParamOrigin[] = "_o";
inline constexpr char kTLMEventParamConversion[] = "_c";
inline constexpr char kTLMEventParamRealtime[] = "_r";
inline constexpr char kTLMEventParamDebug[] = "_dbg";
inline constexpr char kTLMEventParamError[] = "_err";
inline constexpr char kTLMEventParamErrorValue[] = "_ev";
inline constexpr char kTLMEventParamErrorLength[] = "_el";
inline constexpr char kTLMEventParamScreenName[] = "_sn";
inline constexpr char kTLMEventParamScreenClass[] = "_sc";
inline constexpr char kTLMEventParamScreenID[] = "_si";
// The "_err" code that a refused conversion leaves behind
// (ConversionEventLimitReached).
inline constexpr std::int64_t kTLMEventConversionErrorCode = 10;

class TLMEvent;
using TLMEventPtr = std::shared_ptr<TLMEvent>;
// upload/TLMPBUploadMessages.h
class TLMPBEvent;

// The event as the event-editing runtime sees it: what its event object is
// built from and what comes back from it. Parameters are plain objects
// (numbers, strings, arrays of dictionaries).
struct TLMEditEventFields {
  std::string name;
  double timestamp = 0;
  ObjectDictionary parameters;
};

class TLMEvent final : public LibraryObject {
 public:
  // The designated initialiser. Nil, without a message of its own, when
  // the origin is neither a valid forwarded-event origin nor a valid
  // internal-event origin, when a public event's name is not a valid
  // public event name, or when the name is not a valid internal event name
  // (the validator reports why). Also nil, with a report (code 16005),
  // when either time is NaN or infinite: such times have no millisecond
  // form. `parameters` (raw caller objects or TLMValues) are sanitised;
  // "_o" is set to the origin.
  static TLMEventPtr initWithOrigin(const std::string& origin, bool isPublic,
                                    const std::string& name, double timestamp,
                                    double previousTimestamp, const ObjectDictionary& parameters);

  const std::string& origin() const { return origin_; }
  const std::string& name() const { return name_; }
  double timestamp() const { return timestamp_; }
  double previousTimestamp() const { return previousTimestamp_; }

  // Name -> TLMValue object. String keys only.
  const ObjectDictionary& parameters() const { return parameters_; }
  ObjectDictionary& parameters() { return parameters_; }
  // Typed access to `parameters`: nil when absent or not a TLMValue.
  TLMValuePtr parameterValue(std::string_view name) const;
  // A nil value removes the parameter.
  void setParameterValue(const std::string& name, TLMValuePtr value);
  void removeParameter(std::string_view name);
  bool hasParameter(std::string_view name) const;

  // Markers: true only for an integer value equal to 1.
  bool conversion() const;
  // A non-integer "_r" is reported (code 16006) and reads false.
  bool realtime() const;
  bool debug() const;
  // YES sets "_c" only when the value/currency check passes, and clears an
  // "_err" of 10. NO removes a present "_c" and records "_err" = 10 unless
  // an "_err" is already there.
  void setConversion(bool conversion);
  void setRealtime(bool realtime);
  void setDebug(bool debug);

  // True for a conversion and for "ad_impression" / "_ai".
  bool shouldValidateParams() const;

  // Default parameters: sanitised as public parameters without an event
  // name, then overlaid by the event's own parameters (the event's win).
  void applyParameters(const ObjectDictionary& parameters);

  // Adds "_si" (and "_sc", "_sn" when given) from `screenParameters`.
  // Returns false, adding nothing, when the dictionary is empty, the event
  // already has any screen parameter, "_si" is missing or not a number, or
  // a screen name or class is not a valid screen parameter value.
  bool addScreenParameters(const ObjectDictionary& screenParameters);

  // Copies are never public events. Nil only when the copy would not be a
  // valid event.
  TLMEventPtr copy() const;
  TLMEventPtr copyWithParameters(const ObjectDictionary& parameters) const;
  TLMEventPtr copyWithPreviousTimestamp(double previousTimestamp) const;

  // The event for the event-editing runtime: the long name when the name is
  // a short name of the table; parameters as plain objects (numbers,
  // strings, arrays of converted dictionaries; arrays inside array items
  // are left out).
  TLMEditEventFields editEvent() const;
  // The reverse: long names of the table become short names; the origin is
  // the "_o" parameter when it is a string, else "app"; previous time 0;
  // not public.
  static TLMEventPtr eventFromEditEvent(const TLMEditEventFields& editEvent);

  // The upload and storage message (engine/TLMEventProto.cc): the name,
  // both times in milliseconds (the previous time only when greater than
  // the double epsilon) and the parameters in the dictionary's order. An
  // array value becomes a parameter without a value of its own whose
  // `param_value` entries are the items, each an unnamed parameter whose
  // `param_value` entries are the item's parameters.
  TLMPBEvent protoEvent() const;
  // The reverse, for events read back from storage. Times are divided by
  // 1000; parameters become string, integer, double or array values (an
  // array of parameter dictionaries, as TLMValue holds it); "_o" is the
  // origin. A parameter without a name is skipped (code 15000), one of no
  // known kind too (code 15002); a non-string "_o" fails the decode (code
  // 15001). Nil also when "_o" is missing or the origin or name is not
  // valid.
  //
  // Stored messages have their name cleared and the row keeps name and
  // time: `name` and `timestamp`, when given, replace the message's
  // fields (absent fields give "" and 0, and an empty name fails). The event
  // is not public: it was checked as one when it was logged, and parameters
  // are taken as stored, without sanitising them again.
  static TLMEventPtr initWithEventProto(const TLMPBEvent& proto,
                                        const std::optional<std::string>& name = std::nullopt,
                                        std::optional<double> timestamp = std::nullopt);

  // LibraryObject: identity equality.
  std::string className() const override { return "TLMEvent"; }
  std::string description() const override;

  // Use initWithOrigin; public only for std::make_shared.
  struct Token {
    explicit Token() = default;
  };
  TLMEvent(Token, std::string origin, std::string name, double timestamp, double previousTimestamp);

 private:
  bool markerIsSet(std::string_view name) const;
  void setMarker(const std::string& name, bool set);

  ObjectDictionary parameters_;
  std::string origin_;
  std::string name_;
  double timestamp_;
  double previousTimestamp_;
};
