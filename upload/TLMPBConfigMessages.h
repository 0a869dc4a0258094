// The configuration messages: the measurement configuration, its remote
// settings, per-event switches and audience definitions. Event and property
// filters are also stored one by one, each as its own serialization. Field
// by field in docs/configuration-wire-format.md.
//
// Accessors are those of TLMPBMessage. Fields named reserved_<tag> are not
// read by the library; they are kept so that they survive decoding and
// re-encoding.
#pragma once

#include "measurement_config.pb.h"
#include "upload/TLMPBMessage.h"
#include "upload/TLMPBProgramMessages.h"

// `match_type`: 0 unspecified (invalid), 1 regular expression, 2 begins
// with, 3 ends with, 4 contains, 5 exact, 6 in `expression_list`.
class TLMPBStringFilter : public TLMPBMessage<TLMPBStringFilter, tlmpb_StringFilter> {
  TLMPB_MESSAGE_CLASS(tlmpb_StringFilter, "StringFilter")
  TLMPB_SCALAR_FIELD(std::uint32_t, match_type)
  TLMPB_STRING_FIELD(expression)
  TLMPB_SCALAR_FIELD(bool, case_sensitive)
  TLMPB_REPEATED_STRING_FIELD(expression_list)
};

// `comparison_type`: 0 unspecified (invalid), 1 less than, 2 greater than,
// 3 equal, 4 between (both bounds inclusive). Numbers are decimal text.
class TLMPBNumberFilter : public TLMPBMessage<TLMPBNumberFilter, tlmpb_NumberFilter> {
  TLMPB_MESSAGE_CLASS(tlmpb_NumberFilter, "NumberFilter")
  TLMPB_SCALAR_FIELD(std::uint32_t, comparison_type)
  TLMPB_SCALAR_FIELD(bool, match_as_float)
  TLMPB_STRING_FIELD(comparison_value)
  TLMPB_STRING_FIELD(min_comparison_value)
  TLMPB_STRING_FIELD(max_comparison_value)
};

// Exactly one of `string_filter` and `number_filter` is expected.
class TLMPBFilter : public TLMPBMessage<TLMPBFilter, tlmpb_Filter> {
  TLMPB_MESSAGE_CLASS(tlmpb_Filter, "Filter")
  TLMPB_MESSAGE_FIELD(TLMPBStringFilter, string_filter)
  TLMPB_MESSAGE_FIELD(TLMPBNumberFilter, number_filter)
  TLMPB_SCALAR_FIELD(bool, complement)
  TLMPB_STRING_FIELD(param_name)
};

class TLMPBPropertyFilter : public TLMPBMessage<TLMPBPropertyFilter, tlmpb_PropertyFilter> {
  TLMPB_MESSAGE_CLASS(tlmpb_PropertyFilter, "PropertyFilter")
  TLMPB_SCALAR_FIELD(std::int32_t, filter_id)
  TLMPB_STRING_FIELD(property_name)
  TLMPB_MESSAGE_FIELD(TLMPBFilter, filter)
  TLMPB_SCALAR_FIELD(bool, dynamic)
  TLMPB_SCALAR_FIELD(bool, sequence)
  TLMPB_SCALAR_FIELD(bool, session_scoped)
};

class TLMPBEventFilter : public TLMPBMessage<TLMPBEventFilter, tlmpb_EventFilter> {
  TLMPB_MESSAGE_CLASS(tlmpb_EventFilter, "EventFilter")
  TLMPB_SCALAR_FIELD(std::int32_t, filter_id)
  TLMPB_STRING_FIELD(event_name)
  TLMPB_REPEATED_MESSAGE_FIELD(TLMPBFilter, filters)
  TLMPB_SCALAR_FIELD(bool, reserved_4)
  TLMPB_MESSAGE_FIELD(TLMPBNumberFilter, event_count_filter)
  TLMPB_SCALAR_FIELD(bool, dynamic)
  TLMPB_SCALAR_FIELD(bool, sequence)
  TLMPB_SCALAR_FIELD(bool, session_scoped)
};

class TLMPBAudience : public TLMPBMessage<TLMPBAudience, tlmpb_Audience> {
  TLMPB_MESSAGE_CLASS(tlmpb_Audience, "Audience")
  TLMPB_SCALAR_FIELD(std::int32_t, audience_id)
  TLMPB_REPEATED_MESSAGE_FIELD(TLMPBPropertyFilter, property_filters)
  TLMPB_REPEATED_MESSAGE_FIELD(TLMPBEventFilter, event_filters)
  TLMPB_SCALAR_FIELD(bool, reserved_4)
  TLMPB_SCALAR_FIELD(bool, reserved_5)
};

// Without `sampling_rate` the event is not sampled (not a rate of 0).
class TLMPBEventConfig : public TLMPBMessage<TLMPBEventConfig, tlmpb_EventConfig> {
  TLMPB_MESSAGE_CLASS(tlmpb_EventConfig, "EventConfig")
  TLMPB_STRING_FIELD(name)
  TLMPB_SCALAR_FIELD(bool, is_blocklisted)
  TLMPB_SCALAR_FIELD(bool, is_custom_conversion)
  TLMPB_SCALAR_FIELD(std::int32_t, sampling_rate)
};

// Values are text also for numeric and boolean flags.
class TLMPBSetting : public TLMPBMessage<TLMPBSetting, tlmpb_Setting> {
  TLMPB_MESSAGE_CLASS(tlmpb_Setting, "Setting")
  TLMPB_STRING_FIELD(name)
  TLMPB_STRING_FIELD(value)
};

class TLMPBMeasurementConfig
    : public TLMPBMessage<TLMPBMeasurementConfig, tlmpb_MeasurementConfig> {
  TLMPB_MESSAGE_CLASS(tlmpb_MeasurementConfig, "MeasurementConfig")
  TLMPB_SCALAR_FIELD(std::int64_t, version)
  TLMPB_STRING_FIELD(qvr_app_id)
  TLMPB_SCALAR_FIELD(std::int32_t, reserved_3)
  TLMPB_REPEATED_MESSAGE_FIELD(TLMPBSetting, settings)
  TLMPB_REPEATED_MESSAGE_FIELD(TLMPBEventConfig, event_config)
  TLMPB_REPEATED_MESSAGE_FIELD(TLMPBAudience, audiences)
  TLMPB_STRING_FIELD(velmora_app_id)
  TLMPB_SCALAR_FIELD(bool, reserved_8)
  TLMPB_REPEATED_MESSAGE_FIELD(TLMPBProgram, dynamic_event_editing)
};
