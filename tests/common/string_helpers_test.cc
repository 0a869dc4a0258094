// Code-point lengths and URL-query escaping.
#include <gtest/gtest.h>

#include "common/StringHelpers.h"

namespace {

TEST(UTF32Length, CountsCodePoints) {
  EXPECT_EQ(tlm_UTF32Length(""), 0u);
  EXPECT_EQ(tlm_UTF32Length("abc"), 3u);
  EXPECT_EQ(tlm_UTF32Length("\xC3\xA9"), 1u);          // é
  EXPECT_EQ(tlm_UTF32Length("\xE2\x82\xAC"), 1u);      // €
  EXPECT_EQ(tlm_UTF32Length("\xF0\x9F\x98\x80"), 1u);  // 😀
  EXPECT_EQ(tlm_UTF32Length("a\xF0\x9F\x98\x80\xC3\xA9"), 3u);
}

TEST(UTF32Length, EachInvalidByteCountsAsOne) {
  EXPECT_EQ(tlm_UTF32Length("\xFF"), 1u);
  EXPECT_EQ(tlm_UTF32Length("a\x80"
                            "b"),
            3u);  // stray continuation
  EXPECT_EQ(tlm_UTF32Length("\xE2\x82"
                            "a"),
            3u);                                       // cut-off sequence
  EXPECT_EQ(tlm_UTF32Length("\xC0\xAF"), 2u);          // overlong "/"
  EXPECT_EQ(tlm_UTF32Length("\xED\xA0\x80"), 3u);      // surrogate
  EXPECT_EQ(tlm_UTF32Length("\xF4\x90\x80\x80"), 4u);  // above U+10FFFF
  EXPECT_EQ(tlm_UTF32Length("\xF0\x9F\x98"), 3u);      // emoji missing its last byte
  EXPECT_FALSE(tlm_isValidUTF8("\xF0\x9F\x98"));
  EXPECT_TRUE(tlm_isValidUTF8("a\xF0\x9F\x98\x80"));
}

TEST(UTF32Prefix, NeverSplitsACodePoint) {
  const std::string text = "a\xF0\x9F\x98\x80\xC3\xA9";
  EXPECT_EQ(tlm_UTF32Prefix(text, 0), "");
  EXPECT_EQ(tlm_UTF32Prefix(text, 2), "a\xF0\x9F\x98\x80");
  EXPECT_EQ(tlm_UTF32Prefix(text, 3), text);
  EXPECT_EQ(tlm_UTF32Prefix(text, 100), text);
}

TEST(HttpArguments, ParsesQueryStrings) {
  const auto parse = [](const char* text) {
    std::string pairs;
    for (const auto& [key, value] : tlm_dictionaryWithHttpArgumentsString(text)) {
      pairs += *key.asString() + "=" + *value.asString() + ";";
    }
    return pairs;
  };
  // Repeated keys, escaped or not, keep the first occurrence.
  EXPECT_EQ(parse("a=1&b=2&a=3&%61=4"), "a=1;b=2;");
  // "+" is a blank; escapes are decoded; what cannot be decoded is empty.
  EXPECT_EQ(parse("utm_campaign=spring+sale%21&x=%41&y=%2B&z=caf%C3%A9"),
            "utm_campaign=spring sale!;x=A;y=+;z=caf\xC3\xA9;");
  EXPECT_EQ(parse("bad=%FF&short=%4&junk=%zz&ok=1"), "bad=;junk=;ok=1;short=;");
  // Pieces without "=" have empty values; the split is at the first "=".
  EXPECT_EQ(parse("a&b=1&&c=x=y&"), "a=;b=1;c=x=y;");
  EXPECT_EQ(parse(""), "");
  EXPECT_EQ(parse("&&"), "");
}

TEST(QueryString, EscapesQueryDelimitersAndJoinsInDictionaryOrder) {
  const ObjectDictionary dictionary = {
      {Object("p"), Object::floating(0.5)},
      {Object("a b"), Object("x&y=z+w#v")},
      {Object("k"), Object::integer(1)},
      {Object("s"), Object("-._~!$'()*,;:@/?")},
  };
  EXPECT_EQ(tlm_queryString(dictionary), "a%20b=x%26y%3Dz%2Bw%23v&k=1&p=0.5&s=-._~!$'()*,;:@/?");
  EXPECT_EQ(tlm_queryString({}), "");
  EXPECT_EQ(tlm_queryString({{Object("e"), Object("\xC3\xA9%")}}), "e=%C3%A9%25");
}

TEST(QueryString, RoundTripsThroughArgumentParsing) {
  const ObjectDictionary original = {
      {Object("blank"), Object("a b")},
      {Object("amp"), Object("a&b")},
      {Object("eq"), Object("a=b")},
      {Object("plus"), Object("1+1")},
      {Object("accent"), Object("caf\xC3\xA9")},
      {Object("k&=+ \xC3\xA9"), Object("all & = + \xC3\xA9 #")},
      {Object("empty"), Object("")},
  };
  EXPECT_EQ(tlm_dictionaryWithHttpArgumentsString(tlm_queryString(original)), original);
}

}  // namespace
