#include <gtest/gtest.h>
#include <plist/plist.h>

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <random>
#include <string>

#include "platform/PropertyList.h"

namespace {

Object dictionaryOf(std::initializer_list<std::pair<std::string, Object>> entries) {
  ObjectDictionary result;
  for (const auto& [key, value] : entries) result.insert_or_assign(Object(key), value);
  return Object::dictionary(std::move(result));
}

Object roundTrip(const Object& object) {
  Bytes bytes;
  Error error;
  EXPECT_TRUE(PropertyList::writeBinary(object, &bytes, &error)) << error.toString();
  OptionalObject read = PropertyList::read(bytes, &error);
  EXPECT_TRUE(read.has_value()) << error.toString();
  return read.value_or(Object());
}

std::uint64_t bitsOf(double value) {
  std::uint64_t bits;
  std::memcpy(&bits, &value, sizeof bits);
  return bits;
}

TEST(PropertyListTest, BinaryEncodingIsByteExact) {
  Bytes bytes;
  ASSERT_TRUE(
      PropertyList::writeBinary(dictionaryOf({{"a", Object::integer(1)}}), &bytes, nullptr));
  const Bytes expected = {
      'b',  'p',  'l',  'i', 's', 't', '0', '0',  // header
      0xD1, 0x01, 0x02,                           // dictionary: key 1, value 2
      0x51, 'a',                                  // "a"
      0x10, 0x01,                                 // 1
      0x08, 0x0B, 0x0D,                           // offset table
      0,    0,    0,    0,   0,   0,   1,   1,    // offset size 1, reference size 1
      0,    0,    0,    0,   0,   0,   0,   3,    // three objects
      0,    0,    0,    0,   0,   0,   0,   0,    // top object 0
      0,    0,    0,    0,   0,   0,   0,   15};  // offset table at 15
  EXPECT_EQ(bytes, expected);
}

TEST(PropertyListTest, DatesAndDoublesKeepFullPrecision) {
  const double dates[] = {1767225600.123456789, 1767225600.0000001, 978307200.5,
                          2000000000.987654321, std::nextafter(1767225600.25, 2e9)};
  const double reals[] = {0.1 + 0.2, -1.0 / 3.0,
                          1e-310,    1.7976931348623157e308,
                          -0.0,      std::numeric_limits<double>::infinity()};
  for (double date : dates) {
    Object read = roundTrip(Object::date(date));
    ASSERT_EQ(read.kind(), Object::Kind::Date);
    EXPECT_EQ(bitsOf(read.dateValue()), bitsOf(date)) << std::hexfloat << date;
  }
  for (double real : reals) {
    Object read = roundTrip(Object::floating(real));
    ASSERT_TRUE(read.isFloatingNumber());
    EXPECT_EQ(bitsOf(read.doubleValue()), bitsOf(real)) << real;
  }
  Object nan = roundTrip(Object::floating(std::nan("")));
  EXPECT_TRUE(std::isnan(nan.doubleValue()));
}

TEST(PropertyListTest, RoundTripKeepsKindsAndValues) {
  ObjectArray many;
  for (int i = 0; i < 300; ++i) many.push_back(Object::integer(i));  // references need 2 bytes
  const Object original = dictionaryOf({
      {"ascii", Object("plain text longer than fifteen characters")},
      {"unicode", Object("Gr\xC3\xBC\xC3\x9F"
                         "e \xF0\x9F\x98\x80")},
      {"empty", Object("")},
      {"true", Object::boolean(true)},
      {"false", Object::boolean(false)},
      {"zero", Object::integer(0)},
      {"byte", Object::integer(255)},
      {"short", Object::integer(256)},
      {"int", Object::integer(65536)},
      {"long", Object::integer(4294967296LL)},
      {"minusOne", Object::integer(-1)},
      {"min", Object::integer(std::numeric_limits<std::int64_t>::min())},
      {"max", Object::integer(std::numeric_limits<std::int64_t>::max())},
      {"data", Object::data(Bytes{0, 1, 2, 0xFF})},
      {"bigData", Object::data(Bytes(40, 0xAB))},
      {"noData", Object::data(Bytes{})},
      {"many", Object::array(many)},
      {"nested", dictionaryOf({{"list", Object::array({Object("x"), Object::floating(2.5)})}})},
  });
  Object read = roundTrip(original);
  EXPECT_EQ(read, original);
  EXPECT_EQ(read.objectForKey("true")->numberKind(), Object::NumberKind::Boolean);
  EXPECT_EQ(read.objectForKey("zero")->numberKind(), Object::NumberKind::Integer);
  EXPECT_EQ(read.objectForKey("max")->int64Value(), std::numeric_limits<std::int64_t>::max());
  EXPECT_EQ(read.objectForKey("min")->int64Value(), std::numeric_limits<std::int64_t>::min());
  EXPECT_EQ(*read.objectForKey("unicode")->asString(),
            "Gr\xC3\xBC\xC3\x9F"
            "e \xF0\x9F\x98\x80");
}

TEST(PropertyListTest, RefusesObjectsThatCannotBeStored) {
  ObjectDictionary numericKey;
  numericKey.emplace(Object::integer(1), Object("x"));
  Object deep = Object("leaf");
  for (std::size_t i = 0; i <= PropertyList::kMaxDepth; ++i) deep = Object::array({deep});
  const Object refused[] = {
      Object::null(),
      Object::url("https://example.com"),
      Object::set({Object("a")}),
      Object::opaque("__SwiftValue"),
      Object::dictionary(numericKey),
      Object::array({Object("ok"), Object::null()}),
      Object(std::string("\xC3\x28")),  // invalid UTF-8
      deep,
  };
  for (const Object& object : refused) {
    Bytes bytes = {42};
    Error error;
    EXPECT_FALSE(PropertyList::isStorable(object)) << object.description();
    EXPECT_FALSE(PropertyList::writeBinary(object, &bytes, &error)) << object.description();
    EXPECT_EQ(error.domain, PropertyList::kErrorDomain);
    EXPECT_EQ(error.code, PropertyList::kUnsupportedValue);
    EXPECT_EQ(bytes, Bytes{42});
  }
}

TEST(PropertyListTest, OutputIsReadByLibplistAndLibplistOutputIsRead) {
  const Object original = dictionaryOf({{"s", Object("\xE2\x82\xAC uro")},
                                        {"i", Object::integer(-7)},
                                        {"r", Object::floating(0.1)},
                                        {"b", Object::boolean(true)},
                                        {"a", Object::array({Object::integer(70000)})}});
  Bytes ours;
  ASSERT_TRUE(PropertyList::writeBinary(original, &ours, nullptr));
  plist_t parsed = nullptr;
  plist_from_bin(reinterpret_cast<const char*>(ours.data()), static_cast<uint32_t>(ours.size()),
                 &parsed);
  ASSERT_NE(parsed, nullptr);
  char* text = nullptr;
  plist_get_string_val(plist_dict_get_item(parsed, "s"), &text);
  ASSERT_NE(text, nullptr);
  EXPECT_STREQ(text, "\xE2\x82\xAC uro");
  std::free(text);
  uint64_t integer = 0;
  plist_get_uint_val(plist_dict_get_item(parsed, "i"), &integer);
  EXPECT_EQ(static_cast<int64_t>(integer), -7);
  double real = 0;
  plist_get_real_val(plist_dict_get_item(parsed, "r"), &real);
  EXPECT_EQ(real, 0.1);
  // Every value as libplist understood it, through its own binary writer.
  char* theirs = nullptr;
  uint32_t length = 0;
  plist_to_bin(parsed, &theirs, &length);
  plist_free(parsed);
  Bytes bytes(theirs, theirs + length);
  plist_to_bin_free(theirs);
  Error error;
  OptionalObject read = PropertyList::read(bytes, &error);
  ASSERT_TRUE(read.has_value()) << error.toString();
  EXPECT_EQ(*read, original);
}

TEST(PropertyListTest, ReadsXML) {
  const std::string xml = R"(<?xml version="1.0" encoding="UTF-8"?>
<!DOCTYPE plist PUBLIC "-//Apple//DTD PLIST 1.0//EN" "http://www.apple.com/DTDs/PropertyList-1.0.dtd">
<plist version="1.0">
<dict>
  <key>name</key><string>Caf&#233; &amp; co</string>
  <key>count</key><integer>-42</integer>
  <key>ratio</key><real>0.25</real>
  <key>on</key><true/>
  <key>off</key><false/>
  <key>blob</key><data>AAEC/w==</data>
  <key>when</key><date>2001-01-01T00:01:40Z</date>
  <key>list</key><array><string>a</string><integer>2</integer></array>
</dict>
</plist>
)";
  Error error;
  OptionalObject read = PropertyList::read(Bytes(xml.begin(), xml.end()), &error);
  ASSERT_TRUE(read.has_value()) << error.toString();
  EXPECT_EQ(*read->objectForKey("name")->asString(), "Caf\xC3\xA9 & co");
  EXPECT_EQ(read->objectForKey("count")->int64Value(), -42);
  EXPECT_TRUE(read->objectForKey("ratio")->isFloatingNumber());
  EXPECT_EQ(read->objectForKey("on")->numberKind(), Object::NumberKind::Boolean);
  EXPECT_TRUE(read->objectForKey("on")->boolValue());
  EXPECT_FALSE(read->objectForKey("off")->boolValue());
  EXPECT_EQ(*read->objectForKey("blob")->asData(), (Bytes{0, 1, 2, 0xFF}));
  EXPECT_EQ(read->objectForKey("when")->dateValue(), 978307200.0 + 100.0);
  EXPECT_EQ(*read->objectForKey("list"), Object::array({Object("a"), Object::integer(2)}));
}

