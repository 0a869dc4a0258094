// Parameter sanitisation and the value/currency check: what is kept,
// what is dropped, and which first problem the markers record.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "common/StringHelpers.h"
#include "config/TLMRemoteConfig.h"
#include "engine/TLMParameterSanitizer.h"
#include "engine/TLMValidationLimits.h"
#include "validation_test_support.h"

namespace {

constexpr char kAppID[] = "1:1234567890:ios:0123456789abcdef";

// "p000", "p001", ...: names whose sorted order is their number's.
std::string numbered(int index) {
  char name[8];
  std::snprintf(name, sizeof name, "p%03d", index);
  return name;
}

ObjectDictionary numberedParameters(int count) {
  ObjectDictionary parameters;
  for (int i = 0; i < count; ++i) parameters[Object(numbered(i))] = Object::integer(i);
  return parameters;
}

Object items(std::size_t count) {
  ObjectArray list;
  for (std::size_t i = 0; i < count; ++i) {
    list.push_back(Object::dictionary({{Object("item_id"), Object("sku" + std::to_string(i))}}));
  }
  return Object::array(std::move(list));
}

std::size_t publicCount(const ObjectDictionary& parameters) {
  std::size_t count = 0;
  for (const auto& entry : parameters) {
    if (entry.first.asString() != nullptr && !entry.first.asString()->starts_with("_")) ++count;
  }
  return count;
}

class ValidationSanitizerTest : public ValidationTest {
 protected:
  ObjectDictionary sanitizePublic(const ObjectDictionary& parameters,
                                  const char* eventName = "level_up") {
    std::optional<ObjectDictionary> result =
        tlm_sanitizedParameters(parameters, eventName, /*isPublicEvent=*/true);
    EXPECT_TRUE(result.has_value());
    return result.value_or(ObjectDictionary());
  }
  ObjectDictionary sanitizeInternal(const ObjectDictionary& parameters,
                                    const char* eventName = "_e") {
    std::optional<ObjectDictionary> result =
        tlm_sanitizedParameters(parameters, eventName, /*isPublicEvent=*/false);
    EXPECT_TRUE(result.has_value());
    return result.value_or(ObjectDictionary());
  }
};

TEST_F(ValidationSanitizerTest, EmptyGivesNilAndValuesAreConvertedByKind) {
  EXPECT_EQ(tlm_sanitizedParameters({}, "level_up", true), std::nullopt);

  const Object given = stringValue("kept as given");
  const ObjectDictionary result = sanitizePublic({{Object("a_flag"), Object::boolean(true)},
                                                  {Object("b_count"), Object::integer(3)},
                                                  {Object("c_ratio"), Object::floating(0.5)},
                                                  {Object("d_text"), Object("hi")},
                                                  {Object("e_given"), given}});
  ASSERT_EQ(result.size(), 5u);
  EXPECT_TRUE(valueAt(result, "a_flag")->isInt64());
  EXPECT_EQ(valueAt(result, "a_flag")->int64Value(), 1);
  EXPECT_TRUE(valueAt(result, "b_count")->isInt64());
  EXPECT_TRUE(valueAt(result, "c_ratio")->isDouble());
  EXPECT_EQ(*valueAt(result, "d_text")->stringValue(), "hi");
  EXPECT_EQ(valueAt(result, "e_given"), TLMValue::fromObject(given));
  EXPECT_EQ(errorCode(result), -1);
  EXPECT_TRUE(printed().empty());
}

TEST_F(ValidationSanitizerTest, ThirtyCustomParametersKeepTheTwentyFiveThatSortFirst) {
  const ObjectDictionary result = sanitizePublic(numberedParameters(30));
  EXPECT_EQ(publicCount(result), 25u);
  for (int i = 0; i < 25; ++i) EXPECT_TRUE(has(result, numbered(i))) << i;
  for (int i = 25; i < 30; ++i) EXPECT_FALSE(has(result, numbered(i))) << i;
  EXPECT_EQ(errorCode(result), 5);
  EXPECT_FALSE(has(result, "_ev"));
  const std::vector<std::string> lines = printed();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_NE(lines[0].find(" E <Ferrolux>[I-ACS018017] Event cannot contain more than 25 "
                          "parameters"),
            std::string::npos)
      << lines[0];
}

TEST_F(ValidationSanitizerTest, ParameterLimitBoundariesFollowTheFlag) {
  ObjectDictionary atLimit = sanitizePublic(numberedParameters(25));
  EXPECT_EQ(publicCount(atLimit), 25u);
  EXPECT_EQ(errorCode(atLimit), -1);
  // Internal parameters do not count.
  ObjectDictionary withInternal = numberedParameters(25);
  withInternal[Object("_o")] = Object("app");
  withInternal[Object("_r")] = Object::integer(1);
  EXPECT_EQ(errorCode(sanitizeInternal(withInternal)), -1);

  TLMRemoteConfig config(kAppID);
  config.cacheSettingValues({{"measurement.upload.max_public_event_params", "100"}});
  ASSERT_EQ(config.maxPublicEventParams(), 100);
  std::optional<ObjectDictionary> hundred =
      tlm_sanitizedParameters(numberedParameters(100), "level_up", true, false, config);
  ASSERT_TRUE(hundred);
  EXPECT_EQ(publicCount(*hundred), 100u);
  EXPECT_EQ(errorCode(*hundred), -1);
  std::optional<ObjectDictionary> over =
      tlm_sanitizedParameters(numberedParameters(101), "level_up", true, false, config);
  ASSERT_TRUE(over);
  EXPECT_EQ(publicCount(*over), 100u);
  EXPECT_FALSE(has(*over, numbered(100)));
  EXPECT_EQ(errorCode(*over), 5);
  EXPECT_EQ(printedWithCode(18017).back(), "Event cannot contain more than 100 parameters");

  // With configurable limits off the flag is ignored.
  TLMRemoteConfig fixed(kAppID);
  fixed.cacheSettingValues({{"measurement.upload.max_public_event_params", "100"},
                            {"measurement.upload.configurable_limits_enabled", "0"}});
  std::optional<ObjectDictionary> capped =
      tlm_sanitizedParameters(numberedParameters(26), "level_up", true, false, fixed);
  ASSERT_TRUE(capped);
  EXPECT_EQ(publicCount(*capped), 25u);
}

TEST_F(ValidationSanitizerTest, BadNamesAreDroppedAndRecorded) {
  ObjectDictionary result =
      sanitizePublic({{Object("_secret"), Object::integer(1)}, {Object("ok"), Object::integer(2)}});
  EXPECT_FALSE(has(result, "_secret"));
  EXPECT_TRUE(has(result, "ok"));
  EXPECT_EQ(errorCode(result), 3);
  EXPECT_EQ(errorValue(result), "_secret");
  EXPECT_FALSE(has(result, "_el"));

  result = sanitizePublic({{Object("tx_id"), Object::integer(1)}});
  EXPECT_EQ(errorCode(result), 14);
  EXPECT_EQ(errorValue(result), "tx_id");

  // 40 characters pass; 41 are recorded with their length.
  result = sanitizePublic({{Object(asciiName(40)), Object::integer(1)}});
  EXPECT_EQ(errorCode(result), -1);
  result = sanitizePublic({{Object(asciiName(41)), Object::integer(1)}});
  EXPECT_EQ(errorCode(result), 3);
  EXPECT_EQ(errorValue(result), asciiName(41));
  EXPECT_EQ(errorLength(result), 41);
  result = sanitizePublic({{Object(repeated(kDeseretI, 41)), Object::integer(1)}});
  EXPECT_EQ(errorLength(result), 41);

  // A key that is not a string is recorded by its class name.
  result = sanitizeInternal({{Object::integer(7), Object::integer(1)}});
  EXPECT_EQ(errorCode(result), 3);
  EXPECT_EQ(errorValue(result), "NSNumber");
}

TEST_F(ValidationSanitizerTest, LongValuesAreDroppedWithTheirLength) {
  ObjectDictionary result = sanitizePublic({{Object("note"), Object(asciiName(100))}});
  EXPECT_EQ(errorCode(result), -1);
  result =
      sanitizePublic({{Object("note"), Object(asciiName(101))}, {Object("z"), Object::integer(1)}});
  EXPECT_FALSE(has(result, "note"));
  EXPECT_EQ(errorCode(result), 4);
  EXPECT_EQ(errorValue(result), "note");
  EXPECT_EQ(errorLength(result), 101);
  result = sanitizePublic({{Object("note"), Object(repeated(kDeseretE, 101))}});
  EXPECT_EQ(errorLength(result), 101);

  result = sanitizeInternal({{Object("_note"), Object(asciiName(256))}});
  EXPECT_TRUE(has(result, "_note"));
  result = sanitizeInternal({{Object("_note"), Object(asciiName(257))}});
  EXPECT_FALSE(has(result, "_note"));
  EXPECT_EQ(errorCode(result), 4);
  EXPECT_EQ(errorLength(result), 257);
}

TEST_F(ValidationSanitizerTest, UnsupportedValuesAreDroppedWithoutMarkers) {
  const ObjectDictionary result = sanitizePublic({{Object("when"), Object::date(0)},
                                                  {Object("what"), Object::null()},
                                                  {Object("ok"), Object::integer(1)}});
  EXPECT_EQ(result.size(), 1u);
  EXPECT_EQ(errorCode(result), -1);
  const std::vector<std::string> lines = printedWithCode(18015);
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0],
            "Event parameter value must be of type NSString, NSNumber or NSArray. Type: NSNull");
  EXPECT_EQ(lines[1],
            "Event parameter value must be of type NSString, NSNumber or NSArray. Type: NSDate");
}

