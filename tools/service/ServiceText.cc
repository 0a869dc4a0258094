#include "tools/service/ServiceText.h"

#include <unicode/unistr.h>

#include <cstdio>
#include <cstring>

namespace {

// Whether `text` is well-formed UTF-8 (no overlong forms, surrogates or
// values beyond U+10FFFF); the common case skips the conversion.
bool isValidUTF8(std::string_view text) {
  const auto* bytes = reinterpret_cast<const unsigned char*>(text.data());
  std::size_t index = 0;
  while (index < text.size()) {
    const unsigned char lead = bytes[index];
    if (lead < 0x80) {
      ++index;
      continue;
    }
    std::size_t length = 0;
    unsigned char low = 0x80, high = 0xBF;
    if (lead >= 0xC2 && lead <= 0xDF) {
      length = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
      length = 3;
      if (lead == 0xE0) low = 0xA0;
      if (lead == 0xED) high = 0x9F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
      length = 4;
      if (lead == 0xF0) low = 0x90;
      if (lead == 0xF4) high = 0x8F;
    } else {
      return false;
    }
    if (index + length > text.size()) return false;
    if (bytes[index + 1] < low || bytes[index + 1] > high) return false;
    for (std::size_t k = 2; k < length; ++k) {
      if (bytes[index + k] < 0x80 || bytes[index + k] > 0xBF) return false;
    }
    index += length;
  }
  return true;
}

}  // namespace

std::string serviceValidUTF8(std::string_view text) {
  if (isValidUTF8(text)) return std::string(text);
  // ICU substitutes U+FFFD for each ill-formed sequence.
  std::string result;
  icu::UnicodeString::fromUTF8(icu::StringPiece(text.data(), static_cast<int32_t>(text.size())))
      .toUTF8String(result);
  return result;
}

std::string serviceEscapeHTML(std::string_view text) {
  std::string result;
  result.reserve(text.size());
  for (const char c : text) {
    switch (c) {
      case '&':
        result += "&amp;";
        break;
      case '<':
        result += "&lt;";
        break;
      case '>':
        result += "&gt;";
        break;
      case '"':
        result += "&quot;";
        break;
      case '\'':
        result += "&#39;";
        break;
      default:
        result += c;
    }
  }
  return result;
}

std::string serviceHTTPDate(std::time_t seconds) {
  static const char* const kDays[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
  static const char* const kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                        "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
  std::tm parts{};
  gmtime_r(&seconds, &parts);
  char buffer[64];
  std::snprintf(buffer, sizeof buffer, "%s, %02d %s %04d %02d:%02d:%02d GMT", kDays[parts.tm_wday],
                parts.tm_mday, kMonths[parts.tm_mon], parts.tm_year + 1900, parts.tm_hour,
                parts.tm_min, parts.tm_sec);
  return buffer;
}

std::optional<std::time_t> serviceParseHTTPDate(std::string_view text) {
  // strptime needs a NUL-terminated string; a date is short.
  if (text.size() > 64) return std::nullopt;
  const std::string copy(text);
  std::tm parts{};
  const char* end = strptime(copy.c_str(), "%a, %d %b %Y %H:%M:%S GMT", &parts);
  if (end == nullptr || *end != '\0') return std::nullopt;
  return timegm(&parts);
}

std::string serviceDisplayTime(std::int64_t millis) {
  std::int64_t seconds = millis / 1000;
  std::int64_t rest = millis % 1000;
  if (rest < 0) {
    rest += 1000;
    --seconds;
  }
  const std::time_t whole = static_cast<std::time_t>(seconds);
  std::tm parts{};
  if (gmtime_r(&whole, &parts) == nullptr) return std::to_string(millis) + " ms";
  char buffer[80];
  std::snprintf(buffer, sizeof buffer, "%04d-%02d-%02d %02d:%02d:%02d.%03d UTC",
                parts.tm_year + 1900, parts.tm_mon + 1, parts.tm_mday, parts.tm_hour, parts.tm_min,
                parts.tm_sec, static_cast<int>(rest));
  return buffer;
}

std::string serviceTerminalSafe(std::string_view text) {
  std::string result;
  result.reserve(text.size());
  char escape[16];
  for (std::size_t index = 0; index < text.size(); ++index) {
    const auto byte = static_cast<unsigned char>(text[index]);
    if (byte < 0x20 || byte == 0x7F) {
      std::snprintf(escape, sizeof escape, "\\x%02x", byte);
      result += escape;
    } else if (byte == 0xC2 && index + 1 < text.size() &&
               static_cast<unsigned char>(text[index + 1]) >= 0x80 &&
               static_cast<unsigned char>(text[index + 1]) <= 0x9F) {
      std::snprintf(escape, sizeof escape, "\\u%04x", static_cast<unsigned char>(text[++index]));
      result += escape;
    } else {
      result += static_cast<char>(byte);
    }
  }
  return result;
}
