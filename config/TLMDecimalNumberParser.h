// Parses the measurement service's setting strings as decimal numbers.
//
// This is ICU's decimal number formatter (what the platform's number
// formatter is built on) in the fixed "en_US_POSIX" locale, so the device's
// language never changes what a setting means. Two checks make it strict
// where the formatter alone is not: the whole text must be consumed (ICU
// reads "12abc" as 12 and stops), and NaN and infinity, which ICU reads,
// are refused because no bound can be checked against them. So "5",
// "-900", "5.0", "5.", ".5" and "0005" are numbers; leading or trailing
// spaces, a plus sign, exponents ("1e3"), grouping separators ("1,000") and
// hexadecimal are not. As the formatter does, it reads digits of any script
// ("５" is 5).
//
// Safe from any thread: calls into the formatter are serialised; each
// setting is parsed once per configuration, so the lock is rarely
// contended.
#pragma once

#include <mutex>
#include <optional>
#include <string_view>

#include "ferrolux/Object.h"

class TLMDecimalNumberParser {
 public:
  TLMDecimalNumberParser();
  ~TLMDecimalNumberParser();
  TLMDecimalNumberParser(const TLMDecimalNumberParser&) = delete;
  TLMDecimalNumberParser& operator=(const TLMDecimalNumberParser&) = delete;

  // An integer number when the value is whole and fits 64 bits ("5.0" gives
  // 5, "-0" gives 0), else a floating number; nothing when `text` (UTF-8) is
  // not a decimal number.
  [[nodiscard]] std::optional<Object> numberFromString(std::string_view text) const;

 private:
  mutable std::mutex mutex_;
  // ICU's UNumberFormat*; null when ICU could not make one.
  void* format_ = nullptr;
};
