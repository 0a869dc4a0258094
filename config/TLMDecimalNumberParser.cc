#include "config/TLMDecimalNumberParser.h"

#include <unicode/unum.h>
#include <unicode/ustring.h>

#include <charconv>
#include <cmath>
#include <cstdint>
#include <string>
#include <system_error>
#include <vector>

namespace {

// The header keeps the formatter as a plain pointer so that it need not
// include ICU.
UNumberFormat* icuFormat(void* format) { return static_cast<UNumberFormat*>(format); }

// The formatter writes the parsed value as an ASCII decimal string: plain
// digits for whole values that fit 64 bits, otherwise with a fraction or an
// exponent ("0.5", "1E+21"), or "NaN" / "Infinity".
std::optional<Object> numberFromDecimalString(const std::string& decimal) {
  const char* begin = decimal.data();
  const char* end = begin + decimal.size();
  if (decimal.find_first_of(".Ee") == std::string::npos) {
    std::int64_t whole = 0;
    const auto [ptr, ec] = std::from_chars(begin, end, whole);
    if (ec == std::errc() && ptr == end) return Object::integer(whole);
  }
  double value = 0;
  const auto [ptr, ec] = std::from_chars(begin, end, value);
  if (ec != std::errc() || ptr != end || !std::isfinite(value)) return std::nullopt;
  // 2^63 is exact as a double; whole values below it in magnitude fit.
  constexpr double kTwoTo63 = 9223372036854775808.0;
  if (std::trunc(value) == value && value >= -kTwoTo63 && value < kTwoTo63) {
    return Object::integer(static_cast<std::int64_t>(value));
  }
  return Object::floating(value);
}

}  // namespace

TLMDecimalNumberParser::TLMDecimalNumberParser() {
  UErrorCode status = U_ZERO_ERROR;
  format_ = unum_open(UNUM_DECIMAL, nullptr, 0, "en_US_POSIX", nullptr, &status);
  if (U_FAILURE(status)) {
    if (format_ != nullptr) unum_close(icuFormat(format_));
    format_ = nullptr;
    return;
  }
  // Strict parsing: no skipped spaces or signs the pattern does not name.
  unum_setAttribute(icuFormat(format_), UNUM_LENIENT_PARSE, 0);
  // The service sends plain decimals; "1e3" is no number here.
  unum_setAttribute(icuFormat(format_), UNUM_PARSE_NO_EXPONENT, 1);
  // "1,000" is refused rather than read as 1 or 1000.
  unum_setAttribute(icuFormat(format_), UNUM_GROUPING_USED, 0);
}

TLMDecimalNumberParser::~TLMDecimalNumberParser() {
  if (format_ != nullptr) unum_close(icuFormat(format_));
}

std::optional<Object> TLMDecimalNumberParser::numberFromString(std::string_view text) const {
  if (text.empty() || format_ == nullptr) return std::nullopt;
  UErrorCode status = U_ZERO_ERROR;
  std::int32_t length = 0;
  u_strFromUTF8(nullptr, 0, &length, text.data(), static_cast<std::int32_t>(text.size()), &status);
  if (status != U_BUFFER_OVERFLOW_ERROR && U_FAILURE(status)) return std::nullopt;
  std::vector<UChar> utf16(static_cast<std::size_t>(length) + 1);
  status = U_ZERO_ERROR;
  u_strFromUTF8(utf16.data(), static_cast<std::int32_t>(utf16.size()), &length, text.data(),
                static_cast<std::int32_t>(text.size()), &status);
  if (U_FAILURE(status)) return std::nullopt;  // not valid UTF-8

  std::string decimal(64, '\0');
  std::int32_t written = 0;
  std::int32_t position = 0;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    for (int attempt = 0; attempt < 2; ++attempt) {
      status = U_ZERO_ERROR;
      position = 0;
      written =
          unum_parseDecimal(icuFormat(format_), utf16.data(), length, &position, decimal.data(),
                            static_cast<std::int32_t>(decimal.size()), &status);
      if (status != U_BUFFER_OVERFLOW_ERROR) break;
      decimal.assign(static_cast<std::size_t>(written) + 1, '\0');
    }
  }
  // A number followed by anything else ("12abc", "5 ") is no number.
  if (U_FAILURE(status) || position != length || written <= 0) return std::nullopt;
  decimal.resize(static_cast<std::size_t>(written));
  return numberFromDecimalString(decimal);
}
