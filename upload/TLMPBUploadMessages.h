// The upload messages: the measurement batch, its bundles and what they
// carry. The bundle is also the storage format of the upload queue and of
// raw-event metadata, and the event that of raw events. Field by field in
// docs/upload-wire-format.md.
//
// Accessors are those of TLMPBMessage. Fields named reserved_<tag> and
// field_<tag> are never written by the library; they are kept so that they
// survive decoding and re-encoding.
#pragma once

#include "measurement_upload.pb.h"
#include "upload/TLMPBMessage.h"

class TLMPBAddress : public TLMPBMessage<TLMPBAddress, tlmpb_Address> {
  TLMPB_MESSAGE_CLASS(tlmpb_Address, "Address")
  TLMPB_STRING_FIELD(field_1)
  TLMPB_STRING_FIELD(field_2)
  TLMPB_STRING_FIELD(field_3)
  TLMPB_STRING_FIELD(field_4)
  TLMPB_STRING_FIELD(field_5)
  TLMPB_STRING_FIELD(field_6)
  TLMPB_STRING_FIELD(field_7)
};

class TLMPBHashedUserData : public TLMPBMessage<TLMPBHashedUserData, tlmpb_HashedUserData> {
  TLMPB_MESSAGE_CLASS(tlmpb_HashedUserData, "HashedUserData")
  TLMPB_STRING_FIELD(field_1)
  TLMPB_STRING_FIELD(field_2)
  TLMPB_MESSAGE_FIELD(TLMPBAddress, address)
};

// Times in whole seconds since 1970.
class TLMPBDynamicFilterResultTimestamp
    : public TLMPBMessage<TLMPBDynamicFilterResultTimestamp, tlmpb_DynamicFilterResultTimestamp> {
  TLMPB_MESSAGE_CLASS(tlmpb_DynamicFilterResultTimestamp, "DynamicFilterResultTimestamp")
  TLMPB_SCALAR_FIELD(std::int32_t, filter_id)
  TLMPB_SCALAR_FIELD(std::int64_t, timestamp_seconds)
};

// Times in whole seconds since 1970.
class TLMPBSequenceFilterResultTimestamp
    : public TLMPBMessage<TLMPBSequenceFilterResultTimestamp, tlmpb_SequenceFilterResultTimestamp> {
  TLMPB_MESSAGE_CLASS(tlmpb_SequenceFilterResultTimestamp, "SequenceFilterResultTimestamp")
  TLMPB_SCALAR_FIELD(std::int32_t, filter_id)
  TLMPB_REPEATED_SCALAR_FIELD(std::int64_t, eval_timestamps)
};

// Bit sets of 64 filters per word: which filters were evaluated (`status`)
// and which evaluated true (`results`).
class TLMPBResultData : public TLMPBMessage<TLMPBResultData, tlmpb_ResultData> {
  TLMPB_MESSAGE_CLASS(tlmpb_ResultData, "ResultData")
  TLMPB_REPEATED_SCALAR_FIELD(std::uint64_t, status)
  TLMPB_REPEATED_SCALAR_FIELD(std::uint64_t, results)
  TLMPB_REPEATED_MESSAGE_FIELD(TLMPBDynamicFilterResultTimestamp, dynamic_filter_timestamps)
  TLMPB_REPEATED_MESSAGE_FIELD(TLMPBSequenceFilterResultTimestamp, sequence_filter_timestamps)
};

class TLMPBAudienceLeafFilterResult
    : public TLMPBMessage<TLMPBAudienceLeafFilterResult, tlmpb_AudienceLeafFilterResult> {
  TLMPB_MESSAGE_CLASS(tlmpb_AudienceLeafFilterResult, "AudienceLeafFilterResult")
  TLMPB_SCALAR_FIELD(std::int32_t, audience_id)
  TLMPB_MESSAGE_FIELD(TLMPBResultData, current_data)
  TLMPB_MESSAGE_FIELD(TLMPBResultData, previous_data)
  TLMPB_SCALAR_FIELD(bool, new_audience)
};

// Exactly one value field is set.
class TLMPBUserAttribute : public TLMPBMessage<TLMPBUserAttribute, tlmpb_UserAttribute> {
  TLMPB_MESSAGE_CLASS(tlmpb_UserAttribute, "UserAttribute")
  TLMPB_SCALAR_FIELD(std::int64_t, set_timestamp_millis)
  TLMPB_STRING_FIELD(name)
  TLMPB_STRING_FIELD(string_value)
  TLMPB_SCALAR_FIELD(std::int64_t, int_value)
  TLMPB_SCALAR_FIELD(float, reserved_5)
  TLMPB_SCALAR_FIELD(double, double_value)
};

// Exactly one value field is set. An array value is a parameter without a
// value of its own whose `param_value` entries are the items, each a
// parameter whose `param_value` entries are the item's parameters.
class TLMPBEventParam : public TLMPBMessage<TLMPBEventParam, tlmpb_EventParam> {
  TLMPB_MESSAGE_CLASS(tlmpb_EventParam, "EventParam")
  TLMPB_STRING_FIELD(name)
  TLMPB_STRING_FIELD(string_value)
  TLMPB_SCALAR_FIELD(std::int64_t, int_value)
  TLMPB_SCALAR_FIELD(float, reserved_4)
  TLMPB_SCALAR_FIELD(double, double_value)
  TLMPB_REPEATED_MESSAGE_FIELD(TLMPBEventParam, param_value)
};