TEST_F(ValidationSanitizerTest, OnlyTheFirstProblemIsRecorded) {
  // Keys are taken in sorted order: "a_long" before "b-bad".
  ObjectDictionary result = sanitizePublic(
      {{Object("a_long"), Object(asciiName(150))}, {Object("b-bad"), Object::integer(1)}});
  EXPECT_EQ(errorCode(result), 4);
  EXPECT_EQ(errorValue(result), "a_long");
  EXPECT_EQ(errorLength(result), 150);

  // A marker already present wins over anything found later, and over the
  // parameter limit.
  ObjectDictionary given = numberedParameters(30);
  given[Object("_err")] = Object::integer(11);
  given[Object("bad-name")] = Object::integer(1);
  result = sanitizeInternal(given);
  EXPECT_EQ(errorCode(result), 11);
  EXPECT_FALSE(has(result, "_ev"));
  EXPECT_EQ(publicCount(result), 25u);

  // Any one of the three blocks the other two.
  result =
      sanitizeInternal({{Object("_el"), Object::integer(3)}, {Object("x-y"), Object::integer(1)}});
  EXPECT_EQ(errorLength(result), 3);
  EXPECT_FALSE(has(result, "_err"));
  EXPECT_FALSE(has(result, "_ev"));
}

TEST_F(ValidationSanitizerTest, ErrorValueParameterIsTrimmedNotRefused) {
  ObjectDictionary result = sanitizeInternal({{Object("_ev"), Object(asciiName(300))}});
  EXPECT_EQ(errorValue(result), asciiName(256) + "...");
  result = sanitizeInternal({{Object("_ev"), Object(repeated(kDeseretA, 257))}});
  EXPECT_EQ(errorValue(result), repeated(kDeseretA, 256) + "...");
  // Trimmed already: left as it is.
  const std::string trimmed = asciiName(256) + "...";
  result = sanitizeInternal({{Object("_ev"), Object(trimmed)}});
  EXPECT_EQ(errorValue(result), trimmed);
  // 259 characters not ending in the ellipsis are trimmed.
  result = sanitizeInternal({{Object("_ev"), Object(asciiName(259))}});
  EXPECT_EQ(errorValue(result), asciiName(256) + "...");
  result = sanitizeInternal({{Object("_ev"), Object(asciiName(256))}});
  EXPECT_EQ(errorValue(result), asciiName(256));
  EXPECT_EQ(errorCode(result), -1);
}