Bytes validSample() {
  Bytes bytes;
  EXPECT_TRUE(PropertyList::writeBinary(
      dictionaryOf({{"k", Object::array({Object("v\xC3\xA9"), Object::date(1.5e9),
                                         Object::data(Bytes(20, 1)), Object::integer(-3)})},
                    {"n", Object::floating(3.5)}}),
      &bytes, nullptr));
  return bytes;
}

void expectMalformedOrValue(const Bytes& bytes) {
  Error error;
  OptionalObject read = PropertyList::read(bytes, &error);
  if (!read) {
    EXPECT_EQ(error.domain, PropertyList::kErrorDomain);
    EXPECT_EQ(error.code, PropertyList::kMalformed);
  }
}

TEST(PropertyListTest, CorruptInputIsAnErrorNeverACrash) {
  const Bytes valid = validSample();
  for (std::size_t length = 0; length < valid.size(); ++length) {
    Error error;
    EXPECT_FALSE(PropertyList::read(Bytes(valid.begin(), valid.begin() + length), &error))
        << length;
  }
  std::mt19937 random(7);
  for (int round = 0; round < 3000; ++round) {
    Bytes mutated = valid;
    int flips = 1 + static_cast<int>(random() % 4);
    for (int i = 0; i < flips; ++i) {
      mutated[8 + random() % (mutated.size() - 8)] = static_cast<std::uint8_t>(random());
    }
    expectMalformedOrValue(mutated);
  }
  const std::string garbage[] = {"", "<plist><dict><key>a</key>", "not a plist at all",
                                 "<?xml version=\"1.0\"?><plist><array><string>x</plist>"};
  for (const std::string& text : garbage) {
    Error error;
    EXPECT_FALSE(PropertyList::read(Bytes(text.begin(), text.end()), &error)) << text;
    EXPECT_EQ(error.code, PropertyList::kMalformed);
  }
}

