// Text forms of Object: stringValue and description.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "ferrolux/Object.h"

namespace {

TEST(ObjectStringValue, Numbers) {
  EXPECT_EQ(Object::boolean(true).stringValue(), "1");
  EXPECT_EQ(Object::boolean(false).stringValue(), "0");
  EXPECT_EQ(Object::integer(-42).stringValue(), "-42");
  EXPECT_EQ(Object::integer(std::numeric_limits<std::int64_t>::max()).stringValue(),
            "9223372036854775807");
  EXPECT_EQ(Object::integer(std::numeric_limits<std::int64_t>::min()).stringValue(),
            "-9223372036854775808");
  EXPECT_EQ(Object::floating(0.1).stringValue(), "0.1");
  EXPECT_EQ(Object::floating(3.0).stringValue(), "3");
  EXPECT_EQ(Object::floating(-0.0).stringValue(), "-0");
  EXPECT_EQ(Object::floating(1e21).stringValue(), "1e+21");
  EXPECT_EQ(Object::floating(123.456).stringValue(), "123.456");
  EXPECT_EQ(Object::floating(1.5e-7).stringValue(), "1.5e-07");
  EXPECT_EQ(Object::floating(0.0001).stringValue(), "0.0001");
  EXPECT_EQ(Object::floating(1e16).stringValue(), "10000000000000000");
  EXPECT_EQ(Object::floating(1e17).stringValue(), "1e+17");
  EXPECT_EQ(Object::floating(100000).stringValue(), "100000");
  EXPECT_EQ(Object::floating(1.0 / 3).stringValue(), "0.3333333333333333");
  EXPECT_EQ(Object::floating(std::nan("")).stringValue(), "nan");
  EXPECT_EQ(Object::floating(-std::numeric_limits<double>::infinity()).stringValue(), "-inf");
}

TEST(ObjectStringValue, NonNumbers) {
  EXPECT_EQ(Object("a b").stringValue(), "a b");
  EXPECT_EQ(Object::url("https://x.example/?a=1").stringValue(), "https://x.example/?a=1");
  EXPECT_EQ(Object::null().stringValue(), "<null>");
}

TEST(ObjectDescription, Scalars) {
  EXPECT_EQ(Object::null().description(), "<null>");
  EXPECT_EQ(Object("plain text").description(), "plain text");
  EXPECT_EQ(Object::floating(2.5).description(), "2.5");
  EXPECT_EQ(Object::data({0x01, 0x02, 0xAB}).description(), "{length = 3, bytes = 0x0102ab}");
  Bytes large(30);
  for (std::size_t i = 0; i < large.size(); ++i) large[i] = static_cast<std::uint8_t>(i);
  EXPECT_EQ(Object::data(large).description(),
            "{length = 30, bytes = 0x0001020304050607 ... 161718191a1b1c1d}");
  EXPECT_EQ(Object::date(1767225600).description(), "2026-01-01 00:00:00 +0000");
  EXPECT_EQ(Object::date(951782400.75).description(), "2000-02-29 00:00:00 +0000");
  EXPECT_EQ(Object::date(-0.5).description(), "1969-12-31 23:59:59 +0000");
  EXPECT_EQ(Object::url("https://x.example/").description(), "https://x.example/");
  EXPECT_EQ(Object::error(Error{"D", 7, "Went wrong", std::nullopt}).description(),
            "Error Domain=D Code=7 \"Went wrong\"");
  EXPECT_EQ(Object::error(Error{"D", 7, std::nullopt, std::nullopt}).description(),
            "Error Domain=D Code=7 \"(null)\"");
  EXPECT_EQ(Object::opaque("__SwiftValue", "Value(3)").description(), "Value(3)");
  const std::string anonymous = Object::opaque("__SwiftValue").description();
  EXPECT_EQ(anonymous.rfind("<__SwiftValue: 0x", 0), 0u) << anonymous;
}

TEST(ObjectDescription, EmptyContainers) {
  EXPECT_EQ(Object::array({}).description(), "(\n)");
  EXPECT_EQ(Object::dictionary({}).description(), "{\n}");
  EXPECT_EQ(Object::set({}).description(), "{(\n)}");
}

TEST(ObjectDescription, NestedContainers) {
  const Object nested = Object::array({
      Object::integer(1),
      Object::array({Object::integer(2), Object("x y")}),
      Object::dictionary({{Object("k"), Object::dictionary({{Object("inner"), Object::null()}})}}),
  });
  EXPECT_EQ(nested.description(),
            "(\n"
            "    1,\n"
            "        (\n"
            "        2,\n"
            "        \"x y\"\n"
            "    ),\n"
            "        {\n"
            "        k =         {\n"
            "            inner = \"<null>\";\n"
            "        };\n"
            "    }\n"
            ")");
  const Object dictionary = Object::dictionary({
      {Object("name"), Object("_vs")},
      {Object("list"), Object::array({Object::boolean(true)})},
      {Object::integer(5), Object::set({Object("a"), Object("b")})},
  });
  EXPECT_EQ(dictionary.description(),
            "{\n"
            "    5 =     {(\n"
            "        a,\n"
            "        b\n"
            "    )};\n"
            "    list =     (\n"
            "        1\n"
            "    );\n"
            "    name = _vs;\n"
            "}");
}

TEST(ObjectDescription, StringsInContainersAreQuotedAndEscapedWhenNeeded) {
  const Object array = Object::array({
      Object("plain_1"),
      Object(""),
      Object("with \"quotes\" and \\"),
      Object("line\nbreak\ttab"),
      Object("caf\xC3\xA9"),
      Object("\xF0\x9F\x98\x80"),
      Object("bad\xFF"),
  });
  EXPECT_EQ(array.description(),
            "(\n"
            "    plain_1,\n"
            "    \"\",\n"
            "    \"with \\\"quotes\\\" and \\\\\",\n"
            "    \"line\\nbreak\\ttab\",\n"
            "    \"caf\\U00e9\",\n"
            "    \"\\Ud83d\\Ude00\",\n"
            "    \"bad\\Ufffd\"\n"
            ")");
}

}  // namespace
