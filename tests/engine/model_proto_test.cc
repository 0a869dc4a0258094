// The model's wire messages: TLMEvent to and from TLMPBEvent (byte-exact
// encoding, round trips through bytes, the decode reports, stored-row
// overrides), TLMUserAttribute to TLMPBUserAttribute, the seconds to
// milliseconds conversion and the refusal of non-finite times.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <optional>
#include <string>
#include <vector>

#include "engine/TLMEvent.h"
#include "engine/TLMTime.h"
#include "engine/TLMUserAttribute.h"
#include "support/MonitorReportsTest.h"
#include "upload/TLMPBUploadMessages.h"

namespace {

using EventProtoTest = MonitorReportsTest;

constexpr std::int64_t kMaxMillis = std::numeric_limits<std::int64_t>::max();
constexpr std::int64_t kMinMillis = std::numeric_limits<std::int64_t>::min();
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInfinity = std::numeric_limits<double>::infinity();
constexpr double kEpsilon = std::numeric_limits<double>::epsilon();

Object key(const char* name) { return Object(name); }
Object str(std::string text) { return TLMValue::fromString(std::move(text))->asObject(); }
Object integer(std::int64_t value) { return TLMValue::initWithInt64(value)->asObject(); }
Object dbl(double value) { return TLMValue::initWithDouble(value)->asObject(); }
Object item(ObjectDictionary entries) { return Object::dictionary(std::move(entries)); }
TLMValuePtr array(ObjectArray items) { return TLMValue::fromArray(std::move(items)); }

// Encodes and decodes again, as storage and upload do.
TLMPBEvent throughBytes(const TLMPBEvent& proto) {
  std::optional<Bytes> bytes = proto.protoBuffer();
  EXPECT_TRUE(bytes.has_value());
  std::optional<TLMPBEvent> decoded = TLMPBEvent::initWithBuffer(bytes.value_or(Bytes()));
  EXPECT_TRUE(decoded.has_value());
  return decoded ? std::move(*decoded) : TLMPBEvent();
}

TLMPBEventParam stringParam(const char* name, const char* value) {
  TLMPBEventParam param;
  param.set_name(name);
  param.set_string_value(value);
  return param;
}

TLMPBEventParam intParam(const char* name, std::int64_t value) {
  TLMPBEventParam param;
  param.set_name(name);
  param.set_int_value(value);
  return param;
}

// A stored-style message: name cleared, origin "app" first, then `params`.
TLMPBEvent storedProto(std::vector<TLMPBEventParam> params, std::int64_t timestampMillis = 5000) {
  TLMPBEvent proto;
  EXPECT_TRUE(proto.add_params(stringParam("_o", "app")));
  for (TLMPBEventParam& param : params) EXPECT_TRUE(proto.add_params(std::move(param)));
  proto.set_timestamp_millis(timestampMillis);
  return proto;
}

std::int64_t previousMillisOf(double previousTimestamp) {
  TLMEventPtr event = TLMEvent::initWithOrigin("app", false, "_e", 10, previousTimestamp, {});
  EXPECT_NE(event, nullptr);
  if (event == nullptr) return -1;
  TLMPBEvent proto = event->protoEvent();
  return proto.has_previous_timestamp_millis() ? proto.previous_timestamp_millis() : -1;
}

// ---- Encoding

TEST_F(EventProtoTest, EncodesByteExactlyInDictionaryOrder) {
  TLMEventPtr event =
      TLMEvent::initWithOrigin("app", false, "_e", 1.5, 0.25, {{key("n"), Object::integer(150)}});
  ASSERT_NE(event, nullptr);
  // Arrays are kept by sanitising only for ecommerce events; set directly.
  event->setParameterValue("items", array({item({{key("id"), str("x")}})}));

  std::optional<Bytes> bytes = event->protoEvent().protoBuffer();
  ASSERT_TRUE(bytes);
  const Bytes expected = {// params: "_o" = "app"
                          0x0A, 0x09, 0x0A, 0x02, '_', 'o', 0x12, 0x03, 'a', 'p', 'p',
                          // params: "items" without a value; one unnamed item holding "id" = "x"
                          0x0A, 0x12, 0x0A, 0x05, 'i', 't', 'e', 'm', 's', 0x32, 0x09, 0x32, 0x07,
                          0x0A, 0x02, 'i', 'd', 0x12, 0x01, 'x',
                          // params: "n" = 150
                          0x0A, 0x06, 0x0A, 0x01, 'n', 0x18, 0x96, 0x01,
                          // name, timestamp 1500 ms, previous timestamp 250 ms
                          0x12, 0x02, '_', 'e', 0x18, 0xDC, 0x0B, 0x20, 0xFA, 0x01};
  EXPECT_EQ(*bytes, expected);
}

TEST_F(EventProtoTest, TimesBecomeTruncatedMilliseconds) {
  TLMEventPtr event = TLMEvent::initWithOrigin("app", false, "_e", 2.0019, 1.9999, {});
  ASSERT_NE(event, nullptr);
  TLMPBEvent proto = event->protoEvent();
  EXPECT_EQ(proto.timestamp_millis(), 2001);
  EXPECT_EQ(proto.previous_timestamp_millis(), 1999);
  EXPECT_EQ(proto.name(), "_e");
}

TEST_F(EventProtoTest, PreviousTimestampIsWrittenOnlyAboveTheDoubleEpsilon) {
  EXPECT_EQ(previousMillisOf(0), -1);
  EXPECT_EQ(previousMillisOf(kEpsilon), -1);
  EXPECT_EQ(previousMillisOf(-3), -1);
  EXPECT_EQ(previousMillisOf(2 * kEpsilon), 0);
  EXPECT_EQ(previousMillisOf(0.001), 1);
  EXPECT_EQ(previousMillisOf(9.5), 9500);
}

TEST_F(EventProtoTest, MillisecondConversionIsDefinedForEveryDouble) {
  EXPECT_EQ(tlm_millisecondsFromSeconds(kNaN), 0);
  EXPECT_EQ(tlm_millisecondsFromSeconds(kInfinity), kMaxMillis);
  EXPECT_EQ(tlm_millisecondsFromSeconds(-kInfinity), kMinMillis);
  EXPECT_EQ(tlm_millisecondsFromSeconds(1e300), kMaxMillis);
  EXPECT_EQ(tlm_millisecondsFromSeconds(-1e300), kMinMillis);
  EXPECT_EQ(tlm_millisecondsFromSeconds(std::numeric_limits<double>::max()), kMaxMillis);
  // Just past the int64 range in milliseconds, and just inside it.
  EXPECT_EQ(tlm_millisecondsFromSeconds(1e16), kMaxMillis);
  EXPECT_EQ(tlm_millisecondsFromSeconds(-1e16), kMinMillis);
  EXPECT_EQ(tlm_millisecondsFromSeconds(9e15), 9'000'000'000'000'000'000);
  EXPECT_EQ(tlm_millisecondsFromSeconds(-9e15), -9'000'000'000'000'000'000);
  // Toward zero on both sides.
  EXPECT_EQ(tlm_millisecondsFromSeconds(1.9999), 1999);
  EXPECT_EQ(tlm_millisecondsFromSeconds(-0.0015), -1);
  EXPECT_EQ(tlm_millisecondsFromSeconds(-0.0), 0);
  EXPECT_EQ(tlm_secondsFromMilliseconds(1500), 1.5);
  EXPECT_EQ(tlm_secondsFromMilliseconds(-250), -0.25);
}

TEST_F(EventProtoTest, HugeFiniteTimesAreClampedNotUndefined) {
  TLMEventPtr event = TLMEvent::initWithOrigin("app", false, "_e", 1e300, 1e299, {});
  ASSERT_NE(event, nullptr);
  TLMPBEvent proto = event->protoEvent();
  EXPECT_EQ(proto.timestamp_millis(), kMaxMillis);
  EXPECT_EQ(proto.previous_timestamp_millis(), kMaxMillis);
  TLMEventPtr back = TLMEvent::initWithEventProto(throughBytes(proto));
  ASSERT_NE(back, nullptr);
  EXPECT_EQ(back->timestamp(), static_cast<double>(kMaxMillis) / 1000.0);

  TLMEventPtr early = TLMEvent::initWithOrigin("app", false, "_e", -1e300, 0, {});
  ASSERT_NE(early, nullptr);
  EXPECT_EQ(early->protoEvent().timestamp_millis(), kMinMillis);
}

// ---- Round trips

TEST_F(EventProtoTest, RoundTripThroughBytesKeepsEveryKindOfParameter) {
  TLMEventPtr event = TLMEvent::initWithOrigin(
      "ads_sdk+wkl", false, "purchase", 1700000000.5, 1699999999.25,
      {{key("currency"), Object("EUR")},
       {key("value"), Object::floating(9.75)},
       {key("quantity"), Object::integer(3)},
       {key("negative"), Object::integer(-7)},
       {key("big"), Object::integer(std::numeric_limits<std::int64_t>::min())},
       {key("ratio"), Object::floating(-0.125)},
       {key("hero"), Object("Zoë")}});
  ASSERT_NE(event, nullptr);
  event->setConversion(true);
  event->setRealtime(true);
  ASSERT_TRUE(event->conversion());
  // Items with every kind, an empty item, and an array inside an item.
  event->setParameterValue(
      "items",
      array({item({{key("item_id"), str("sku-1")},
                   {key("price"), dbl(1.5)},
                   {key("quantity"), integer(2)}}),
             item({}),
             item({{key("item_id"), str("sku-2")},
                   {key("bundle"), array({item({{key("part"), integer(9)}})})->asObject()}})}));
  event->setParameterValue("empty", array({}));

  TLMEventPtr back = TLMEvent::initWithEventProto(throughBytes(event->protoEvent()));
  ASSERT_NE(back, nullptr);
  EXPECT_EQ(back->origin(), "ads_sdk+wkl");
  EXPECT_EQ(back->name(), "purchase");
  EXPECT_EQ(back->timestamp(), 1700000000.5);
  EXPECT_EQ(back->previousTimestamp(), 1699999999.25);
  EXPECT_EQ(back->parameters(), event->parameters());
  EXPECT_TRUE(back->conversion());
  EXPECT_TRUE(back->realtime());

  // Spot checks, so that the comparison above cannot pass vacuously.
  TLMValuePtr items = back->parameterValue("items");
  ASSERT_NE(items, nullptr);
  ASSERT_TRUE(items->isArray());
  ASSERT_EQ(items->arrayValue()->size(), 3u);
  const ObjectDictionary& first = *(*items->arrayValue())[0].asDictionary();
  TLMValuePtr price = TLMValue::fromObject(first.at(key("price")));
  ASSERT_NE(price, nullptr);
  EXPECT_TRUE(price->isDouble());
  EXPECT_EQ(price->doubleValue(), 1.5);
  EXPECT_TRUE((*items->arrayValue())[1].asDictionary()->empty());
  EXPECT_EQ(back->parameterValue("big")->int64Value(), std::numeric_limits<std::int64_t>::min());
  EXPECT_TRUE(back->parameterValue("empty")->isArray());
  EXPECT_TRUE(back->parameterValue("empty")->arrayValue()->empty());
  EXPECT_EQ(sampledCount(), 0);
  EXPECT_TRUE(printed().empty());
}

TEST_F(EventProtoTest, IntegerAndDoubleKindsSurviveTheRoundTrip) {
  TLMEventPtr event =
      TLMEvent::initWithOrigin("app", false, "_e", 1, 0,
                               {{key("i"), Object::integer(1)}, {key("d"), Object::floating(1.0)}});
  ASSERT_NE(event, nullptr);
  TLMEventPtr back = TLMEvent::initWithEventProto(throughBytes(event->protoEvent()));
  ASSERT_NE(back, nullptr);
  EXPECT_TRUE(back->parameterValue("i")->isInt64());
  EXPECT_TRUE(back->parameterValue("d")->isDouble());
  EXPECT_EQ(back->previousTimestamp(), 0);
}

// ---- Decoding stored events

TEST_F(EventProtoTest, StoredRowSuppliesNameAndTimestamp) {
  TLMPBEvent proto = storedProto({intParam("n", 4)}, 5000);
  proto.set_previous_timestamp_millis(4000);

  TLMEventPtr event = TLMEvent::initWithEventProto(throughBytes(proto), "_s", 42.5);
  ASSERT_NE(event, nullptr);
  EXPECT_EQ(event->name(), "_s");
  EXPECT_EQ(event->timestamp(), 42.5);
  EXPECT_EQ(event->previousTimestamp(), 4.0);
  EXPECT_EQ(event->origin(), "app");
  EXPECT_EQ(event->parameterValue("n")->int64Value(), 4);

  // Only the name from the row: the message's time stays.
  TLMEventPtr named = TLMEvent::initWithEventProto(proto, "_s");
  ASSERT_NE(named, nullptr);
  EXPECT_EQ(named->timestamp(), 5.0);

  // A cleared name without a row name is no event.
  EXPECT_EQ(TLMEvent::initWithEventProto(proto), nullptr);
  // The row's values win over the message's.
  proto.set_name("_e");
  TLMEventPtr fromMessage = TLMEvent::initWithEventProto(proto);
  ASSERT_NE(fromMessage, nullptr);
  EXPECT_EQ(fromMessage->name(), "_e");
  TLMEventPtr fromRow = TLMEvent::initWithEventProto(proto, "_ab");
  ASSERT_NE(fromRow, nullptr);
  EXPECT_EQ(fromRow->name(), "_ab");
  // A corrupt row time is refused like any other.
  EXPECT_EQ(TLMEvent::initWithEventProto(proto, "_e", kNaN), nullptr);
}

TEST_F(EventProtoTest, StoredEventsAreNeitherCheckedAsPublicNorSanitisedAgain) {
  // Logged while the parameter limit was 100; the limit is 25 now.
  std::vector<TLMPBEventParam> params;
  for (int index = 0; index < 30; ++index) {
    params.push_back(intParam(("p" + std::to_string(10 + index)).c_str(), index));
  }
  params.push_back(intParam("_err", 4));
  TLMEventPtr event = TLMEvent::initWithEventProto(storedProto(std::move(params)), "level_up");
  ASSERT_NE(event, nullptr);
  EXPECT_EQ(event->parameters().size(), 32u);
  EXPECT_EQ(event->parameterValue("_err")->int64Value(), 4);
  EXPECT_TRUE(printedWithCode(18017).empty());

  // Internal names would fail the public-name check.
  EXPECT_NE(TLMEvent::initWithEventProto(storedProto({}), "_s"), nullptr);
  EXPECT_NE(TLMEvent::initWithEventProto(storedProto({}), "_e"), nullptr);
  // The origin and name checks still hold.
  TLMPBEvent badOrigin;
  ASSERT_TRUE(badOrigin.add_params(stringParam("_o", "my app")));
  EXPECT_EQ(TLMEvent::initWithEventProto(badOrigin, "_e", 1), nullptr);
  EXPECT_EQ(TLMEvent::initWithEventProto(storedProto({}), "a.b"), nullptr);
}

TEST_F(EventProtoTest, MissingOriginFailsTheDecode) {
  TLMPBEvent proto;
  ASSERT_TRUE(proto.add_params(intParam("n", 1)));
  EXPECT_EQ(TLMEvent::initWithEventProto(proto, "_e", 1), nullptr);
}

TEST_F(EventProtoTest, ParameterWithoutNameIsSkippedAndReported) {
  TLMPBEventParam nameless;
  nameless.set_string_value("lost");
  TLMEventPtr event =
      TLMEvent::initWithEventProto(storedProto({intParam("kept", 1), std::move(nameless)}), "_e");
  ASSERT_NE(event, nullptr);
  EXPECT_EQ(event->parameters().size(), 2u);
  EXPECT_TRUE(event->hasParameter("kept"));
  EXPECT_TRUE(sampledOnly("Ignoring parameter. Parameter name is nil. Event name"));

  // An empty name is treated the same.
  TLMEventPtr empty = TLMEvent::initWithEventProto(storedProto({intParam("", 1)}), "_e");
  ASSERT_NE(empty, nullptr);
  EXPECT_EQ(empty->parameters().size(), 1u);
  EXPECT_EQ(sampledCount(), 2);
}

TEST_F(EventProtoTest, NonStringOriginFailsTheDecode) {
  TLMPBEvent proto;
  ASSERT_TRUE(proto.add_params(intParam("_o", 5)));
  EXPECT_EQ(TLMEvent::initWithEventProto(proto, "_e", 1), nullptr);
  EXPECT_TRUE(sampledOnly(
      "Cannot create an event from event proto. Origin parameter is not a string. Event name"));

  TLMPBEvent doubleOrigin;
  TLMPBEventParam origin;
  origin.set_name("_o");
  origin.set_double_value(1);
  ASSERT_TRUE(doubleOrigin.add_params(std::move(origin)));
  EXPECT_EQ(TLMEvent::initWithEventProto(doubleOrigin, "_e", 1), nullptr);
  // An array "_o" (a parameter without a value of its own).
  TLMPBEvent arrayOrigin;
  TLMPBEventParam arrayParam;
  arrayParam.set_name("_o");
  ASSERT_TRUE(arrayOrigin.add_params(std::move(arrayParam)));
  EXPECT_EQ(TLMEvent::initWithEventProto(arrayOrigin, "_e", 1), nullptr);
  EXPECT_EQ(sampledCount(), 3);
}

TEST_F(EventProtoTest, ParameterOfUnknownKindIsSkippedAndReported) {
  TLMPBEventParam floating;
  floating.set_name("f");
  floating.set_reserved_4(1.5f);
  TLMEventPtr event =
      TLMEvent::initWithEventProto(storedProto({std::move(floating), intParam("kept", 1)}), "_e");
  ASSERT_NE(event, nullptr);
  EXPECT_FALSE(event->hasParameter("f"));
  EXPECT_TRUE(event->hasParameter("kept"));
  EXPECT_TRUE(
      sampledOnly("Unknown event parameter type from converting an event proto into "
                  "TLMEvent instance. Event param name"));
}

TEST_F(EventProtoTest, ArrayEntryWithAValueOfItsOwnIsNotAnItem) {
  TLMPBEventParam goodItem;
  ASSERT_TRUE(goodItem.add_param_value(stringParam("item_id", "a")));
  TLMPBEventParam items;
  items.set_name("items");
  ASSERT_TRUE(items.add_param_value(std::move(goodItem)));
  ASSERT_TRUE(items.add_param_value(intParam("stray", 3)));
  TLMEventPtr event = TLMEvent::initWithEventProto(storedProto({std::move(items)}), "purchase");
  ASSERT_NE(event, nullptr);
  TLMValuePtr value = event->parameterValue("items");
  ASSERT_NE(value, nullptr);
  ASSERT_TRUE(value->isArray());
  ASSERT_EQ(value->arrayValue()->size(), 1u);
  EXPECT_EQ(*(*value->arrayValue())[0].asDictionary(),
            (ObjectDictionary{{key("item_id"), str("a")}}));
  EXPECT_TRUE(
      sampledOnly("Unknown event parameter type from converting an event proto into "
                  "TLMEvent instance. Event param name"));
}

// ---- Non-finite times

TEST_F(EventProtoTest, NonFiniteEventTimesAreRefused) {
  EXPECT_EQ(TLMEvent::initWithOrigin("app", false, "_e", kNaN, 0, {}), nullptr);
  EXPECT_EQ(onePrinted(16005),
            "Failed to create event. Received timestamp that is not a finite number. Event name: "
            "_e");
  EXPECT_EQ(TLMEvent::initWithOrigin("app", false, "_e", kInfinity, 0, {}), nullptr);
  EXPECT_EQ(TLMEvent::initWithOrigin("app", false, "_e", -kInfinity, 0, {}), nullptr);
  EXPECT_EQ(TLMEvent::initWithOrigin("app", false, "_e", 10, kNaN, {}), nullptr);
  EXPECT_EQ(TLMEvent::initWithOrigin("app", false, "_e", 10, kInfinity, {}), nullptr);
  EXPECT_EQ(printedWithCode(16005).size(), 5u);

  TLMEventPtr event = TLMEvent::initWithOrigin("app", false, "_e", 10, 0, {});
  ASSERT_NE(event, nullptr);
  EXPECT_EQ(event->copyWithPreviousTimestamp(kNaN), nullptr);
  EXPECT_EQ(printedWithCode(16005).size(), 6u);
  // An invalid name is refused silently first.
  EXPECT_EQ(TLMEvent::initWithOrigin("app", false, "a.b", kNaN, 0, {}), nullptr);
  EXPECT_EQ(printedWithCode(16005).size(), 6u);
}

TEST_F(EventProtoTest, NonFiniteUserPropertyTimesAreRefused) {
  const TLMValuePtr value = TLMValue::initWithInt64(1);
  EXPECT_EQ(TLMUserAttribute::initWithOrigin("app", "tier", value, kNaN), nullptr);
  EXPECT_EQ(onePrinted(16007),
            "Failed to create user property. Received set timestamp that is not a finite number. "
            "Name: tier");
  EXPECT_EQ(TLMUserAttribute::initWithOrigin("app", "tier", value, kInfinity), nullptr);
  EXPECT_EQ(TLMUserAttribute::initWithOrigin("app", "tier", value, -kInfinity), nullptr);
  EXPECT_EQ(printedWithCode(16007).size(), 3u);
  TLMUserAttributePtr huge = TLMUserAttribute::initWithOrigin("app", "tier", value, 1e300);
  ASSERT_NE(huge, nullptr);
  EXPECT_EQ(huge->protoUserAttribute().set_timestamp_millis(), kMaxMillis);
}

// ---- User properties

TEST_F(EventProtoTest, UserPropertySetsOnlyTheFieldOfItsKind) {
  TLMUserAttributePtr text = TLMUserAttribute::initWithOrigin(
      "app", "tier", TLMValue::fromString("gold"), 1700000000.2509);
  ASSERT_NE(text, nullptr);
  TLMPBUserAttribute textProto = text->protoUserAttribute();
  EXPECT_EQ(textProto.set_timestamp_millis(), 1700000000250);
  EXPECT_EQ(textProto.name(), "tier");
  EXPECT_EQ(textProto.string_value(), "gold");
  EXPECT_FALSE(textProto.has_int_value());
  EXPECT_FALSE(textProto.has_double_value());
  EXPECT_FALSE(textProto.has_reserved_5());

  TLMUserAttributePtr number =
      TLMUserAttribute::initWithOrigin("app", "ratio", TLMValue::initWithDouble(0.5), 2);
  ASSERT_NE(number, nullptr);
  TLMPBUserAttribute numberProto = number->protoUserAttribute();
  EXPECT_EQ(numberProto.double_value(), 0.5);
  EXPECT_FALSE(numberProto.has_string_value());
  EXPECT_FALSE(numberProto.has_int_value());

  TLMUserAttributePtr counter =
      TLMUserAttribute::initWithOrigin("auto", "_fot", TLMValue::initWithInt64(7), 1.5);
  ASSERT_NE(counter, nullptr);
  std::optional<Bytes> bytes = counter->protoUserAttribute().protoBuffer();
  ASSERT_TRUE(bytes);
  // set time 1500 ms, name "_fot", int_value 7; no origin on the wire.
  EXPECT_EQ(*bytes, (Bytes{0x08, 0xDC, 0x0B, 0x12, 0x04, '_', 'f', 'o', 't', 0x20, 0x07}));
}

}  // namespace
