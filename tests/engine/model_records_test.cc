// TLMRawEventData and TLMUserAttribute.
#include <gtest/gtest.h>

#include "engine/TLMEvent.h"
#include "engine/TLMRawEventData.h"
#include "engine/TLMUserAttribute.h"
#include "support/MonitorReportsTest.h"

namespace {

using RawEventDataTest = MonitorReportsTest;

TEST_F(RawEventDataTest, AcceptsRowZeroUpAndRefusesANilEventOrANegativeRow) {
  TLMEventPtr event = TLMEvent::initWithOrigin("app", false, "_e", 10, 0, {});
  ASSERT_NE(event, nullptr);
  TLMRawEventDataPtr zeroRow = TLMRawEventData::initWithRawEvent(event, 0, -9);
  ASSERT_NE(zeroRow, nullptr);
  EXPECT_EQ(zeroRow->rawEvent(), event);
  EXPECT_EQ(zeroRow->metadataFingerprint(), -9);
  EXPECT_NE(TLMRawEventData::initWithRawEvent(event, INT64_MAX, 1), nullptr);
  EXPECT_TRUE(printed().empty());

  EXPECT_EQ(TLMRawEventData::initWithRawEvent(nullptr, 1, 1), nullptr);
  EXPECT_EQ(onePrinted(28000), "Failed to create raw event data. Received invalid raw event.");
  EXPECT_EQ(TLMRawEventData::initWithRawEvent(event, -1, 1), nullptr);
  EXPECT_EQ(onePrinted(28001),
            "Failed to create raw event data. Received invalid row ID. Row ID: -1");
}

using UserAttributeTest = MonitorReportsTest;

TEST_F(UserAttributeTest, PublicUnlessInternallyNamed) {
  TLMUserAttributePtr attribute =
      TLMUserAttribute::initWithOrigin("app", "level_tier", TLMValue::fromString("gold"), 1.25);
  ASSERT_NE(attribute, nullptr);
  EXPECT_TRUE(attribute->isPublic());
  TLMUserAttributePtr internal =
      TLMUserAttribute::initWithOrigin("auto", "_fot", TLMValue::initWithInt64(5), 0);
  ASSERT_NE(internal, nullptr);
  EXPECT_FALSE(internal->isPublic());
  EXPECT_TRUE(printed().empty());
}

TEST_F(UserAttributeTest, RefusesInvalidNamesAndValues) {
  std::string thirtySixLetters;
  for (int i = 0; i < 36; ++i) thirtySixLetters += "é";
  // Names: 1 to 24 characters of the name alphabet. String values: 1 to 36
  // code points, up to 256 for "_id".
  const struct {
    std::string name;
    TLMValuePtr value;
    bool accepted;
  } cases[] = {
      {"", TLMValue::initWithInt64(1), false},
      {"a-b", TLMValue::initWithInt64(1), false},
      {std::string(25, 'a'), TLMValue::initWithInt64(1), false},
      {"tier", nullptr, false},
      {"tier", TLMValue::fromString(""), false},
      {"tier", TLMValue::fromString(std::string(37, 'x')), false},
      {"tier", TLMValue::fromString(thirtySixLetters), true},
      {"_id", TLMValue::fromString(std::string(256, 'x')), true},
      {"_id", TLMValue::fromString(std::string(257, 'x')), false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name + " = " + (c.value ? c.value->description() : "<nil>"));
    EXPECT_EQ(TLMUserAttribute::initWithOrigin("app", c.name, c.value, 0) != nullptr, c.accepted);
  }
}

}  // namespace
