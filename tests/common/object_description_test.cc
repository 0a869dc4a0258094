// Text forms of Object: stringValue and description.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "ferrolux/Object.h"

namespace {

TEST(ObjectStringValue, NumbersUseTheShortestExactForm) {
  const std::pair<Object, const char*> cases[] = {
      {Object::boolean(true), "1"},
      {Object::boolean(false), "0"},
      {Object::integer(std::numeric_limits<std::int64_t>::max()), "9223372036854775807"},
      {Object::integer(std::numeric_limits<std::int64_t>::min()), "-9223372036854775808"},
      {Object::floating(0.1), "0.1"},
      {Object::floating(3.0), "3"},
      {Object::floating(-0.0), "-0"},
      {Object::floating(1e21), "1e+21"},
      {Object::floating(123.456), "123.456"},
      {Object::floating(1.5e-7), "1.5e-07"},
      {Object::floating(0.0001), "0.0001"},
      {Object::floating(1e16), "10000000000000000"},
      {Object::floating(1e17), "1e+17"},
      {Object::floating(1.0 / 3), "0.3333333333333333"},
      {Object::floating(std::nan("")), "nan"},
      {Object::floating(-std::numeric_limits<double>::infinity()), "-inf"},
      {Object("a b"), "a b"},
      {Object::url("https://x.example/?a=1"), "https://x.example/?a=1"},
      {Object::null(), "<null>"},
  };
  for (const auto& [object, text] : cases) EXPECT_EQ(object.stringValue(), text) << text;
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

TEST(ObjectDescription, Containers) {
  EXPECT_EQ(Object::array({}).description(), "(\n)");
  EXPECT_EQ(Object::dictionary({}).description(), "{\n}");
  EXPECT_EQ(Object::set({}).description(), "{(\n)}");
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