TEST_F(ValidationSanitizerTest, TwoHundredFiftyItemsKeepTwoHundred) {
  ObjectDictionary result = sanitizePublic({{Object("items"), items(250)}}, "purchase");
  const TLMValuePtr kept = valueAt(result, "items");
  ASSERT_NE(kept, nullptr);
  ASSERT_TRUE(kept->isArray());
  ASSERT_EQ(kept->arrayValue()->size(), 200u);
  // The first 200, in order, each sanitised into values.
  const ObjectDictionary& last = *kept->arrayValue()->back().asDictionary();
  EXPECT_EQ(*valueAt(last, "item_id")->stringValue(), "sku199");
  EXPECT_EQ(errorCode(result), 17);
  EXPECT_EQ(errorValue(result), "items");
  EXPECT_EQ(errorLength(result), 250);

  result = sanitizePublic({{Object("items"), items(200)}}, "purchase");
  EXPECT_EQ(valueAt(result, "items")->arrayValue()->size(), 200u);
  EXPECT_EQ(errorCode(result), -1);
}

TEST_F(ValidationSanitizerTest, ArraysOnlyAsItemsOfEcommerceEvents) {
  ObjectDictionary result = sanitizePublic(
      {{Object("items"), items(2)}, {Object("score"), Object::integer(10)}}, "level_up");
  EXPECT_FALSE(has(result, "items"));
  EXPECT_TRUE(has(result, "score"));
  EXPECT_EQ(errorCode(result), 21);
  EXPECT_EQ(errorValue(result), "level_up");
  EXPECT_EQ(errorLength(result), 2);

  result = sanitizePublic({{Object("products"), items(2)}}, "purchase");
  EXPECT_FALSE(has(result, "products"));
  EXPECT_EQ(errorCode(result), 20);
  EXPECT_EQ(errorValue(result), "products");

  // Parameters of no event (default parameters) cannot carry arrays.
  std::optional<ObjectDictionary> defaults =
      tlm_sanitizedParameters({{Object("items"), items(1)}}, std::nullopt, true);
  ASSERT_TRUE(defaults);
  EXPECT_EQ(errorCode(*defaults), 21);
  EXPECT_EQ(errorValue(*defaults), "(nil)");

  // An array value the caller built is taken as it is.
  const Object prebuilt = TLMValue::fromArray({})->asObject();
  result = sanitizeInternal({{Object("_list"), prebuilt}});
  EXPECT_EQ(valueAt(result, "_list"), TLMValue::fromObject(prebuilt));
}

