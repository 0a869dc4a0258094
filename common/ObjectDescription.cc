// Object::description and Object::stringValue: the text forms that go into
// log lines, diagnostics contexts and string parameters.
//
// Containers print as the platform prints them, with four blanks per level
// and nested containers starting at their own level's indentation:
//
//   (                      {
//       1,                     key =     {
//           (                      inner = "a b";
//           2                  };
//       )                  }
//   )
//
// Inside containers, null prints as <null> in quotes and strings are quoted
// unless they are made only of ASCII letters, digits and "_"; inside
// quotes, non-ASCII and control characters are written as "\Uxxxx" UTF-16
// units. Data prints as "{length = N, bytes = 0x0102...}" (the first and
// last eight bytes, joined by " ... ", beyond 24 bytes); dates as
// "2026-01-01 00:00:00 +0000".
#include <charconv>
#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <cstdlib>

#include "common/DataHelpers.h"
#include "common/ObjectPayload.h"
#include "common/StringHelpers.h"

namespace {

constexpr std::size_t kDataBytesShownInFull = 24;
constexpr std::size_t kDataBytesShownAtEachEnd = 8;
constexpr int kIndentWidth = 4;
// %g-style switch to exponent form, as the platform prints doubles.
constexpr int kFixedNotationMaxExponent = 17;
constexpr int kFixedNotationMinExponent = -4;

std::string indent(int level) {
  return std::string(static_cast<std::size_t>(level) * kIndentWidth, ' ');
}

std::string formatDouble(double value) {
  if (std::isnan(value)) return "nan";
  if (std::isinf(value)) return value < 0 ? "-inf" : "inf";
  // Shortest digits that round-trip, then laid out like %g.
  char buffer[64];
  auto result = std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::scientific);
  std::string_view text(buffer, static_cast<std::size_t>(result.ptr - buffer));
  std::string sign;
  if (!text.empty() && text.front() == '-') {
    sign = "-";
    text.remove_prefix(1);
  }
  const std::size_t e = text.find('e');
  std::string digits;
  for (char c : text.substr(0, e)) {
    if (c != '.') digits += c;
  }
  const int exponent = std::atoi(std::string(text.substr(e + 1)).c_str());
  if (exponent < kFixedNotationMinExponent || exponent >= kFixedNotationMaxExponent) {
    std::string out = sign + digits.substr(0, 1);
    if (digits.size() > 1) out += "." + digits.substr(1);
    char exponentText[16];
    std::snprintf(exponentText, sizeof exponentText, "e%c%02d", exponent < 0 ? '-' : '+',
                  std::abs(exponent));
    return out + exponentText;
  }
  if (exponent < 0) {
    return sign + "0." + std::string(static_cast<std::size_t>(-exponent - 1), '0') + digits;
  }
  const auto integerDigits = static_cast<std::size_t>(exponent) + 1;
  if (digits.size() <= integerDigits) {
    return sign + digits + std::string(integerDigits - digits.size(), '0');
  }
  return sign + digits.substr(0, integerDigits) + "." + digits.substr(integerDigits);
}

std::string describeData(const Bytes& data) {
  std::string text = "{length = " + std::to_string(data.size()) + ", bytes = 0x";
  if (data.size() <= kDataBytesShownInFull) {
    text += tlm_hexString(data);
  } else {
    text += tlm_hexString(Bytes(data.begin(), data.begin() + kDataBytesShownAtEachEnd));
    text += " ... ";
    text += tlm_hexString(Bytes(data.end() - kDataBytesShownAtEachEnd, data.end()));
  }
  return text + "}";
}

// Proleptic Gregorian date of a day count since 1970-01-01.
void civilFromDays(std::int64_t days, std::int64_t* year, int* month, int* day) {
  days += 719468;
  const std::int64_t era = (days >= 0 ? days : days - 146096) / 146097;
  const auto dayOfEra = static_cast<std::int64_t>(days - era * 146097);
  const std::int64_t yearOfEra =
      (dayOfEra - dayOfEra / 1460 + dayOfEra / 36524 - dayOfEra / 146096) / 365;
  const std::int64_t dayOfYear = dayOfEra - (365 * yearOfEra + yearOfEra / 4 - yearOfEra / 100);
  const std::int64_t monthIndex = (5 * dayOfYear + 2) / 153;
  *day = static_cast<int>(dayOfYear - (153 * monthIndex + 2) / 5 + 1);
  *month = static_cast<int>(monthIndex < 10 ? monthIndex + 3 : monthIndex - 9);
  *year = yearOfEra + era * 400 + (*month <= 2 ? 1 : 0);
}

std::string describeDate(double secondsSince1970) {
  // Beyond this the calendar arithmetic would overflow; such dates print as
  // their number of seconds.
  constexpr double kLargestDescribedSeconds = 1e15;
  if (!std::isfinite(secondsSince1970) || std::fabs(secondsSince1970) > kLargestDescribedSeconds) {
    return formatDouble(secondsSince1970);
  }
  const auto seconds = static_cast<std::int64_t>(std::floor(secondsSince1970));
  std::int64_t days = seconds / 86400;
  std::int64_t secondOfDay = seconds % 86400;
  if (secondOfDay < 0) {
    secondOfDay += 86400;
    --days;
  }
  std::int64_t year;
  int month;
  int day;
  civilFromDays(days, &year, &month, &day);
  char text[64];
  std::snprintf(text, sizeof text, "%04" PRId64 "-%02d-%02d %02d:%02d:%02d +0000", year, month, day,
                static_cast<int>(secondOfDay / 3600), static_cast<int>(secondOfDay / 60 % 60),
                static_cast<int>(secondOfDay % 60));
  return text;
}

