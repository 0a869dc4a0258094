// The event-editing program messages, carried by the measurement
// configuration's `dynamic_event_editing` field. The runtime only reads
// them. Field by field in docs/program-messages.md.
//
// Accessors are those of TLMPBMessage.
#pragma once

#include "runtime_program.pb.h"
#include "upload/TLMPBMessage.h"

// A node of a program: `type` 1 a string literal, 2 a number, 3 a boolean,
// 4 a statement named `function_name` whose arguments are the `value`
// entries.
class TLMPBRuntimeEntity : public TLMPBMessage<TLMPBRuntimeEntity, tlmpb_RuntimeEntity> {
  TLMPB_MESSAGE_CLASS(tlmpb_RuntimeEntity, "RuntimeEntity")
  TLMPB_SCALAR_FIELD(std::uint32_t, type)
  TLMPB_REPEATED_MESSAGE_FIELD(TLMPBRuntimeEntity, value)
  TLMPB_STRING_FIELD(function_name)
  TLMPB_STRING_FIELD(string_value)
  TLMPB_SCALAR_FIELD(bool, boolean_value)
  TLMPB_SCALAR_FIELD(double, number_value)
};

// One rule family: the function `name` receives each rule of `data`.
class TLMPBPqtActivity : public TLMPBMessage<TLMPBPqtActivity, tlmpb_PqtActivity> {
  TLMPB_MESSAGE_CLASS(tlmpb_PqtActivity, "PqtActivity")
  TLMPB_STRING_FIELD(name)
  TLMPB_REPEATED_MESSAGE_FIELD(TLMPBRuntimeEntity, data)
};

class TLMPBPqtActivities : public TLMPBMessage<TLMPBPqtActivities, tlmpb_PqtActivities> {
  TLMPB_MESSAGE_CLASS(tlmpb_PqtActivities, "PqtActivities")
  TLMPB_REPEATED_MESSAGE_FIELD(TLMPBPqtActivity, activities)
};

class TLMPBProgram : public TLMPBMessage<TLMPBProgram, tlmpb_Program> {
  TLMPB_MESSAGE_CLASS(tlmpb_Program, "Program")
  TLMPB_REPEATED_MESSAGE_FIELD(TLMPBRuntimeEntity, instructions)
  TLMPB_MESSAGE_FIELD(TLMPBPqtActivities, pqt_activities)
};
