// TLMDecimalNumberParser: what counts as a number in a setting string.
#include <gtest/gtest.h>
#include <unicode/uloc.h>

#include <cstdint>
#include <limits>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "config/TLMDecimalNumberParser.h"

namespace {

struct Accepted {
  std::string text;
  Object number;
  bool integer;  // kept as an integer number rather than a floating one
};

TEST(TLMDecimalNumberParser, AcceptsPlainDecimalNumbers) {
  const TLMDecimalNumberParser parser;
  const std::vector<Accepted> accepted = {
      {"5", Object::integer(5), true},
      {"-900", Object::integer(-900), true},
      {"0", Object::integer(0), true},
      {"-0", Object::integer(0), true},
      {"0005", Object::integer(5), true},
      // A decimal formatter reads a whole value with a fraction part as the
      // whole value.
      {"5.0", Object::integer(5), true},
      {"5.", Object::integer(5), true},
      {"5.5", Object::floating(5.5), false},
      {".5", Object::floating(0.5), false},
      {"-1.25", Object::floating(-1.25), false},
      {"86400000", Object::integer(86400000), true},
      {"9223372036854775807", Object::integer(std::numeric_limits<std::int64_t>::max()), true},
      {"-9223372036854775808", Object::integer(std::numeric_limits<std::int64_t>::min()), true},
      // Beyond 64 bits: still a number, but no longer an integer one.
      {"9223372036854775808", Object::floating(9223372036854775808.0), false},
      {"1000000000000000000000", Object::floating(1e21), false},
      // Digits of any script, as the platform's formatter reads them.
      {"\xEF\xBC\x91\xEF\xBC\x92", Object::integer(12), true},  // fullwidth "12"
  };
  for (const Accepted& item : accepted) {
    SCOPED_TRACE("\"" + item.text + "\"");
    const std::optional<Object> number = parser.numberFromString(item.text);
    ASSERT_TRUE(number.has_value());
    EXPECT_EQ(*number, item.number);
    EXPECT_EQ(number->isFloatingNumber(), !item.integer);
  }
}

TEST(TLMDecimalNumberParser, RefusesAnythingElse) {
  const TLMDecimalNumberParser parser;
  const std::vector<std::string> refused = {
      "",
      "12abc",
      "abc",
      " 5",
      "5 ",
      "\t5",
      "+5",
      "--5",
      "- 5",
      "-",
      ".",
      "1e3",
      "1E3",
      "1e",
      "0x10",
      "1,000",
      "1_000",
      "1.2.3",
      "5%",
      "NaN",
      "nan",
      "inf",
      "Infinity",
      "\xE2\x88\x9E",         // the infinity sign
      "\xFF",                 // not UTF-8
      std::string("5\0", 2),  // an embedded NUL does not end the text early
      std::string("5\0"
                  "0",
                  3),  // nor does it join two numbers
  };
  for (const std::string& text : refused) {
    SCOPED_TRACE("\"" + text + "\"");
    EXPECT_FALSE(parser.numberFromString(text).has_value());
  }
}

TEST(TLMDecimalNumberParser, LongTextsAreReadWhole) {
  const TLMDecimalNumberParser parser;
  // The formatter's output grows past its first buffer.
  EXPECT_EQ(parser.numberFromString(std::string(300, '0') + "7"), Object::integer(7));
  const std::optional<Object> huge = parser.numberFromString("1" + std::string(100, '0'));
  ASSERT_TRUE(huge.has_value());
  EXPECT_DOUBLE_EQ(huge->doubleValue(), 1e100);
  EXPECT_FALSE(parser.numberFromString(std::string(300, '1') + "x").has_value());
}

TEST(TLMDecimalNumberParser, IgnoresTheDefaultLocale) {
  const std::string previous = uloc_getDefault();
  UErrorCode status = U_ZERO_ERROR;
  uloc_setDefault("de_DE", &status);  // a locale with a decimal comma
  ASSERT_TRUE(U_SUCCESS(status));
  {
    const TLMDecimalNumberParser parser;
    EXPECT_EQ(parser.numberFromString("5.5"), Object::floating(5.5));
    EXPECT_EQ(parser.numberFromString("1.000"), Object::integer(1));
    EXPECT_FALSE(parser.numberFromString("5,5").has_value());
  }
  status = U_ZERO_ERROR;
  uloc_setDefault(previous.c_str(), &status);
}

TEST(TLMDecimalNumberParser, OneParserServesSeveralThreads) {
  const TLMDecimalNumberParser parser;
  std::vector<std::thread> threads;
  std::vector<int> mismatches(4, 0);
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&parser, &mismatches, t] {
      for (int i = 0; i < 300; ++i) {
        const std::int64_t value = t * 100000 + i;
        if (parser.numberFromString(std::to_string(value)) != Object::integer(value)) {
          ++mismatches[t];
        }
        if (parser.numberFromString(std::to_string(value) + "x").has_value()) ++mismatches[t];
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(mismatches, std::vector<int>(4, 0));
}

}  // namespace
