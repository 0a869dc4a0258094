// Equality, ordering and typed access of Object.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

#include "ferrolux/Object.h"

namespace {

class Token : public LibraryObject {
 public:
  explicit Token(int value) : value_(value) {}
  std::string className() const override { return "TLMTestToken"; }
  std::string description() const override { return "token " + std::to_string(value_); }
  bool isEqualTo(const LibraryObject& other) const override {
    return static_cast<const Token&>(other).value_ == value_;
  }
  int compareTo(const LibraryObject& other) const override {
    return value_ - static_cast<const Token&>(other).value_;
  }

 private:
  int value_;
};

Error sampleError(long code) {
  return Error{"com.tarvix.qvr.measurement.ErrorDomain", code, "Broken", std::nullopt};
}

// One object of every kind, two of some, in ascending order.
std::vector<Object> ascendingSample() {
  return {
      Object::null(),
      Object::floating(-std::numeric_limits<double>::infinity()),
      Object::integer(-5),
      Object::boolean(false),
      Object::floating(0.5),
      Object::boolean(true),
      Object::integer(std::numeric_limits<std::int64_t>::max()),
      Object::floating(std::numeric_limits<double>::infinity()),
      Object::floating(std::nan("")),
      Object(""),
      Object("B"),
      Object("a"),
      Object("\xC3\xA9"),
      Object::data({}),
      Object::data({0x01}),
      Object::date(-1),
      Object::date(1700000000),
      Object::url("https://a.example/"),
      Object::array({}),
      Object::array({Object::integer(1)}),
      Object::array({Object::integer(1), Object::integer(0)}),
      Object::array({Object::integer(2)}),
      Object::dictionary({}),
      Object::dictionary({{Object("a"), Object::integer(1)}}),
      Object::dictionary({{Object("a"), Object::integer(2)}}),
      Object::set({Object::integer(1)}),
      Object::error(sampleError(1)),
      Object::error(sampleError(2)),
      Object::opaque("__SwiftValue"),
      Object::opaque("__SwiftValue"),
      Object::library(std::make_shared<Token>(1)),
      Object::library(std::make_shared<Token>(2)),
  };
}

TEST(ObjectEquality, NumbersAreEqualByValueAcrossNumberKinds) {
  EXPECT_EQ(Object::boolean(true), Object::integer(1));
  EXPECT_EQ(Object::integer(1), Object::floating(1.0));
  EXPECT_EQ(Object::boolean(true), Object::floating(1.0));
  EXPECT_EQ(Object::boolean(false), Object::floating(-0.0));
  EXPECT_EQ(Object::floating(0.0), Object::floating(-0.0));
  EXPECT_NE(Object::integer(1), Object::floating(1.5));
  EXPECT_NE(Object::boolean(true), Object::integer(2));
  EXPECT_EQ(Object::floating(std::nan("")), Object::floating(std::nan("")));
  EXPECT_NE(Object::integer(0), Object::floating(std::nan("")));
  // The number kind is still remembered.
  EXPECT_EQ(Object::integer(1).numberKind(), Object::NumberKind::Integer);
  EXPECT_TRUE(Object::floating(1).isFloatingNumber());
}

TEST(ObjectEquality, LargeIntegersCompareExactlyWithDoubles) {
  constexpr std::int64_t kTwoTo53 = std::int64_t{1} << 53;
  const Object asDouble = Object::floating(static_cast<double>(kTwoTo53));
  EXPECT_EQ(Object::integer(kTwoTo53), asDouble);
  // Rounding the integer to double would make these equal.
  EXPECT_NE(Object::integer(kTwoTo53 + 1), asDouble);
  EXPECT_TRUE(ObjectLess()(asDouble, Object::integer(kTwoTo53 + 1)));
  const auto max = std::numeric_limits<std::int64_t>::max();
  EXPECT_NE(Object::integer(max), Object::floating(9223372036854775808.0));
  EXPECT_TRUE(ObjectLess()(Object::integer(max), Object::floating(9223372036854775808.0)));
  const auto min = std::numeric_limits<std::int64_t>::min();
  EXPECT_EQ(Object::integer(min), Object::floating(-9223372036854775808.0));
  EXPECT_TRUE(ObjectLess()(Object::integer(-3), Object::floating(-2.5)));
  EXPECT_TRUE(ObjectLess()(Object::floating(-3.5), Object::integer(-3)));
}

TEST(ObjectEquality, OtherKindsCompareByValueAndNeverAcrossKinds) {
  EXPECT_EQ(Object("a"), Object(std::string("a")));
  EXPECT_NE(Object("1"), Object::integer(1));
  EXPECT_NE(Object("https://a/"), Object::url("https://a/"));
  EXPECT_NE(Object::null(), Object::integer(0));
  EXPECT_NE(Object::null(), Object(""));
  EXPECT_EQ(Object::data({1, 2}), Object::data({1, 2}));
  EXPECT_EQ(Object::array({Object::boolean(true), Object("x")}),
            Object::array({Object::integer(1), Object("x")}));
  EXPECT_EQ(Object::dictionary({{Object("k"), Object::floating(2)}}),
            Object::dictionary({{Object("k"), Object::integer(2)}}));
  EXPECT_EQ(Object::error(sampleError(1)), Object::error(sampleError(1)));
  Error withContext = sampleError(1);
  withContext.context = Object("ctx");
  EXPECT_NE(Object::error(sampleError(1)), Object::error(withContext));
  EXPECT_EQ(withContext, withContext);
  EXPECT_FALSE(withContext == sampleError(1));
  EXPECT_EQ(sampleError(3).toString(), "com.tarvix.qvr.measurement.ErrorDomain 3: Broken");
  EXPECT_EQ((Error{"d", -1, std::nullopt, std::nullopt}).toString(), "d -1");
}

TEST(ObjectEquality, OpaqueObjectsEqualOnlyThemselvesAndLibraryObjectsDecide) {
  const Object first = Object::opaque("__SwiftValue", "same");
  const Object copy = first;
  EXPECT_EQ(first, copy);
  EXPECT_NE(first, Object::opaque("__SwiftValue", "same"));
  EXPECT_EQ(Object::library(std::make_shared<Token>(3)),
            Object::library(std::make_shared<Token>(3)));
  EXPECT_NE(Object::library(std::make_shared<Token>(3)),
            Object::library(std::make_shared<Token>(4)));
  ASSERT_NE(Object::library(std::make_shared<Token>(3)).asLibraryOf<Token>(), nullptr);
  EXPECT_EQ(Object::library(nullptr).kind(), Object::Kind::Null);
}

TEST(ObjectOrder, IsATotalOrderConsistentWithEquality) {
  const std::vector<Object> sample = ascendingSample();
  const ObjectLess less;
  for (std::size_t i = 0; i < sample.size(); ++i) {
    for (std::size_t j = 0; j < sample.size(); ++j) {
      SCOPED_TRACE(sample[i].description() + " vs " + sample[j].description());
      EXPECT_EQ(less(sample[i], sample[j]), i < j);
      EXPECT_EQ(sample[i] == sample[j], i == j);
    }
  }
}

TEST(ObjectOrder, DictionaryKeysOfSeveralKindsIterateInAStableOrder) {
  const std::vector<Object> sample = ascendingSample();
  ObjectDictionary forward;
  ObjectDictionary backward;
  for (std::size_t i = 0; i < sample.size(); ++i) {
    forward.emplace(sample[i], Object::integer(static_cast<std::int64_t>(i)));
    backward.emplace(sample[sample.size() - 1 - i],
                     Object::integer(static_cast<std::int64_t>(sample.size() - 1 - i)));
  }
  ASSERT_EQ(forward.size(), sample.size());
  std::int64_t expected = 0;
  for (const auto& [key, value] : backward) EXPECT_EQ(value.int64Value(), expected++);
  EXPECT_EQ(Object::dictionary(forward), Object::dictionary(backward));
  // Equal numbers of different kinds are one key.
  ObjectDictionary numbers;
  numbers.emplace(Object::boolean(true), Object("first"));
  EXPECT_FALSE(numbers.emplace(Object::integer(1), Object("second")).second);
  EXPECT_FALSE(numbers.emplace(Object::floating(1.0), Object("third")).second);
  EXPECT_EQ(numbers.size(), 1u);
}

TEST(ObjectAccess, TypedViewsAnswerOnlyForTheirKind) {
  const Object text("hello");
  ASSERT_NE(text.asString(), nullptr);
  EXPECT_EQ(*text.asString(), "hello");
  EXPECT_EQ(text.asArray(), nullptr);
  EXPECT_EQ(text.int64Value(), 0);
  EXPECT_EQ(Object::floating(-2.9).int64Value(), -2);
  EXPECT_EQ(Object::floating(1e300).int64Value(), std::numeric_limits<std::int64_t>::max());
  EXPECT_EQ(Object::floating(std::nan("")).int64Value(), 0);
  EXPECT_TRUE(Object::floating(0.1).boolValue());
  EXPECT_FALSE(Object::floating(-0.0).boolValue());
  EXPECT_EQ(*Object::url("https://x/").urlString(), "https://x/");
  EXPECT_DOUBLE_EQ(Object::date(12.5).dateValue(), 12.5);
  const Object dictionary = Object::dictionary({{Object("k"), Object::integer(7)}});
  ASSERT_NE(dictionary.objectForKey("k"), nullptr);
  EXPECT_EQ(dictionary.objectForKey("k")->int64Value(), 7);
  EXPECT_EQ(dictionary.objectForKey(std::string_view("missing")), nullptr);
  EXPECT_EQ(text.objectForKey("k"), nullptr);
}

}  // namespace