bool needsQuotes(const std::string& text) {
  if (text.empty()) return true;
  for (char c : text) {
    const bool plain =
        (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_';
    if (!plain) return true;
  }
  return false;
}

void appendUTF16Escape(std::string& out, unsigned unit) {
  char escape[16];
  std::snprintf(escape, sizeof escape, "\\U%04x", unit);
  out += escape;
}

std::string quoted(const std::string& text) {
  std::string out = "\"";
  std::size_t position = 0;
  while (position < text.size()) {
    const std::optional<char32_t> codePoint = tlm_nextUTF8CodePoint(text, &position);
    const char32_t c = codePoint.value_or(0xFFFD);
    if (c == '"' || c == '\\') {
      out += '\\';
      out += static_cast<char>(c);
    } else if (c == '\n') {
      out += "\\n";
    } else if (c == '\t') {
      out += "\\t";
    } else if (c == '\r') {
      out += "\\r";
    } else if (c >= 0x20 && c < 0x7F) {
      out += static_cast<char>(c);
    } else if (c >= 0x10000) {
      appendUTF16Escape(out, 0xD800 + ((c - 0x10000) >> 10));
      appendUTF16Escape(out, 0xDC00 + ((c - 0x10000) & 0x3FF));
    } else {
      appendUTF16Escape(out, static_cast<unsigned>(c));
    }
  }
  return out + "\"";
}

std::string describe(const Object& object, int level);

// An element of a container at `level`: nested containers carry their own
// indentation, strings are quoted when needed.
std::string describeElement(const Object& object, int level) {
  if (object.isNull()) return "\"<null>\"";
  if (const std::string* text = object.asString()) {
    return needsQuotes(*text) ? quoted(*text) : *text;
  }
  return describe(object, level);
}

std::string describeList(const char* open, const char* close, const auto& items, int level) {
  std::string out = indent(level) + open + "\n";
  std::size_t remaining = items.size();
  for (const Object& item : items) {
    out += indent(level + 1) + describeElement(item, level + 1);
    out += --remaining > 0 ? ",\n" : "\n";
  }
  return out + indent(level) + close;
}

std::string describeDictionary(const ObjectDictionary& dictionary, int level) {
  std::string out = indent(level) + "{\n";
  for (const auto& [key, value] : dictionary) {
    out += indent(level + 1) + describeElement(key, level + 1) + " = " +
           describeElement(value, level + 1) + ";\n";
  }
  return out + indent(level) + "}";
}

std::string describeError(const Error& error) {
  return "Error Domain=" + error.domain + " Code=" + std::to_string(error.code) + " \"" +
         error.description.value_or("(null)") + "\"";
}

std::string describe(const Object& object, int level) {
  const Object::Payload* payload = ObjectInternals::payload(object);
  if (!payload) return "<null>";
  return std::visit(
      [&](const auto& value) -> std::string {
        using T = std::decay_t<decltype(value)>;
        if constexpr (std::is_same_v<T, std::monostate>) return "<null>";
        if constexpr (std::is_same_v<T, NumberPayload>) return object.stringValue();
        if constexpr (std::is_same_v<T, std::string>) return value;
        if constexpr (std::is_same_v<T, Bytes>) return describeData(value);
        if constexpr (std::is_same_v<T, DatePayload>) return describeDate(value.secondsSince1970);
        if constexpr (std::is_same_v<T, URLPayload>) return value.absoluteString;
        if constexpr (std::is_same_v<T, ObjectArray>) return describeList("(", ")", value, level);
        if constexpr (std::is_same_v<T, ObjectDictionary>) return describeDictionary(value, level);
        if constexpr (std::is_same_v<T, ObjectSet>) return describeList("{(", ")}", value, level);
        if constexpr (std::is_same_v<T, Error>) return describeError(value);
        if constexpr (std::is_same_v<T, OpaquePayload>) {
          if (!value.description.empty()) return value.description;
          char address[32];
          std::snprintf(address, sizeof address, ": 0x%" PRIx64 ">", value.sequenceNumber);
          return "<" + value.className + address;
        }
        if constexpr (std::is_same_v<T, std::shared_ptr<const LibraryObject>>) {
          return value->description();
        }
      },
      payload->value);
}

}  // namespace

std::string Object::stringValue() const {
  const Payload* payload = payload_.get();
  if (payload) {
    if (const auto* number = std::get_if<NumberPayload>(&payload->value)) {
      switch (number->kind) {
        case NumberKind::Boolean:
          return number->integer != 0 ? "1" : "0";
        case NumberKind::Integer:
          return std::to_string(number->integer);
        case NumberKind::Floating:
          return formatDouble(number->floating);
      }
    }
  }
  return description();
}

std::string Object::description() const { return describe(*this, 0); }
