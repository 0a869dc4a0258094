#include "engine/TLMCharacterClasses.h"

#include <unicode/uchar.h>

#include "common/StringHelpers.h"

namespace {

constexpr char kReplacementCharacter[] = "\xEF\xBF\xBD";  // U+FFFD in UTF-8

bool isLetterType(char32_t codePoint) {
  return (U_GET_GC_MASK(static_cast<UChar32>(codePoint)) & U_GC_L_MASK) != 0;
}

}  // namespace

bool tlm_isNameLetter(char32_t codePoint) { return isLetterType(codePoint); }

bool tlm_isNameCharacter(char32_t codePoint) {
  if (codePoint == U'_') return true;
  const auto mask = U_GET_GC_MASK(static_cast<UChar32>(codePoint));
  return (mask & (U_GC_L_MASK | U_GC_ND_MASK)) != 0;
}

std::optional<std::size_t> tlm_firstForbiddenNameCharacter(std::string_view text) {
  std::size_t position = 0;
  while (position < text.size()) {
    const std::size_t start = position;
    const std::optional<char32_t> codePoint = tlm_nextUTF8CodePoint(text, &position);
    if (!codePoint || !tlm_isNameCharacter(*codePoint)) return start;
  }
  return std::nullopt;
}

bool tlm_startsWithLetter(std::string_view text) {
  if (text.empty()) return false;
  std::size_t position = 0;
  const std::optional<char32_t> codePoint = tlm_nextUTF8CodePoint(text, &position);
  return codePoint && tlm_isNameLetter(*codePoint);
}

bool tlm_isAllLetters(std::string_view text) {
  std::size_t position = 0;
  while (position < text.size()) {
    const std::optional<char32_t> codePoint = tlm_nextUTF8CodePoint(text, &position);
    if (!codePoint || !tlm_isNameLetter(*codePoint)) return false;
  }
  return true;
}

std::size_t tlm_UTF16Length(std::string_view text) {
  std::size_t units = 0;
  std::size_t position = 0;
  while (position < text.size()) {
    const std::optional<char32_t> codePoint = tlm_nextUTF8CodePoint(text, &position);
    units += (codePoint && *codePoint > 0xFFFF) ? 2 : 1;
  }
  return units;
}

std::string tlm_repairedUTF8(std::string_view text) {
  if (tlm_isValidUTF8(text)) return std::string(text);
  std::string repaired;
  repaired.reserve(text.size() + 8);
  std::size_t position = 0;
  while (position < text.size()) {
    const std::size_t start = position;
    if (tlm_nextUTF8CodePoint(text, &position)) {
      repaired.append(text.substr(start, position - start));
    } else {
      repaired.append(kReplacementCharacter);
    }
  }
  return repaired;
}
