// String helpers shared by the library: code-point lengths, UTF-8
// decoding, and the URL-query escaping used for query strings and
// deep-link arguments. Pure functions, safe from any thread.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

#include "ferrolux/Object.h"

// Decodes the UTF-8 sequence at `*position` and moves past it. A byte that
// does not begin a well-formed sequence (stray continuation byte, overlong
// form, surrogate, value above U+10FFFF, cut-off sequence) gives nullopt
// and moves past that one byte only.
std::optional<char32_t> tlm_nextUTF8CodePoint(std::string_view text, std::size_t* position);

[[nodiscard]] bool tlm_isValidUTF8(std::string_view text);

// Length in code points, the unit of every length limit. Each byte that is
// not part of a well-formed sequence counts as one, so invalid input still
// has a length no larger than its byte count.
std::size_t tlm_UTF32Length(std::string_view text);

// The longest prefix of at most `maxLength` code points (counted as
// tlm_UTF32Length counts); never cuts a well-formed sequence in two.
std::string_view tlm_UTF32Prefix(std::string_view text, std::size_t maxLength);

// Percent-encodes every byte for which `keep` is false, as "%XX" with upper
// case hex digits.
std::string tlm_percentEncoded(std::string_view text, bool (*keep)(unsigned char byte));

// Percent-encodes every byte outside the URL-query character set, and also
// "&", "=", "+" and "#", so that a key or value survives the trip through
// tlm_dictionaryWithHttpArgumentsString unchanged. Hex digits are upper case.
std::string tlm_stringByEscapingForURLArgument(std::string_view text);

// "+" becomes a blank, then percent-escapes are decoded. Returns "" when an
// escape is malformed ("%4", "%zz") or the result is not valid UTF-8 ("%FF").
std::string tlm_stringByUnescapingFromURLArgument(std::string_view text);

// "key=value" pairs joined by "&", in the dictionary's order. Keys and
// values are converted with stringValue (strings are taken as they are,
// numbers as "1", "0.5", ...) and escaped with
// tlm_stringByEscapingForURLArgument.
std::string tlm_queryString(const ObjectDictionary& dictionary);

// The reverse of tlm_queryString, a dictionary of strings: pieces split at
// "&" (empty pieces skipped), each split at its first "=" (a piece without
// "=" is a key with the value ""), both parts unescaped with
// tlm_stringByUnescapingFromURLArgument. For a repeated key the first
// occurrence wins.
ObjectDictionary tlm_dictionaryWithHttpArgumentsString(std::string_view arguments);
