// Code-point lengths and URL-query escaping.
#include <gtest/gtest.h>

#include "common/StringHelpers.h"

namespace {

std::string valueOf(const ObjectDictionary& dictionary, const char* key) {
  auto it = dictionary.find(Object(key));
  if (it == dictionary.end()) return "<absent>";
  return *it->second.asString();
}

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

TEST(HttpArguments, RepeatedKeysKeepTheFirstOccurrence) {
  const ObjectDictionary parsed = tlm_dictionaryWithHttpArgumentsString("a=1&b=2&a=3&%61=4");
  EXPECT_EQ(parsed.size(), 2u);
  EXPECT_EQ(valueOf(parsed, "a"), "1");
  EXPECT_EQ(valueOf(parsed, "b"), "2");
}

TEST(HttpArguments, PlusIsABlankAndEscapesAreDecoded) {
  const ObjectDictionary parsed =
      tlm_dictionaryWithHttpArgumentsString("utm_campaign=spring+sale%21&x=%41&y=%2B&z=caf%C3%A9");
  EXPECT_EQ(valueOf(parsed, "utm_campaign"), "spring sale!");
  EXPECT_EQ(valueOf(parsed, "x"), "A");
  EXPECT_EQ(valueOf(parsed, "y"), "+");
  EXPECT_EQ(valueOf(parsed, "z"), "caf\xC3\xA9");
}

TEST(HttpArguments, UndecodablePartsBecomeEmpty) {
  const ObjectDictionary parsed =
      tlm_dictionaryWithHttpArgumentsString("bad=%FF&short=%4&junk=%zz&ok=1");
  EXPECT_EQ(valueOf(parsed, "bad"), "");
  EXPECT_EQ(valueOf(parsed, "short"), "");
  EXPECT_EQ(valueOf(parsed, "junk"), "");
  EXPECT_EQ(valueOf(parsed, "ok"), "1");
}

TEST(HttpArguments, PiecesWithoutEqualsAndEmptyPieces) {
  const ObjectDictionary parsed = tlm_dictionaryWithHttpArgumentsString("a&b=1&&c=x=y&");
  EXPECT_EQ(parsed.size(), 3u);
  EXPECT_EQ(valueOf(parsed, "a"), "");
  EXPECT_EQ(valueOf(parsed, "b"), "1");
  EXPECT_EQ(valueOf(parsed, "c"), "x=y");  // split at the first "=" only
  EXPECT_EQ(tlm_dictionaryWithHttpArgumentsString("a=1&&b=2").size(), 2u);
  EXPECT_TRUE(tlm_dictionaryWithHttpArgumentsString("").empty());
  EXPECT_TRUE(tlm_dictionaryWithHttpArgumentsString("&&").empty());
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
