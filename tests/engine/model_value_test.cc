// TLMValue: kinds kept apart, conversion from caller objects, failures.
#include <gtest/gtest.h>

#include "engine/TLMValue.h"
#include "model_test_support.h"

namespace {

using ValueTest = ModelTest;

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
  TLMValuePtr text = TLMValue::fromString("abc");
  EXPECT_EQ(text->hash(), std::hash<std::string>()("abc") ^ (2u * 31u));
  TLMValuePtr number = TLMValue::initWithInt64(42);
  EXPECT_EQ(number->hash(), std::hash<std::int64_t>()(42) ^ 31u);
  TLMValuePtr array = TLMValue::fromArray({Object::dictionary({}), Object::dictionary({})});
  EXPECT_EQ(array->hash(), 2u ^ (3u * 31u));
}

TEST_F(ValueTest, ValueFromObjectKeepsFloatingNumbersAsDoublesOnly) {
  TLMValuePtr yes = TLMValue::valueFromObject(Object::boolean(true));
  ASSERT_NE(yes, nullptr);
  EXPECT_TRUE(yes->isInt64());
  EXPECT_EQ(yes->int64Value(), 1);
  TLMValuePtr no = TLMValue::valueFromObject(Object::boolean(false));
  ASSERT_NE(no, nullptr);
  EXPECT_TRUE(no->isInt64());
  EXPECT_EQ(no->int64Value(), 0);

  TLMValuePtr half = TLMValue::valueFromObject(Object::floating(1.5));
  ASSERT_NE(half, nullptr);
  EXPECT_EQ(half->valueType(), TLMValueTypeDouble);
  EXPECT_EQ(half->doubleValue(), 1.5);
  // A whole floating number is still a double.
  EXPECT_TRUE(TLMValue::valueFromObject(Object::floating(2.0))->isDouble());

  TLMValuePtr big = TLMValue::valueFromObject(Object::integer(INT64_MAX));
  ASSERT_NE(big, nullptr);
  EXPECT_EQ(big->valueType(), TLMValueTypeInt64);
  EXPECT_EQ(big->int64Value(), INT64_MAX);

  TLMValuePtr text = TLMValue::valueFromObject(Object("héllo"));
  ASSERT_NE(text, nullptr);
  ASSERT_NE(text->stringValue(), nullptr);
  EXPECT_EQ(*text->stringValue(), "héllo");
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

  TLMValuePtr text = TLMValue::initWithString(Object("ok"));
  ASSERT_NE(text, nullptr);
  EXPECT_EQ(text->valueType(), TLMValueTypeString);
  TLMValuePtr array = TLMValue::initWithArray(Object::array({}));
  ASSERT_NE(array, nullptr);
  EXPECT_EQ(array->valueType(), TLMValueTypeArray);
}

TEST_F(ValueTest, AccessorsOfTheWrongKindAnswerZeroOrNull) {
  TLMValuePtr text = TLMValue::fromString("12");
  EXPECT_EQ(text->int64Value(), 0);
  EXPECT_EQ(text->doubleValue(), 0.0);
  EXPECT_EQ(text->arrayValue(), nullptr);
  TLMValuePtr floating = TLMValue::initWithDouble(2.75);
  EXPECT_EQ(floating->int64Value(), 0);
  EXPECT_EQ(floating->stringValue(), nullptr);
  TLMValuePtr integer = TLMValue::initWithInt64(9);
  EXPECT_EQ(integer->doubleValue(), 0.0);
  EXPECT_EQ(integer->stringValue(), nullptr);
}

TEST_F(ValueTest, DescriptionIsTheContentsAndCopiesAreEqual) {
  EXPECT_EQ(TLMValue::initWithInt64(-5)->description(), "-5");
  EXPECT_EQ(TLMValue::initWithDouble(0.1)->description(), Object::floating(0.1).description());
  EXPECT_EQ(TLMValue::fromString("abc")->description(), "abc");
  TLMValuePtr original = TLMValue::fromString("shared");
  TLMValuePtr copy = original->copy();
  EXPECT_NE(copy, original);
  EXPECT_TRUE(copy->isEqualTo(*original));
  EXPECT_EQ(copy->valueType(), original->valueType());
  EXPECT_EQ(TLMValue::fromObject(copy->asObject()), copy);
  EXPECT_EQ(TLMValue::fromObject(Object("plain")), nullptr);
  EXPECT_EQ(copy->className(), "TLMValue");
  EXPECT_EQ(copy->asObject().className(), "TLMValue");
}

}  // namespace
