// Text helpers of the service: making posted strings safe to keep and to
// show, and the date formats it speaks. Pure functions, safe from any thread.
#pragma once

#include <cstdint>
#include <ctime>
#include <optional>
#include <string>
#include <string_view>

// `text` with every ill-formed UTF-8 sequence replaced by U+FFFD, so that
// posted bytes can go into JSON and HTML.
std::string serviceValidUTF8(std::string_view text);

// `text` with &, <, >, " and ' written as character references: safe inside
// HTML text and quoted attribute values.
std::string serviceEscapeHTML(std::string_view text);

// An HTTP date ("Sun, 06 Nov 1994 08:49:37 GMT") of seconds since 1970.
std::string serviceHTTPDate(std::time_t seconds);

// Seconds since 1970 of an HTTP date in the preferred form above (the form
// every current client sends); nothing for any other text.
std::optional<std::time_t> serviceParseHTTPDate(std::string_view text);

// "2026-01-02 03:04:05.678 UTC" for milliseconds since 1970.
std::string serviceDisplayTime(std::int64_t millis);

// `text` (valid UTF-8) with control characters (C0, DEL and C1) written as
// "\xNN" or "\u00NN", so that printing posted strings cannot drive the
// terminal or break lines.
std::string serviceTerminalSafe(std::string_view text);
