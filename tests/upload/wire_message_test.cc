// The message objects: copies are deep, moves hand over, presence is kept,
// and repeated fields respect the wire layer's entry limit.
#include <gtest/gtest.h>

#include <string>
#include <utility>

#include "upload/TLMPBConfigMessages.h"
#include "upload/TLMPBUploadMessages.h"
#include "upload/wire_test_support.h"

namespace {

TLMPBEvent eventWithItem() {
  TLMPBEventParam field;
  field.set_name("item_name");
  field.set_string_value("hat");
  TLMPBEventParam item;
  EXPECT_TRUE(item.add_param_value(std::move(field)));
  TLMPBEventParam items;
  items.set_name("items");
  EXPECT_TRUE(items.add_param_value(std::move(item)));
  TLMPBEvent event;
  event.set_name("purchase");
  EXPECT_TRUE(event.add_params(std::move(items)));
  return event;
}

TEST(WireMessageObjects, CopyByReencodingIsDeep) {
  TLMPBMeasurementBundle original;
  EXPECT_TRUE(original.add_events(eventWithItem()));
  original.set_app_id("first");

  TLMPBMeasurementBundle copy(original);
  copy.set_app_id("second");
  TLMPBEvent event = copy.events(0);
  event.set_name("changed");
  EXPECT_TRUE(copy.set_events({event}));

  EXPECT_EQ(original.app_id(), "first");
  EXPECT_EQ(original.events(0).name(), "purchase");
  EXPECT_EQ(copy.events(0).name(), "changed");
  EXPECT_EQ(copy.events(0).params(0).param_value(0).param_value(0).string_value(), "hat");

  // The copy outlives its source.
  std::optional<TLMPBMeasurementBundle> source = original;
  TLMPBMeasurementBundle assigned;
  assigned = *source;
  source.reset();
  EXPECT_EQ(assigned.events(0).params(0).param_value(0).param_value(0).string_value(), "hat");
  EXPECT_EQ(assigned, original);
  EXPECT_FALSE(assigned == copy);
}

TEST(WireMessageObjects, GettersAnswerCopiesThatDoNotReachBack) {
  TLMPBMeasurementBundle bundle;
  EXPECT_TRUE(bundle.add_events(eventWithItem()));
  TLMPBHashedUserData hashed;
  hashed.set_field_1("x");
  bundle.set_hashed_user_data(hashed);

  TLMPBEvent event = bundle.events(0);
  event.clear_params();
  TLMPBHashedUserData got = bundle.hashed_user_data();
  got.set_field_1("y");
  EXPECT_EQ(bundle.events(0).params_size(), 1u);
  EXPECT_EQ(bundle.hashed_user_data().field_1(), "x");
  // Setting from a value keeps the caller's object intact.
  EXPECT_EQ(hashed.field_1(), "x");
}

TEST(WireMessageObjects, MovingHandsTheMessageOver) {
  TLMPBEvent event = eventWithItem();
  TLMPBEvent moved(std::move(event));
  EXPECT_EQ(moved.name(), "purchase");
  EXPECT_FALSE(event.has_name());  // NOLINT(bugprone-use-after-move): emptied by contract
  EXPECT_EQ(event.params_size(), 0u);

  TLMPBEvent target;
  target.set_name("old");
  target = std::move(moved);
  EXPECT_EQ(target.name(), "purchase");
  EXPECT_FALSE(moved.has_name());  // NOLINT(bugprone-use-after-move): emptied by contract
  EXPECT_EQ(target.params(0).name(), "items");
}

TEST(WireMessageObjects, PresenceIsKeptAndClearingRemovesTheField) {
  TLMPBUserAttribute attribute;
  EXPECT_FALSE(attribute.has_int_value());
  EXPECT_EQ(attribute.int_value(), 0);
  attribute.set_int_value(0);
  EXPECT_TRUE(attribute.has_int_value());
  attribute.set_string_value("");
  EXPECT_TRUE(attribute.has_string_value());
  EXPECT_EQ(attribute.protoBuffer(), (Bytes{0x1a, 0x00, 0x20, 0x00}));
  attribute.clear_int_value();
  attribute.clear_string_value();
  EXPECT_FALSE(attribute.has_int_value());
  EXPECT_FALSE(attribute.has_string_value());
  EXPECT_EQ(attribute.protoBuffer(), Bytes());

  TLMPBAudienceLeafFilterResult result;
  result.set_previous_data(TLMPBResultData());
  EXPECT_TRUE(result.has_previous_data());
  result.clear_previous_data();
  EXPECT_FALSE(result.has_previous_data());
  EXPECT_EQ(result.previous_data().status_size(), 0u);
}

TEST(WireMessageObjects, TextIsKeptUpToItsFirstNul) {
  TLMPBSetting setting;
  setting.set_value(std::string("before\0after", 12));
  EXPECT_EQ(setting.value(), "before");
  EXPECT_EQ(setting.protoBuffer(), (Bytes{0x12, 0x06, 'b', 'e', 'f', 'o', 'r', 'e'}));
}

TEST(WireMessageObjects, RepeatedFieldsHoldAtMost65535Entries) {
  TLMPBSequenceFilterResultTimestamp timestamps;
  std::vector<std::int64_t> values(65535);
  for (std::size_t index = 0; index < values.size(); ++index) {
    values[index] = static_cast<std::int64_t>(index);
  }
  EXPECT_TRUE(timestamps.set_eval_timestamps(values));
  EXPECT_FALSE(timestamps.add_eval_timestamps(-1));
  EXPECT_EQ(timestamps.eval_timestamps_size(), 65535u);
  EXPECT_EQ(timestamps.eval_timestamps(65534), 65534);
  values.push_back(65535);
  EXPECT_FALSE(timestamps.set_eval_timestamps(values));
  EXPECT_EQ(timestamps.eval_timestamps_size(), 65535u);
  // Within the limit, setting replaces what was there.
  EXPECT_TRUE(timestamps.set_eval_timestamps({7}));
  EXPECT_EQ(timestamps.eval_timestamps(), std::vector<std::int64_t>{7});
}

}  // namespace
