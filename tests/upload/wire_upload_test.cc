// The upload messages against protoc: a batch with every declared field of
// every message encodes to protoc's bytes for the same text fixture, and
// protoc's bytes decode to the same values.
#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <string>

#include "upload/TLMPBUploadMessages.h"
#include "upload/wire_test_support.h"

namespace {

constexpr char kProto[] = "measurement_upload.proto";

TLMPBEventParam stringParam(const std::string& name, const std::string& value) {
  TLMPBEventParam param;
  param.set_name(name);
  param.set_string_value(value);
  return param;
}

TLMPBEventParam intParam(const std::string& name, std::int64_t value) {
  TLMPBEventParam param;
  param.set_name(name);
  param.set_int_value(value);
  return param;
}

TLMPBEventParam doubleParam(const std::string& name, double value) {
  TLMPBEventParam param;
  param.set_name(name);
  param.set_double_value(value);
  return param;
}

TLMPBEvent purchaseEvent() {
  TLMPBEvent event;
  EXPECT_TRUE(event.add_params(stringParam("_o", "auto")));
  EXPECT_TRUE(event.add_params(intParam("value", -42)));
  EXPECT_TRUE(event.add_params(doubleParam("ratio", -0.125)));
  TLMPBEventParam legacy;
  legacy.set_name("legacy");
  legacy.set_reserved_4(1.5f);
  EXPECT_TRUE(event.add_params(legacy));

  TLMPBEventParam first;
  EXPECT_TRUE(first.add_param_value(stringParam("item_name", "Café ☕ 日本")));
  EXPECT_TRUE(first.add_param_value(intParam("quantity", 3)));
  TLMPBEventParam second;
  EXPECT_TRUE(second.add_param_value(doubleParam("price", 9.99)));
  TLMPBEventParam items;
  items.set_name("items");
  EXPECT_TRUE(items.set_param_value({first, second}));
  EXPECT_TRUE(event.add_params(std::move(items)));

  event.set_name("purchase");
  event.set_timestamp_millis(1700000000123);
  event.set_previous_timestamp_millis(1699999999000);
  event.set_reserved_5(-7);
  return event;
}

TLMPBAudienceLeafFilterResult firstAudienceResult() {
  TLMPBResultData current;
  EXPECT_TRUE(current.set_status({1, std::numeric_limits<std::uint64_t>::max()}));
  EXPECT_TRUE(current.add_results(1));
  EXPECT_TRUE(current.add_results(0));
  TLMPBDynamicFilterResultTimestamp dynamic;
  dynamic.set_filter_id(1);
  dynamic.set_timestamp_seconds(1700000000);
  EXPECT_TRUE(current.add_dynamic_filter_timestamps(dynamic));
  dynamic.set_filter_id(-2);
  dynamic.set_timestamp_seconds(-1);
  EXPECT_TRUE(current.add_dynamic_filter_timestamps(dynamic));
  TLMPBSequenceFilterResultTimestamp sequence;
  sequence.set_filter_id(3);
  EXPECT_TRUE(sequence.add_eval_timestamps(1700000000));
  EXPECT_TRUE(sequence.add_eval_timestamps(-2));
  EXPECT_TRUE(current.add_sequence_filter_timestamps(sequence));

  TLMPBResultData previous;
  EXPECT_TRUE(previous.add_status(0));

  TLMPBAudienceLeafFilterResult result;
  result.set_audience_id(5);
  result.set_current_data(current);
  result.set_previous_data(previous);
  result.set_new_audience(false);
  return result;
}

// The content of fixtures/full_batch.txtpb, set field by field.
TLMPBMeasurementBatch fullBatch() {
  TLMPBMeasurementBundle bundle;
  bundle.set_protocol_version(1);
  EXPECT_TRUE(bundle.add_events(purchaseEvent()));
  TLMPBEvent screen;
  screen.set_name("screen_view");
  screen.set_timestamp_millis(-1);
  EXPECT_TRUE(bundle.add_events(screen));

  TLMPBUserAttribute firstOpen;
  firstOpen.set_set_timestamp_millis(1700000000000);
  firstOpen.set_name("_fot");
  firstOpen.set_int_value(1700000000000);
  TLMPBUserAttribute greeting;
  greeting.set_set_timestamp_millis(1700000000001);
  greeting.set_name("greeting");
  greeting.set_string_value("Grüße, Ἀθῆναι");
  TLMPBUserAttribute score;
  score.set_name("score");
  score.set_double_value(-3.5);
  score.set_reserved_5(2.25f);
  EXPECT_TRUE(bundle.set_user_attributes({firstOpen, greeting, score}));

  bundle.set_upload_timestamp_millis(1700000005000);
  bundle.set_start_timestamp_millis(1700000000000);
  bundle.set_end_timestamp_millis(1700000004000);
  bundle.set_previous_bundle_end_timestamp_millis(1699999990000);
  bundle.set_platform("ios");
  bundle.set_os_version("17.5");
  bundle.set_device_model("iPhone15,2");
  bundle.set_user_default_language("fr-ca");
  bundle.set_time_zone_offset_minutes(-300);
  bundle.set_app_store("manual_install");
  bundle.set_app_id("com.example.game");
  bundle.set_reserved_15(-15);
  bundle.set_app_version("2.4.1");
  bundle.set_library_version(80300);
  bundle.set_uploading_library_version(80301);
  bundle.set_resettable_device_id("A1B2C3D4-0000-1111-2222-333344445555");
  bundle.set_limited_ad_tracking(true);
  bundle.set_app_instance_id("0123456789abcdef0123456789abcdef");
  bundle.set_reserved_22(std::numeric_limits<std::int64_t>::max());
  bundle.set_bundle_index(std::numeric_limits<std::int32_t>::max());
  bundle.set_monitoring_sample("{\"sample\":\"é\"}");
  bundle.set_qvr_app_id("1:1234567890:ios:abcdef");
  bundle.set_previous_bundle_start_timestamp_millis(1699999980000);
  bundle.set_vendor_device_id("F0E1D2C3-4444-5555-6666-777788889999");
  bundle.set_reserved_28(false);
  EXPECT_TRUE(bundle.add_audience_evaluation_results(firstAudienceResult()));
  TLMPBAudienceLeafFilterResult newAudience;
  newAudience.set_audience_id(-6);
  newAudience.set_current_data(TLMPBResultData());
  newAudience.set_new_audience(true);
  EXPECT_TRUE(bundle.add_audience_evaluation_results(newAudience));
  bundle.set_installation_id("fid-abc_DEF");
  bundle.set_app_version_major(2);
  bundle.set_app_version_minor(4);
  bundle.set_app_version_release(-1);
  bundle.set_reserved_34("thirty-four");
  bundle.set_config_version(std::numeric_limits<std::int64_t>::min());
  bundle.set_retry_count(3);
  bundle.set_velmora_app_id("vm-app-7");
  EXPECT_TRUE(bundle.set_experiment_ids({17, -1, 2147483648}));
  bundle.set_bundle_checksum(-6148914691236517206);
  bundle.set_reserved_50("fifty");
  bundle.set_consent_signals("G1--");
  bundle.set_att_status(std::numeric_limits<std::uint32_t>::max());
  bundle.set_reserved_55(true);
  bundle.set_reserved_57("fifty-seven");
  bundle.set_reserved_58(false);

  TLMPBAddress address;
  address.set_field_1("1");
  address.set_field_2("2");
  address.set_field_3("3");
  address.set_field_4("4");
  address.set_field_5("5");
  address.set_field_6("6");
  address.set_field_7("Zürich");
  TLMPBHashedUserData hashed;
  hashed.set_field_1("e3b0c442");
  hashed.set_field_2("");
  hashed.set_address(address);
  bundle.set_hashed_user_data(hashed);

  TLMPBMeasurementBundle second;
  second.set_protocol_version(1);
  second.set_app_id("com.example.game");

  TLMPBMeasurementBatch batch;
  EXPECT_TRUE(batch.add_bundles(bundle));
  EXPECT_TRUE(batch.add_bundles(std::move(second)));
  return batch;
}

// Field access is generated per field from one declaration, and decoding
// is checked as a whole by re-encoding; these spot checks cover the value
// kinds the accessors convert: nested repeated messages, UTF-8 text,
// unsigned 64-bit, signed negatives and presence of a false value.
void expectSpotValues(const TLMPBMeasurementBundle& bundle) {
  ASSERT_EQ(bundle.events_size(), 2u);
  const TLMPBEvent event = bundle.events(0);
  ASSERT_EQ(event.params_size(), 5u);
  EXPECT_EQ(event.params(1).int_value(), -42);
  EXPECT_FALSE(event.params(1).has_string_value());
  EXPECT_EQ(event.params(3).reserved_4(), 1.5f);
  const std::vector<TLMPBEventParam> entries = event.params(4).param_value();
  ASSERT_EQ(entries.size(), 2u);
  EXPECT_EQ(entries[0].param_value(0).string_value(), "Café ☕ 日本");
  EXPECT_EQ(entries[1].param_value(0).double_value(), 9.99);
  EXPECT_EQ(bundle.user_attributes()[1].string_value(), "Grüße, Ἀθῆναι");
  EXPECT_EQ(bundle.audience_evaluation_results(0).current_data().status(),
            (std::vector<std::uint64_t>{1, std::numeric_limits<std::uint64_t>::max()}));
  EXPECT_EQ(bundle.config_version(), std::numeric_limits<std::int64_t>::min());
  EXPECT_EQ(bundle.att_status(), std::numeric_limits<std::uint32_t>::max());
  EXPECT_TRUE(bundle.has_reserved_28());
  EXPECT_FALSE(bundle.reserved_28());
  EXPECT_TRUE(bundle.hashed_user_data().has_field_2());
  EXPECT_EQ(bundle.hashed_user_data().address().field_7(), "Zürich");
}

class UploadWireFormat : public ::testing::Test {
 protected:
  static const Bytes& protocBatch() {
    static const Bytes bytes = protocEncodeFixture("MeasurementBatch", kProto, "full_batch.txtpb");
    return bytes;
  }
};

TEST_F(UploadWireFormat, FullBatchEncodesToProtocBytes) {
  const std::optional<Bytes> encoded = fullBatch().protoBuffer();
  ASSERT_TRUE(encoded.has_value());
  EXPECT_EQ(*encoded, protocBatch()) << "ours decodes as:\n"
                                     << protocDecode("MeasurementBatch", kProto, *encoded);
}

TEST_F(UploadWireFormat, ProtocBatchDecodesToTheSameValues) {
  Error error;
  const std::optional<TLMPBMeasurementBatch> batch =
      TLMPBMeasurementBatch::initWithBuffer(protocBatch(), &error);
  ASSERT_TRUE(batch.has_value()) << error.toString();
  ASSERT_EQ(batch->bundles_size(), 2u);
  EXPECT_EQ(*batch, fullBatch());
  expectSpotValues(batch->bundles(0));
  const TLMPBMeasurementBundle second = batch->bundles(1);
  EXPECT_EQ(second.app_id(), "com.example.game");
  EXPECT_FALSE(second.has_retry_count());
  EXPECT_EQ(second.retry_count(), 0);
  EXPECT_FALSE(second.has_app_store());
  EXPECT_FALSE(second.has_hashed_user_data());
  EXPECT_EQ(second.events_size(), 0u);
  EXPECT_EQ(batch->protoBuffer(), protocBatch());
}

TEST_F(UploadWireFormat, StoredBundleAndEventRoundTripOnTheirOwn) {
  const TLMPBMeasurementBundle bundle = fullBatch().bundles(0);
  const std::optional<Bytes> bytes = bundle.protoBuffer();
  ASSERT_TRUE(bytes.has_value());
  const std::optional<TLMPBMeasurementBundle> decoded =
      TLMPBMeasurementBundle::initWithBuffer(*bytes);
  ASSERT_TRUE(decoded.has_value());
  EXPECT_EQ(*decoded, bundle);
  expectSpotValues(*decoded);

  const std::optional<Bytes> eventBytes = purchaseEvent().protoBuffer();
  ASSERT_TRUE(eventBytes.has_value());
  const std::optional<TLMPBEvent> event = TLMPBEvent::initWithBuffer(*eventBytes);
  ASSERT_TRUE(event.has_value());
  EXPECT_EQ(*event, purchaseEvent());
}

TEST_F(UploadWireFormat, FieldsAreWrittenInAscendingTagOrderWhateverTheSettingOrder) {
  TLMPBMeasurementBundle reversed;
  reversed.set_consent_signals("G1--");
  reversed.set_retry_count(2);
  reversed.set_app_id("a");
  reversed.set_protocol_version(1);
  const Bytes expected = {0x08, 0x01,                             // 1: protocol_version
                          0x72, 0x01, 'a',                        // 14: app_id
                          0xb8, 0x02, 0x02,                       // 39: retry_count
                          0xa2, 0x03, 0x04, 'G', '1', '-', '-'};  // 52: consent_signals
  EXPECT_EQ(reversed.protoBuffer(), expected);
}

TEST_F(UploadWireFormat, PackedRepeatedNumbersFromOtherEncodersAreAccepted) {
  // experiment_ids (45) packed: key 45<<3|2, length 2, values 7 and 8.
  const Bytes packed = {0xea, 0x02, 0x02, 0x07, 0x08};
  const std::optional<TLMPBMeasurementBundle> bundle =
      TLMPBMeasurementBundle::initWithBuffer(packed);
  ASSERT_TRUE(bundle.has_value());
  EXPECT_EQ(bundle->experiment_ids(), (std::vector<std::int64_t>{7, 8}));
}

TEST_F(UploadWireFormat, UndeclaredTagsAreDroppedAtEveryLevel) {
  Bytes withUnknown = protocBatch();
  // Unknown fields at the top: a varint (36 is unused in a bundle, and
  // undeclared in a batch), a long string (100) and a fixed64 (1000).
  wireAppendVarint(&withUnknown, (36u << 3) | 0);
  wireAppendVarint(&withUnknown, 12345);
  wireAppendDelimited(&withUnknown, 100, Bytes(5000, 'x'));
  wireAppendVarint(&withUnknown, (1000u << 3) | 1);
  withUnknown.insert(withUnknown.end(), 8, 0xab);
  // A bundle carrying the unused tags 36 and 56 and an event with tag 9.
  Bytes event;
  wireAppendDelimited(&event, 2, Bytes{'x'});
  wireAppendVarint(&event, (9u << 3) | 0);
  wireAppendVarint(&event, 1);
  Bytes bundle;
  wireAppendVarint(&bundle, (36u << 3) | 0);
  wireAppendVarint(&bundle, 99);
  wireAppendDelimited(&bundle, 2, event);
  wireAppendVarint(&bundle, (56u << 3) | 5);
  bundle.insert(bundle.end(), 4, 0x01);
  wireAppendDelimited(&withUnknown, 1, bundle);

  const std::optional<TLMPBMeasurementBatch> batch =
      TLMPBMeasurementBatch::initWithBuffer(withUnknown);
  ASSERT_TRUE(batch.has_value());
  ASSERT_EQ(batch->bundles_size(), 3u);
  EXPECT_EQ(batch->bundles(0), fullBatch().bundles(0));
  Bytes expected = protocBatch();
  // What survives of the third bundle: only its event's name.
  Bytes keptEvent;
  wireAppendDelimited(&keptEvent, 2, Bytes{'x'});
  Bytes keptBundle;
  wireAppendDelimited(&keptBundle, 2, keptEvent);
  wireAppendDelimited(&expected, 1, keptBundle);
  EXPECT_EQ(batch->protoBuffer(), expected);
}

}  // namespace
