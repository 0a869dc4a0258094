// The library's error objects: domain, integer code, optional description
// and an optional monitor context that the diagnostics monitor appends to
// its sample when the error is reported as a context.
//
// Plain functions, safe from any thread.
#pragma once

#include <string>

#include "ferrolux/Object.h"

inline constexpr char kTLMErrorDomain[] = "com.tarvix.qvr.measurement.ErrorDomain";
// The user-info key under which an error carries its monitor context.
inline constexpr char kTLMMonitorContextKey[] = "TLMMonitorContext";

// An error in kTLMErrorDomain. An empty description or monitor context is
// left out.
Error tlm_errorWithCode(long code, const std::string& description,
                        const std::string& monitorContext);
Error tlm_errorWithCode(long code, const std::string& description);

// The monitor context of `error` when it is in the library's domain and
// its context is a non-empty string; "" otherwise.
std::string tlm_monitorContextOfError(const Error& error);

// Condition helpers. Each returns true when its condition holds;
// otherwise it stores a new error in `error` (when given) and returns
// false.
[[nodiscard]] bool tlm_checkCondition(bool condition, Error* error, long code,
                                      const std::string& description);
[[nodiscard]] bool tlm_checkCondition(bool condition, Error* error, long code,
                                      const std::string& description,
                                      const std::string& monitorContext);
// The condition is that `object` is present (not nil; the null kind counts
// as present).
[[nodiscard]] bool tlm_checkObject(const OptionalObject& object, Error* error, long code,
                                   const std::string& description);
[[nodiscard]] bool tlm_checkObject(const OptionalObject& object, Error* error, long code,
                                   const std::string& description,
                                   const std::string& monitorContext);
