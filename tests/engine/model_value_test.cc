// TLMValue: kinds kept apart, conversion from caller objects, failures.
#include <gtest/gtest.h>

#include "engine/TLMValue.h"
#include "support/MonitorReportsTest.h"

namespace {

using ValueTest = MonitorReportsTest;

TEST_F(ValueTest, IntegerOneAndDoubleOneAreDifferentValues) {
  TLMValuePtr integer = TLMValue::initWithInt64(1);
  TLMValuePtr floating = TLMValue::initWithDouble(1.0);
  EXPECT_FALSE(integer->isEqualTo(*floating));
  EXPECT_NE(integer->compareTo(*floating), 0);
  // As objects too, even though plain numbers 1 and 1.0 are equal.
  EXPECT_EQ(Object::integer(1), Object::floating(1.0));
  EXPECT_NE(integer->asObject(), floating->asObject());
  ObjectDictionary keyed;
  keyed.emplace(integer->asObject(), Object("int"));
  keyed.emplace(floating->asObject(), Object("double"));
  EXPECT_EQ(keyed.size(), 2u);

  EXPECT_TRUE(integer->isEqualTo(*TLMValue::initWithInt64(1)));
  EXPECT_EQ(integer->asObject(), TLMValue::initWithInt64(1)->asObject());
  EXPECT_EQ(integer->hash(), TLMValue::initWithInt64(1)->hash());
  EXPECT_TRUE(TLMValue::fromString("a")->isEqualTo(*TLMValue::fromString("a")));
  EXPECT_FALSE(TLMValue::fromString("1")->isEqualTo(*integer));
}

TEST_F(ValueTest, HashIsContentHashXorTypeTimes31) {
  EXPECT_EQ(TLMValue::fromString("abc")->hash(), std::hash<std::string>()("abc") ^ (2u * 31u));
  EXPECT_EQ(TLMValue::initWithInt64(42)->hash(), std::hash<std::int64_t>()(42) ^ 31u);
  TLMValuePtr array = TLMValue::fromArray({Object::dictionary({}), Object::dictionary({})});
  EXPECT_EQ(array->hash(), 2u ^ (3u * 31u));
}

TEST_F(ValueTest, ValueFromObjectKeepsFloatingNumbersAsDoublesOnly) {
  // Values compare by kind as well as content (see above).
  const std::vector<std::pair<Object, TLMValuePtr>> cases = {
      {Object::boolean(true), TLMValue::initWithInt64(1)},
      {Object::boolean(false), TLMValue::initWithInt64(0)},
      {Object::floating(1.5), TLMValue::initWithDouble(1.5)},
      {Object::floating(2.0), TLMValue::initWithDouble(2.0)},  // a whole double stays one
      {Object::integer(INT64_MAX), TLMValue::initWithInt64(INT64_MAX)},
      {Object("héllo"), TLMValue::fromString("héllo")},
  };
  for (const auto& [object, expected] : cases) {
    SCOPED_TRACE(object.description());
    TLMValuePtr value = TLMValue::valueFromObject(object);
    ASSERT_NE(value, nullptr);
    EXPECT_EQ(value->valueType(), expected->valueType());
    EXPECT_EQ(value->asObject(), expected->asObject());
  }
  EXPECT_TRUE(printed().empty());
}

TEST_F(ValueTest, ValueFromObjectReturnsAValueItself) {
  TLMValuePtr original = TLMValue::initWithInt64(7);
  EXPECT_EQ(TLMValue::valueFromObject(original->asObject()), original);
  TLMValuePtr array = TLMValue::fromArray({});
  // Even an array value, whatever allowArray says.
  EXPECT_EQ(TLMValue::valueFromObject(array->asObject(), false), array);
}

TEST_F(ValueTest, ArraysOnlyWhenAllowed) {
  const Object items = Object::array({Object::dictionary({{Object("item_id"), Object("a")}})});
  TLMValuePtr allowed = TLMValue::valueFromObject(items, true);
  ASSERT_NE(allowed, nullptr);
  EXPECT_TRUE(allowed->isArray());
  ASSERT_NE(allowed->arrayValue(), nullptr);
  EXPECT_EQ(allowed->arrayValue()->size(), 1u);
  EXPECT_TRUE(printed().empty());

  EXPECT_EQ(TLMValue::valueFromObject(items), nullptr);
  EXPECT_EQ(onePrinted(35001),
            "Cannot create Value type with unsupported value. The Value has to be NSNumber, "
            "NSString or NSArray (if supported). Value: " +
                items.description());
}

TEST_F(ValueTest, UnsupportedObjectsAndNilFail) {
  EXPECT_EQ(TLMValue::valueFromObject(std::nullopt), nullptr);
  EXPECT_EQ(onePrinted(35000), "Cannot create Value type with nil value");
  EXPECT_EQ(TLMValue::valueFromObject(Object::null()), nullptr);
  EXPECT_EQ(TLMValue::valueFromObject(Object::dictionary({}), true), nullptr);
  EXPECT_EQ(TLMValue::valueFromObject(Object::date(5)), nullptr);
  EXPECT_EQ(printedWithCode(35001).size(), 3u);
}

TEST_F(ValueTest, StringAndArrayInitialisersCheckTheirInput) {
  EXPECT_EQ(TLMValue::initWithString(std::nullopt), nullptr);
  EXPECT_EQ(onePrinted(35002), "Cannot create String value with nil");
  EXPECT_EQ(TLMValue::initWithString(Object::integer(3)), nullptr);
  EXPECT_EQ(onePrinted(35003), "Cannot create String value with non-string value. Value: 3");
  EXPECT_EQ(TLMValue::initWithArray(std::nullopt), nullptr);
  EXPECT_EQ(onePrinted(35004), "Cannot create Array value with nil");
  EXPECT_EQ(TLMValue::initWithArray(Object("x")), nullptr);
  EXPECT_EQ(onePrinted(35005), "Cannot create Array value with non-array value. Value: x");
  EXPECT_EQ(TLMValue::initWithString(Object("ok"))->valueType(), TLMValueTypeString);
  EXPECT_EQ(TLMValue::initWithArray(Object::array({}))->valueType(), TLMValueTypeArray);
}

TEST_F(ValueTest, AccessorsOfTheWrongKindAnswerZeroOrNull) {
  TLMValuePtr text = TLMValue::fromString("12");
  EXPECT_EQ(text->int64Value(), 0);
  EXPECT_EQ(text->doubleValue(), 0.0);
  EXPECT_EQ(text->arrayValue(), nullptr);
  EXPECT_EQ(TLMValue::initWithDouble(2.75)->int64Value(), 0);
  EXPECT_EQ(TLMValue::initWithDouble(2.75)->stringValue(), nullptr);
  EXPECT_EQ(TLMValue::initWithInt64(9)->doubleValue(), 0.0);
  EXPECT_EQ(TLMValue::initWithInt64(9)->stringValue(), nullptr);
}

TEST_F(ValueTest, DescriptionIsTheContentsAndCopiesAreEqual) {
  EXPECT_EQ(TLMValue::initWithInt64(-5)->description(), "-5");
  EXPECT_EQ(TLMValue::initWithDouble(0.1)->description(), Object::floating(0.1).description());
  EXPECT_EQ(TLMValue::fromString("abc")->description(), "abc");
  TLMValuePtr original = TLMValue::fromString("shared");
  TLMValuePtr copy = original->copy();
  EXPECT_NE(copy, original);
  EXPECT_TRUE(copy->isEqualTo(*original));
  EXPECT_EQ(TLMValue::fromObject(copy->asObject()), copy);
  EXPECT_EQ(TLMValue::fromObject(Object("plain")), nullptr);
  EXPECT_EQ(copy->asObject().className(), "TLMValue");
}

}  // namespace