TEST_F(ValidationSanitizerTest, ItemsLoseCustomParametersAndNestedArrays) {
  const Object item = Object::dictionary({{Object("item_id"), Object("sku")},
                                          {Object("price"), Object::floating(2.5)},
                                          {Object("color"), Object("red")}});
  ObjectDictionary result =
      sanitizePublic({{Object("items"), Object::array({item})}}, "add_to_cart");
  EXPECT_EQ(errorCode(result), -1);
  const ObjectDictionary& cleaned = *valueAt(result, "items")->arrayValue()->at(0).asDictionary();
  EXPECT_TRUE(has(cleaned, "item_id"));
  EXPECT_TRUE(has(cleaned, "price"));
  EXPECT_FALSE(has(cleaned, "color"));
  EXPECT_EQ(errorCode(cleaned), 23);
  EXPECT_EQ(onePrinted(18016), "Item cannot contain custom parameters");

  const Object nested =
      Object::dictionary({{Object("item_id"), Object("sku")}, {Object("items"), items(1)}});
  result = sanitizePublic({{Object("items"), Object::array({nested})}}, "purchase");
  const ObjectDictionary& flat = *valueAt(result, "items")->arrayValue()->at(0).asDictionary();
  EXPECT_FALSE(has(flat, "items"));
  EXPECT_EQ(errorCode(flat), 22);
  EXPECT_EQ(errorValue(flat), "items");
}

TEST_F(ValidationSanitizerTest, ItemsThatAreNotDictionariesAreSkipped) {
  const Object five = items(5);
  ObjectArray list = *five.asArray();
  list[3] = Object("not an item");
  ObjectDictionary result = sanitizePublic({{Object("items"), Object::array(list)}}, "purchase");
  EXPECT_EQ(valueAt(result, "items")->arrayValue()->size(), 4u);
  EXPECT_EQ(errorCode(result), 4);
  EXPECT_EQ(errorValue(result), "items[3]");
  EXPECT_FALSE(has(result, "_el"));
}

