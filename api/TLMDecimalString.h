// The decimal-string check of the interop event path: an optional sign,
// then digits with an optional trailing point, or digits after a point.
// Safe from any thread.
#pragma once

#include <cstdint>
#include <string>

// Whether the whole of `text` is a decimal number; an empty string is not.
[[nodiscard]] bool tlm_isDecimalString(const std::string& text);
// The integer part of a decimal string, clamped to the 64-bit range
// ("+12.9" gives 12, ".5" gives 0).
std::int64_t tlm_decimalStringInt64Value(const std::string& text);
