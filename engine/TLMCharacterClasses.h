// The character classes of name validation, over ICU's Unicode properties.
//
// Letters are the general categories L* (upper, lower, title, modifier and
// other letters); combining marks (M*) are not letters even though the
// platform's letter set used to include them. Name characters are letters,
// decimal digits (Nd) and "_". Pure functions, safe from any thread.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

[[nodiscard]] bool tlm_isNameLetter(char32_t codePoint);
[[nodiscard]] bool tlm_isNameCharacter(char32_t codePoint);

// The byte offset of the first character that is not a name character, or
// nullopt when every character is one. A byte that does not begin a
// well-formed UTF-8 sequence is a forbidden character.
std::optional<std::size_t> tlm_firstForbiddenNameCharacter(std::string_view text);

// Whether the first code point is a letter; false for "" and for text that
// does not start with a well-formed UTF-8 sequence.
[[nodiscard]] bool tlm_startsWithLetter(std::string_view text);

// Whether `text` consists of letters only.
[[nodiscard]] bool tlm_isAllLetters(std::string_view text);

// Length in UTF-16 code units; a byte that is not part of a well-formed
// UTF-8 sequence counts as one unit.
std::size_t tlm_UTF16Length(std::string_view text);

// `text` with every byte that is not part of a well-formed UTF-8 sequence
// replaced by U+FFFD, so that each still counts as one code point.
std::string tlm_repairedUTF8(std::string_view text);