TEST_F(ValidationSanitizerTest, MalformedTextNeverCrashesAndMarkersStayUTF8) {
  ObjectDictionary result = sanitizeInternal({{Object("bad\xFF"), Object::integer(1)},
                                              {Object("_fine"), Object("x\xC3")},
                                              {Object("_ev"), Object("\xE2\x82")}});
  EXPECT_FALSE(has(result, "_fine"));
  EXPECT_EQ(errorCode(result), 3);
  EXPECT_EQ(errorValue(result), "bad\xEF\xBF\xBD");
  for (const auto& [key, value] : result) {
    ASSERT_NE(key.asString(), nullptr);
    EXPECT_TRUE(tlm_isValidUTF8(*key.asString()));
    const TLMValuePtr typed = TLMValue::fromObject(value);
    if (typed->stringValue() != nullptr) {
      EXPECT_TRUE(tlm_isValidUTF8(*typed->stringValue()));
    }
  }
}

TEST_F(ValidationSanitizerTest, EveryKeyDroppedLeavesOnlyTheMarkers) {
  const ObjectDictionary result = sanitizePublic(
      {{Object("1st"), Object::integer(1)}, {Object("two words"), Object::integer(2)}});
  EXPECT_EQ(result.size(), 2u);
  EXPECT_EQ(errorCode(result), 3);
  EXPECT_EQ(errorValue(result), "1st");
}

TEST_F(ValidationSanitizerTest, ValueWithoutCurrencyIsRemoved) {
  ObjectDictionary parameters = sanitizePublic({{Object("value"), Object::floating(9.99)}});
  EXPECT_FALSE(tlm_checkValueAndCurrency(parameters));
  EXPECT_FALSE(has(parameters, "value"));
  EXPECT_EQ(errorCode(parameters), 19);
  EXPECT_EQ(errorValue(parameters), "currency");
  EXPECT_EQ(onePrinted(18014),
            "Value parameter discarded. You must also supply a 3-letter ISO_4217 currency code "
            "in the currency parameter.");

  parameters = sanitizePublic(
      {{Object("value"), Object::floating(9.99)}, {Object("currency"), Object("USD")}});
  EXPECT_TRUE(tlm_checkValueAndCurrency(parameters));
  EXPECT_TRUE(has(parameters, "value"));
  EXPECT_EQ(errorCode(parameters), -1);

  parameters =
      sanitizePublic({{Object("value"), Object("lots")}, {Object("currency"), Object("USD")}});
  EXPECT_FALSE(tlm_checkValueAndCurrency(parameters));
  EXPECT_FALSE(has(parameters, "value"));
  EXPECT_EQ(errorCode(parameters), 18);
  EXPECT_EQ(errorValue(parameters), "value");

  const std::string supplementary = std::string(kDeseretI) + kDeseretE + kDeseretA;
  parameters = sanitizePublic(
      {{Object("value"), Object::integer(5)}, {Object("currency"), Object(supplementary)}});
  EXPECT_FALSE(tlm_checkValueAndCurrency(parameters));
  EXPECT_EQ(errorCode(parameters), 19);

  parameters = sanitizePublic({{Object("price"), Object::integer(5)}});
  EXPECT_TRUE(tlm_checkValueAndCurrency(parameters));
  EXPECT_EQ(parameters.size(), 1u);

  // An earlier problem stays the recorded one.
  parameters =
      sanitizePublic({{Object("value"), Object::integer(5)}, {Object("x-y"), Object::integer(1)}});
  EXPECT_FALSE(tlm_checkValueAndCurrency(parameters));
  EXPECT_EQ(errorCode(parameters), 3);
  EXPECT_EQ(errorValue(parameters), "x-y");
}

TEST_F(ValidationSanitizerTest, PublicNameTestForCounts) {
  EXPECT_TRUE(tlm_isPublicName(Object("level_up")));
  EXPECT_FALSE(tlm_isPublicName(Object("_e")));
  EXPECT_TRUE(printed().empty());
  EXPECT_FALSE(tlm_isPublicName(Object("")));
  EXPECT_NE(onlySampledKey().find(":Cannot check the name. Name is empty"), std::string::npos);
  EXPECT_FALSE(tlm_isPublicName(Object::integer(1)));
  EXPECT_FALSE(tlm_isPublicName(std::nullopt));
  EXPECT_TRUE(printed().empty());  // level 2: sampled, never printed
}

}  // namespace
