// The parameter routines built on the validator: sanitisation, which
// turns a caller's parameter dictionary into a clean dictionary of TLMValue
// objects with the first problem recorded in error markers; and the
// value/currency check of revenue events.
//
// Plain functions, safe from any thread on dictionaries the caller owns.
// Problems are reported through the monitor.
#pragma once

#include <optional>
#include <string_view>

#include "ferrolux/Object.h"

class TLMRemoteConfig;

// Sanitises `parameters` (raw caller objects or TLMValues) for an event
// named `eventName` (nullopt for parameters that belong to no event, such
// as default event parameters). Returns nullopt for an empty dictionary;
// otherwise a dictionary of name -> TLMValue object in which:
// - bad names and values are dropped and the first problem is recorded in
//   "_err"/"_ev"/"_el";
// - an array is kept only as "items" of an ecommerce event, cut to 200
//   items, each item sanitised with `isItem` set;
// - in an item, custom parameters are removed ("_err" = 23); otherwise
//   public parameters beyond `maxPublicEventParams` of `config` are removed
//   from the greatest name down ("_err" = 5).
std::optional<ObjectDictionary> tlm_sanitizedParameters(const ObjectDictionary& parameters,
                                                        std::optional<std::string_view> eventName,
                                                        bool isPublicEvent, bool isItem,
                                                        const TLMRemoteConfig& config);
// The same with the engine's flags (TLMMeasurement::remoteConfig()).
std::optional<ObjectDictionary> tlm_sanitizedParameters(const ObjectDictionary& parameters,
                                                        std::optional<std::string_view> eventName,
                                                        bool isPublicEvent, bool isItem = false);

// The value/currency check on sanitised parameters. Without "value", or
// with a numeric "value" and a valid "currency", answers true. Otherwise
// removes "value", records "_err" = 18 ("_ev" = "value") or 19 ("_ev" =
// "currency") and answers false.
bool tlm_checkValueAndCurrency(ObjectDictionary& parameters);

// Whether `name` counts as public: a non-empty string whose first character
// is not "_". A non-string (or nil) and an empty string are reported and
// count as not public.
bool tlm_isPublicName(const OptionalObject& name);
