#include "common/StringHelpers.h"

#include <cstdint>

namespace {

bool isContinuation(unsigned char byte) { return (byte & 0xC0) == 0x80; }

// The URL-query character set less the four characters that carry meaning
// inside a query ("&", "=", "+", "#"): unreserved characters, the
// remaining sub-delimiters, and ":@/?".
bool staysUnescaped(unsigned char c) {
  if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9')) return true;
  switch (c) {
    case '-':
    case '.':
    case '_':
    case '~':
    case '!':
    case '$':
    case '\'':
    case '(':
    case ')':
    case '*':
    case ',':
    case ';':
    case ':':
    case '@':
    case '/':
    case '?':
      return true;
    default:
      return false;
  }
}

int hexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

}  // namespace

std::optional<char32_t> tlm_nextUTF8CodePoint(std::string_view text, std::size_t* position) {
  const std::size_t start = *position;
  const auto lead = static_cast<unsigned char>(text[start]);
  *position = start + 1;
  if (lead < 0x80) return lead;
  std::size_t length;
  char32_t value;
  char32_t minimum;
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2, value = lead & 0x1F, minimum = 0x80;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3, value = lead & 0x0F, minimum = 0x800;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4, value = lead & 0x07, minimum = 0x10000;
  } else {
    return std::nullopt;  // continuation byte, C0/C1 overlong lead, or F5..FF
  }
  if (text.size() - start < length) return std::nullopt;
  for (std::size_t i = 1; i < length; ++i) {
    const auto byte = static_cast<unsigned char>(text[start + i]);
    if (!isContinuation(byte)) return std::nullopt;
    value = (value << 6) | (byte & 0x3F);
  }
  if (value < minimum || value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF)) {
    return std::nullopt;
  }
  *position = start + length;
  return value;
}

bool tlm_isValidUTF8(std::string_view text) {
  std::size_t position = 0;
  while (position < text.size()) {
    if (!tlm_nextUTF8CodePoint(text, &position)) return false;
  }
  return true;
}

std::size_t tlm_UTF32Length(std::string_view text) {
  std::size_t length = 0;
  std::size_t position = 0;
  while (position < text.size()) {
    (void)tlm_nextUTF8CodePoint(text, &position);
    ++length;
  }
  return length;
}

std::string_view tlm_UTF32Prefix(std::string_view text, std::size_t maxLength) {
  std::size_t position = 0;
  for (std::size_t count = 0; count < maxLength && position < text.size(); ++count) {
    (void)tlm_nextUTF8CodePoint(text, &position);
  }
  return text.substr(0, position);
}

std::string tlm_percentEncoded(std::string_view text, bool (*keep)(unsigned char byte)) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string escaped;
  escaped.reserve(text.size());
  for (char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (keep(byte)) {
      escaped += c;
    } else {
      escaped += '%';
      escaped += kHex[byte >> 4];
      escaped += kHex[byte & 0x0F];
    }
  }
  return escaped;
}

std::string tlm_stringByEscapingForURLArgument(std::string_view text) {
  return tlm_percentEncoded(text, staysUnescaped);
}

std::string tlm_stringByUnescapingFromURLArgument(std::string_view text) {
  std::string decoded;
  decoded.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (c == '+') {
      decoded += ' ';
    } else if (c == '%') {
      if (text.size() - i < 3) return "";
      const int high = hexValue(text[i + 1]);
      const int low = hexValue(text[i + 2]);
      if (high < 0 || low < 0) return "";
      decoded += static_cast<char>((high << 4) | low);
      i += 2;
    } else {
      decoded += c;
    }
  }
  if (!tlm_isValidUTF8(decoded)) return "";
  return decoded;
}

std::string tlm_queryString(const ObjectDictionary& dictionary) {
  std::string query;
  for (const auto& [key, value] : dictionary) {
    if (!query.empty()) query += '&';
    query += tlm_stringByEscapingForURLArgument(key.stringValue());
    query += '=';
    query += tlm_stringByEscapingForURLArgument(value.stringValue());
  }
  return query;
}

ObjectDictionary tlm_dictionaryWithHttpArgumentsString(std::string_view arguments) {
  ObjectDictionary dictionary;
  std::size_t start = 0;
  while (start <= arguments.size()) {
    std::size_t end = arguments.find('&', start);
    if (end == std::string_view::npos) end = arguments.size();
    const std::string_view piece = arguments.substr(start, end - start);
    start = end + 1;
    if (piece.empty()) continue;
    const std::size_t equals = piece.find('=');
    const std::string_view key = piece.substr(0, equals);
    const std::string_view value =
        equals == std::string_view::npos ? std::string_view() : piece.substr(equals + 1);
    // try_emplace keeps the first occurrence of a repeated key.
    dictionary.try_emplace(Object(tlm_stringByUnescapingFromURLArgument(key)),
                           Object(tlm_stringByUnescapingFromURLArgument(value)));
  }
  return dictionary;
}