// Times in milliseconds since 1970.
class TLMPBEvent : public TLMPBMessage<TLMPBEvent, tlmpb_Event> {
  TLMPB_MESSAGE_CLASS(tlmpb_Event, "Event")
  TLMPB_REPEATED_MESSAGE_FIELD(TLMPBEventParam, params)
  TLMPB_STRING_FIELD(name)
  TLMPB_SCALAR_FIELD(std::int64_t, timestamp_millis)
  TLMPB_SCALAR_FIELD(std::int64_t, previous_timestamp_millis)
  TLMPB_SCALAR_FIELD(std::int32_t, reserved_5)
};

// Times in milliseconds since 1970.
class TLMPBMeasurementBundle
    : public TLMPBMessage<TLMPBMeasurementBundle, tlmpb_MeasurementBundle> {
  TLMPB_MESSAGE_CLASS(tlmpb_MeasurementBundle, "MeasurementBundle")
  TLMPB_SCALAR_FIELD(std::int32_t, protocol_version)
  TLMPB_REPEATED_MESSAGE_FIELD(TLMPBEvent, events)
  TLMPB_REPEATED_MESSAGE_FIELD(TLMPBUserAttribute, user_attributes)
  TLMPB_SCALAR_FIELD(std::int64_t, upload_timestamp_millis)
  TLMPB_SCALAR_FIELD(std::int64_t, start_timestamp_millis)
  TLMPB_SCALAR_FIELD(std::int64_t, end_timestamp_millis)
  TLMPB_SCALAR_FIELD(std::int64_t, previous_bundle_end_timestamp_millis)
  TLMPB_STRING_FIELD(platform)
  TLMPB_STRING_FIELD(os_version)
  TLMPB_STRING_FIELD(device_model)
  TLMPB_STRING_FIELD(user_default_language)
  TLMPB_SCALAR_FIELD(std::int32_t, time_zone_offset_minutes)
  TLMPB_STRING_FIELD(app_store)
  TLMPB_STRING_FIELD(app_id)
  TLMPB_SCALAR_FIELD(std::int64_t, reserved_15)
  TLMPB_STRING_FIELD(app_version)
  TLMPB_SCALAR_FIELD(std::int64_t, library_version)
  TLMPB_SCALAR_FIELD(std::int64_t, uploading_library_version)
  TLMPB_STRING_FIELD(resettable_device_id)
  TLMPB_SCALAR_FIELD(bool, limited_ad_tracking)
  TLMPB_STRING_FIELD(app_instance_id)
  TLMPB_SCALAR_FIELD(std::int64_t, reserved_22)
  TLMPB_SCALAR_FIELD(std::int32_t, bundle_index)
  TLMPB_STRING_FIELD(monitoring_sample)
  TLMPB_STRING_FIELD(qvr_app_id)
  TLMPB_SCALAR_FIELD(std::int64_t, previous_bundle_start_timestamp_millis)
  TLMPB_STRING_FIELD(vendor_device_id)
  TLMPB_SCALAR_FIELD(bool, reserved_28)
  TLMPB_REPEATED_MESSAGE_FIELD(TLMPBAudienceLeafFilterResult, audience_evaluation_results)
  TLMPB_STRING_FIELD(installation_id)
  TLMPB_SCALAR_FIELD(std::int32_t, app_version_major)
  TLMPB_SCALAR_FIELD(std::int32_t, app_version_minor)
  TLMPB_SCALAR_FIELD(std::int32_t, app_version_release)
  TLMPB_STRING_FIELD(reserved_34)
  TLMPB_SCALAR_FIELD(std::int64_t, config_version)
  TLMPB_SCALAR_FIELD(std::int32_t, retry_count)
  TLMPB_STRING_FIELD(velmora_app_id)
  TLMPB_REPEATED_SCALAR_FIELD(std::int64_t, experiment_ids)
  TLMPB_SCALAR_FIELD(std::int64_t, bundle_checksum)
  TLMPB_STRING_FIELD(reserved_50)
  TLMPB_STRING_FIELD(consent_signals)
  TLMPB_SCALAR_FIELD(std::uint32_t, att_status)
  TLMPB_SCALAR_FIELD(bool, reserved_55)
  TLMPB_STRING_FIELD(reserved_57)
  TLMPB_SCALAR_FIELD(bool, reserved_58)
  TLMPB_MESSAGE_FIELD(TLMPBHashedUserData, hashed_user_data)
};

class TLMPBMeasurementBatch : public TLMPBMessage<TLMPBMeasurementBatch, tlmpb_MeasurementBatch> {
  TLMPB_MESSAGE_CLASS(tlmpb_MeasurementBatch, "MeasurementBatch")
  TLMPB_REPEATED_MESSAGE_FIELD(TLMPBMeasurementBundle, bundles)
};
