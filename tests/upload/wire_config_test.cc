// The configuration and program messages against protoc: a configuration
// with every declared field of every message encodes to protoc's bytes for
// the same text fixture, and protoc's bytes decode to the same values.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "upload/TLMPBConfigMessages.h"
#include "upload/wire_test_support.h"

namespace {

constexpr char kProto[] = "measurement_config.proto";

TLMPBRuntimeEntity literal(std::uint32_t type) {
  TLMPBRuntimeEntity entity;
  entity.set_type(type);
  return entity;
}

TLMPBRuntimeEntity stringEntity(const std::string& value) {
  TLMPBRuntimeEntity entity = literal(1);
  entity.set_string_value(value);
  return entity;
}

TLMPBRuntimeEntity booleanEntity(bool value) {
  TLMPBRuntimeEntity entity = literal(3);
  entity.set_boolean_value(value);
  return entity;
}

TLMPBProgram fullProgram() {
  TLMPBRuntimeEntity inner = literal(4);
  inner.set_function_name("15");
  TLMPBRuntimeEntity number = literal(2);
  number.set_number_value(-2.5);
  EXPECT_TRUE(inner.set_value({number, booleanEntity(true), stringEntity("ζωή")}));
  TLMPBRuntimeEntity statement = literal(4);
  statement.set_function_name("50");
  EXPECT_TRUE(statement.add_value(stringEntity("rename")));
  EXPECT_TRUE(statement.add_value(std::move(inner)));

  TLMPBPqtActivity rename;
  rename.set_name("rename");
  EXPECT_TRUE(rename.add_data(stringEntity("rule")));
  EXPECT_TRUE(rename.add_data(booleanEntity(false)));
  TLMPBPqtActivity empty;
  empty.set_name("empty");
  TLMPBPqtActivities activities;
  EXPECT_TRUE(activities.set_activities({rename, empty}));

  TLMPBProgram program;
  EXPECT_TRUE(program.add_instructions(statement));
  EXPECT_TRUE(program.add_instructions(literal(2)));
  program.set_pqt_activities(activities);
  return program;
}

TLMPBAudience fullAudience() {
  TLMPBNumberFilter between;
  between.set_comparison_type(4);
  between.set_match_as_float(true);
  between.set_min_comparison_value("-1.5");
  between.set_max_comparison_value("10");
  TLMPBFilter levelFilter;
  levelFilter.set_number_filter(between);
  levelFilter.set_complement(true);
  TLMPBPropertyFilter property;
  property.set_filter_id(1);
  property.set_property_name("level");
  property.set_filter(levelFilter);
  property.set_dynamic(true);
  property.set_sequence(false);
  property.set_session_scoped(true);

  TLMPBStringFilter inList;
  inList.set_match_type(6);
  inList.set_expression("ignored");
  inList.set_case_sensitive(false);
  EXPECT_TRUE(inList.set_expression_list({"Über", "straße"}));
  TLMPBFilter nameFilter;
  nameFilter.set_string_filter(inList);
  nameFilter.set_param_name("item_name");
  TLMPBNumberFilter positive;
  positive.set_comparison_type(2);
  positive.set_comparison_value("0");
  TLMPBFilter valueFilter;
  valueFilter.set_number_filter(positive);
  valueFilter.set_complement(false);
  valueFilter.set_param_name("value");
  TLMPBNumberFilter threeTimes;
  threeTimes.set_comparison_type(3);
  threeTimes.set_comparison_value("3");
  TLMPBEventFilter event;
  event.set_filter_id(2);
  event.set_event_name("purchase");
  EXPECT_TRUE(event.add_filters(nameFilter));
  EXPECT_TRUE(event.add_filters(valueFilter));
  event.set_reserved_4(true);
  event.set_event_count_filter(threeTimes);
  event.set_dynamic(false);
  event.set_sequence(true);
  event.set_session_scoped(false);

  TLMPBAudience audience;
  audience.set_audience_id(7);
  EXPECT_TRUE(audience.add_property_filters(property));
  EXPECT_TRUE(audience.add_event_filters(event));
  audience.set_reserved_4(false);
  audience.set_reserved_5(true);
  return audience;
}

// The content of fixtures/full_config.txtpb, set field by field.
TLMPBMeasurementConfig fullConfig() {
  TLMPBMeasurementConfig config;
  config.set_version(1700000000123456);
  config.set_qvr_app_id("1:1234567890:ios:abcdef");
  config.set_reserved_3(-3);
  TLMPBSetting maxBundles;
  maxBundles.set_name("measurement.upload.max_bundles");
  maxBundles.set_value("100");
  TLMPBSetting blocklist;
  blocklist.set_name("measurement.upload.blacklist_public");
  blocklist.set_value("Ünïcødé,événement");
  EXPECT_TRUE(config.set_settings({maxBundles, blocklist}));

  TLMPBEventConfig purchase;
  purchase.set_name("purchase");
  purchase.set_is_blocklisted(false);
  purchase.set_is_custom_conversion(true);
  purchase.set_sampling_rate(65535);
  TLMPBEventConfig noisy;
  noisy.set_name("noisy");
  noisy.set_is_blocklisted(true);
  noisy.set_sampling_rate(-1);
  EXPECT_TRUE(config.add_event_config(purchase));
  EXPECT_TRUE(config.add_event_config(noisy));

  EXPECT_TRUE(config.add_audiences(fullAudience()));
  TLMPBAudience second;
  second.set_audience_id(-8);
  EXPECT_TRUE(config.add_audiences(second));
  config.set_velmora_app_id("vm-app-7");
  config.set_reserved_8(true);
  EXPECT_TRUE(config.add_dynamic_event_editing(fullProgram()));
  EXPECT_TRUE(config.add_dynamic_event_editing(TLMPBProgram()));
  return config;
}

// Field access is generated per field from one declaration, and decoding
// is checked as a whole by re-encoding; these spot checks cover the value
// kinds the accessors convert: nested programs, repeated text, UTF-8,
// negative numbers and presence of a false value.
void expectSpotValues(const TLMPBMeasurementConfig& config) {
  EXPECT_EQ(config.version(), 1700000000123456);
  EXPECT_EQ(config.settings(1).value(), "Ünïcødé,événement");
  const TLMPBEventConfig purchase = config.event_config(0);
  EXPECT_TRUE(purchase.has_is_blocklisted());
  EXPECT_FALSE(purchase.is_blocklisted());
  EXPECT_EQ(purchase.sampling_rate(), 65535);
  EXPECT_FALSE(config.event_config(1).has_is_custom_conversion());
  EXPECT_EQ(config.event_config(1).sampling_rate(), -1);
  const TLMPBStringFilter inList = config.audiences(0).event_filters(0).filters(0).string_filter();
  EXPECT_EQ(inList.expression_list(), (std::vector<std::string>{"Über", "straße"}));
  EXPECT_EQ(config.audiences(1).audience_id(), -8);
  const TLMPBRuntimeEntity inner = config.dynamic_event_editing(0).instructions(0).value(1);
  ASSERT_EQ(inner.value_size(), 3u);
  EXPECT_EQ(inner.value(0).number_value(), -2.5);
  EXPECT_EQ(inner.value(2).string_value(), "ζωή");
  EXPECT_FALSE(config.dynamic_event_editing(0).instructions(1).has_number_value());
  EXPECT_FALSE(config.dynamic_event_editing(1).has_pqt_activities());
}

class ConfigWireFormat : public ::testing::Test {
 protected:
  static const Bytes& protocConfig() {
    static const Bytes bytes =
        protocEncodeFixture("MeasurementConfig", kProto, "full_config.txtpb");
    return bytes;
  }
};

TEST_F(ConfigWireFormat, FullConfigEncodesToProtocBytes) {
  const std::optional<Bytes> encoded = fullConfig().protoBuffer();
  ASSERT_TRUE(encoded.has_value());
  EXPECT_EQ(*encoded, protocConfig()) << "ours decodes as:\n"
                                      << protocDecode("MeasurementConfig", kProto, *encoded);
}

TEST_F(ConfigWireFormat, ProtocConfigDecodesToTheSameValues) {
  Error error;
  const std::optional<TLMPBMeasurementConfig> config =
      TLMPBMeasurementConfig::initWithBuffer(protocConfig(), &error);
  ASSERT_TRUE(config.has_value()) << error.toString();
  EXPECT_EQ(*config, fullConfig());
  expectSpotValues(*config);
  EXPECT_EQ(config->protoBuffer(), protocConfig());
}

TEST_F(ConfigWireFormat, FiltersAndProgramsEncodeAndDecodeOnTheirOwn) {
  const std::optional<TLMPBMeasurementConfig> config =
      TLMPBMeasurementConfig::initWithBuffer(protocConfig());
  ASSERT_TRUE(config.has_value());
  const TLMPBAudience audience = config->audiences(0);

  const std::optional<Bytes> eventBytes = audience.event_filters(0).protoBuffer();
  ASSERT_TRUE(eventBytes.has_value());
  const std::optional<TLMPBEventFilter> event = TLMPBEventFilter::initWithBuffer(*eventBytes);
  ASSERT_TRUE(event.has_value());
  const std::optional<Bytes> propertyBytes = audience.property_filters(0).protoBuffer();
  ASSERT_TRUE(propertyBytes.has_value());
  const std::optional<TLMPBPropertyFilter> property =
      TLMPBPropertyFilter::initWithBuffer(*propertyBytes);
  ASSERT_TRUE(property.has_value());

  // Put back together from the separately stored pieces, the audience is
  // the one protoc encoded.
  TLMPBAudience rebuilt;
  rebuilt.set_audience_id(7);
  EXPECT_TRUE(rebuilt.add_property_filters(*property));
  EXPECT_TRUE(rebuilt.add_event_filters(*event));
  rebuilt.set_reserved_4(false);
  rebuilt.set_reserved_5(true);
  EXPECT_EQ(rebuilt, audience);
  EXPECT_EQ(rebuilt, fullAudience());

  const std::optional<Bytes> programBytes = config->dynamic_event_editing(0).protoBuffer();
  ASSERT_TRUE(programBytes.has_value());
  const std::optional<TLMPBProgram> program = TLMPBProgram::initWithBuffer(*programBytes);
  ASSERT_TRUE(program.has_value());
  EXPECT_EQ(*program, fullProgram());
}

TEST_F(ConfigWireFormat, AbsentSamplingRateIsNotARateOfZero) {
  TLMPBEventConfig zero;
  zero.set_name("e");
  zero.set_sampling_rate(0);
  const std::optional<TLMPBEventConfig> withZero =
      TLMPBEventConfig::initWithBuffer(zero.protoBuffer().value());
  ASSERT_TRUE(withZero.has_value());
  EXPECT_TRUE(withZero->has_sampling_rate());
  EXPECT_EQ(withZero->sampling_rate(), 0);

  zero.clear_sampling_rate();
  const Bytes nameOnly = {0x0a, 0x01, 'e'};
  EXPECT_EQ(zero.protoBuffer(), nameOnly);
  const std::optional<TLMPBEventConfig> without = TLMPBEventConfig::initWithBuffer(nameOnly);
  ASSERT_TRUE(without.has_value());
  EXPECT_FALSE(without->has_sampling_rate());
}

}  // namespace
