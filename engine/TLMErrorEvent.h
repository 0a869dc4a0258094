// The error event: a separate internal event "_err" (origin "auto") that
// reports a call the library rejected, sent through TLMErrorEventSeam.
//
// Plain functions, safe from any thread.
#pragma once

#include <cstddef>
#include <cstdint>

#include "ferrolux/Object.h"

inline constexpr char kTLMErrorEventName[] = "_err";
inline constexpr char kTLMErrorEventOrigin[] = "auto";

// Logs "_err" with "_err" = `code`, "_ev" = `name` trimmed to `maxLength`
// code points, and "_el" = the length of `value` when the code is 4 or 7 or
// `value` is longer than `maxLength` (and has a length: a string or an
// array). Code 0 logs nothing.
void tlm_logErrorEvent(std::int64_t code, const OptionalObject& name, std::size_t maxLength,
                       const OptionalObject& value);

// Logs "_err" with only "_err" = `code`. Code 0 logs nothing.
void tlm_logErrorEventWithCode(std::int64_t code);
