// TLMRawEventData and TLMUserAttribute.
#include <gtest/gtest.h>

#include "engine/TLMEvent.h"
#include "engine/TLMRawEventData.h"
#include "engine/TLMUserAttribute.h"
#include "model_test_support.h"

namespace {

using RawEventDataTest = ModelTest;

TEST_F(RawEventDataTest, KeepsTheEventRowAndFingerprint) {
  TLMEventPtr event = TLMEvent::initWithOrigin("app", false, "_e", 10, 0, {});
  ASSERT_NE(event, nullptr);
  TLMRawEventDataPtr zeroRow = TLMRawEventData::initWithRawEvent(event, 0, -9);
  ASSERT_NE(zeroRow, nullptr);
  EXPECT_EQ(zeroRow->rawEvent(), event);
  EXPECT_EQ(zeroRow->rowID(), 0);
  EXPECT_EQ(zeroRow->metadataFingerprint(), -9);
  EXPECT_NE(TLMRawEventData::initWithRawEvent(event, INT64_MAX, 1), nullptr);
  EXPECT_TRUE(printed().empty());
}

TEST_F(RawEventDataTest, RefusesANilEventAndANegativeRow) {
  EXPECT_EQ(TLMRawEventData::initWithRawEvent(nullptr, 1, 1), nullptr);
  EXPECT_EQ(onePrinted(28000), "Failed to create raw event data. Received invalid raw event.");
  TLMEventPtr event = TLMEvent::initWithOrigin("app", false, "_e", 10, 0, {});
  ASSERT_NE(event, nullptr);
  EXPECT_EQ(TLMRawEventData::initWithRawEvent(event, -1, 1), nullptr);
  EXPECT_EQ(onePrinted(28001),
            "Failed to create raw event data. Received invalid row ID. Row ID: -1");
}

using UserAttributeTest = ModelTest;

TEST_F(UserAttributeTest, KeepsItsFields) {
  TLMValuePtr value = TLMValue::fromString("gold");
  TLMUserAttributePtr attribute =
      TLMUserAttribute::initWithOrigin("app", "level_tier", value, 1700000000.25);
  ASSERT_NE(attribute, nullptr);
  EXPECT_EQ(attribute->origin(), "app");
  EXPECT_EQ(attribute->name(), "level_tier");
  EXPECT_EQ(attribute->value(), value);
  EXPECT_EQ(attribute->lastSetTimestamp(), 1700000000.25);
  EXPECT_TRUE(attribute->isPublic());

  TLMUserAttributePtr internal =
      TLMUserAttribute::initWithOrigin("auto", "_fot", TLMValue::initWithInt64(5), 0);
  ASSERT_NE(internal, nullptr);
  EXPECT_FALSE(internal->isPublic());
  EXPECT_TRUE(printed().empty());
}

TEST_F(UserAttributeTest, RefusesInvalidNamesAndValues) {
  EXPECT_EQ(TLMUserAttribute::initWithOrigin("app", "", TLMValue::initWithInt64(1), 0), nullptr);
  EXPECT_EQ(TLMUserAttribute::initWithOrigin("app", "a-b", TLMValue::initWithInt64(1), 0), nullptr);
  EXPECT_EQ(
      TLMUserAttribute::initWithOrigin("app", std::string(25, 'a'), TLMValue::initWithInt64(1), 0),
      nullptr);
  EXPECT_EQ(TLMUserAttribute::initWithOrigin("app", "tier", nullptr, 0), nullptr);
  // String values: 1 to 36 code points, up to 256 for "_id".
  EXPECT_EQ(TLMUserAttribute::initWithOrigin("app", "tier", TLMValue::fromString(""), 0), nullptr);
  EXPECT_EQ(TLMUserAttribute::initWithOrigin("app", "tier",
                                             TLMValue::fromString(std::string(37, 'x')), 0),
            nullptr);
  std::string thirtySixLetters;
  for (int i = 0; i < 36; ++i) thirtySixLetters += "é";
  EXPECT_NE(
      TLMUserAttribute::initWithOrigin("app", "tier", TLMValue::fromString(thirtySixLetters), 0),
      nullptr);
  EXPECT_NE(TLMUserAttribute::initWithOrigin("app", "_id",
                                             TLMValue::fromString(std::string(256, 'x')), 0),
            nullptr);
  EXPECT_EQ(TLMUserAttribute::initWithOrigin("app", "_id",
                                             TLMValue::fromString(std::string(257, 'x')), 0),
            nullptr);
}

}  // namespace