// A hand-made binary plist: `objects` in order, one-byte offsets and
// references, top object 0.
Bytes handMade(const std::vector<Bytes>& objects) {
  Bytes out = {'b', 'p', 'l', 'i', 's', 't', '0', '0'};
  Bytes offsets;
  for (const Bytes& object : objects) {
    offsets.push_back(static_cast<std::uint8_t>(out.size()));
    out.insert(out.end(), object.begin(), object.end());
  }
  std::uint8_t table = static_cast<std::uint8_t>(out.size());
  out.insert(out.end(), offsets.begin(), offsets.end());
  Bytes trailer = {
      0, 0, 0, 0, 0, 0, 1, 1, 0, 0, 0, 0, 0, 0, 0, static_cast<std::uint8_t>(objects.size()),
      0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, table};
  out.insert(out.end(), trailer.begin(), trailer.end());
  return out;
}

TEST(PropertyListTest, RejectsCyclesAndBadReferences) {
  Error error;
  // An array that contains itself.
  EXPECT_FALSE(PropertyList::read(handMade({{0xA1, 0x00}}), &error));
  EXPECT_EQ(error.code, PropertyList::kMalformed);
  // A reference past the last object.
  EXPECT_FALSE(PropertyList::read(handMade({{0xA1, 0x05}}), &error));
  // An array claiming more references than the file holds.
  EXPECT_FALSE(PropertyList::read(handMade({{0xAF, 0x13, 0xFF, 0xFF, 0xFF, 0xFF}}), &error));
  // A dictionary with a non-string key.
  EXPECT_FALSE(PropertyList::read(handMade({{0xD1, 0x01, 0x01}, {0x10, 0x01}}), &error));
}

TEST(PropertyListTest, SharedObjectsAreDecodedOnce) {
  // Forty arrays, each holding the next one twice: 2^40 leaves if expanded.
  std::vector<Bytes> objects;
  for (std::uint8_t i = 0; i < 40; ++i) {
    objects.push_back({0xA2, static_cast<std::uint8_t>(i + 1), static_cast<std::uint8_t>(i + 1)});
  }
  objects.push_back({0x10, 0x07});
  Error error;
  OptionalObject read = PropertyList::read(handMade(objects), &error);
  ASSERT_TRUE(read.has_value()) << error.toString();
  const Object* level = &*read;
  for (int i = 0; i < 40; ++i) level = &level->asArray()->at(1);
  EXPECT_EQ(level->int64Value(), 7);
}

}  // namespace
