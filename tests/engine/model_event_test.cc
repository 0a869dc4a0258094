// TLMEvent: creation checks, markers, conversion, default and screen
// parameters, copies and the event-editing form.
#include <gtest/gtest.h>

#include "engine/TLMEvent.h"
#include "support/MonitorReportsTest.h"

namespace {

using EventTest = MonitorReportsTest;

Object key(const char* name) { return Object(name); }

// The TLMValue under `name`, or null.
TLMValuePtr param(const TLMEventPtr& event, std::string_view name) {
  return event->parameterValue(name);
}

std::int64_t intParam(const TLMEventPtr& event, std::string_view name) {
  TLMValuePtr value = param(event, name);
  EXPECT_NE(value, nullptr) << name;
  EXPECT_TRUE(value != nullptr && value->isInt64()) << name;
  return value != nullptr ? value->int64Value() : -1;
}

std::string stringParam(const TLMEventPtr& event, std::string_view name) {
  TLMValuePtr value = param(event, name);
  EXPECT_TRUE(value != nullptr && value->isString()) << name;
  return value != nullptr && value->stringValue() != nullptr ? *value->stringValue() : "";
}

TLMEventPtr internalEvent(ObjectDictionary parameters, const char* name = "_e") {
  return TLMEvent::initWithOrigin("app", false, name, 1000, 0, parameters);
}

TEST_F(EventTest, StoresConvertedParametersAndTheOrigin) {
  TLMEventPtr event = TLMEvent::initWithOrigin("app", true, "level_up", 1000.5, 900.25,
                                               {{key("score"), Object::integer(5)},
                                                {key("won"), Object::boolean(true)},
                                                {key("ratio"), Object::floating(0.5)},
                                                {key("hero"), Object("Zoë")}});
  ASSERT_NE(event, nullptr);
  EXPECT_EQ(event->origin(), "app");
  EXPECT_EQ(event->name(), "level_up");
  EXPECT_EQ(event->timestamp(), 1000.5);
  EXPECT_EQ(event->previousTimestamp(), 900.25);
  EXPECT_EQ(event->parameters().size(), 5u);
  EXPECT_EQ(intParam(event, "score"), 5);
  EXPECT_EQ(intParam(event, "won"), 1);
  ASSERT_NE(param(event, "ratio"), nullptr);
  EXPECT_TRUE(param(event, "ratio")->isDouble());
  EXPECT_EQ(param(event, "ratio")->doubleValue(), 0.5);
  EXPECT_EQ(stringParam(event, "hero"), "Zoë");
  EXPECT_EQ(stringParam(event, "_o"), "app");
  EXPECT_FALSE(event->conversion());
  EXPECT_FALSE(event->realtime());
  EXPECT_FALSE(event->debug());
  EXPECT_TRUE(printed().empty());

  TLMEventPtr bare = TLMEvent::initWithOrigin("auto", false, "_s", 5, 0, {});
  ASSERT_NE(bare, nullptr);
  EXPECT_EQ(bare->parameters().size(), 1u);
  EXPECT_EQ(stringParam(bare, "_o"), "auto");
}

TEST_F(EventTest, OriginMustBeForwardedOrInternal) {
  EXPECT_NE(TLMEvent::initWithOrigin("auto", false, "_e", 1, 0, {}), nullptr);
  TLMEventPtr forwarded = TLMEvent::initWithOrigin("ads_sdk+wkl", false, "_e", 1, 0, {});
  ASSERT_NE(forwarded, nullptr);
  EXPECT_EQ(forwarded->origin(), "ads_sdk+wkl");
  EXPECT_EQ(stringParam(forwarded, "_o"), "ads_sdk+wkl");

  EXPECT_EQ(TLMEvent::initWithOrigin("", false, "_e", 1, 0, {}), nullptr);
  EXPECT_EQ(TLMEvent::initWithOrigin("my app", false, "_e", 1, 0, {}), nullptr);
  EXPECT_EQ(TLMEvent::initWithOrigin(std::string(33, 'a'), false, "_e", 1, 0, {}), nullptr);
  // A forwarded origin whose own part is invalid is not tried as internal.
  EXPECT_EQ(TLMEvent::initWithOrigin("+wkl", false, "_e", 1, 0, {}), nullptr);
  EXPECT_EQ(TLMEvent::initWithOrigin("a b+wkl", false, "_e", 1, 0, {}), nullptr);
}

TEST_F(EventTest, NamesAreCheckedForPublicAndInternalEvents) {
  EXPECT_EQ(TLMEvent::initWithOrigin("app", true, "session_start", 1, 0, {}), nullptr);
  EXPECT_EQ(TLMEvent::initWithOrigin("app", true, "tx_thing", 1, 0, {}), nullptr);
  EXPECT_EQ(TLMEvent::initWithOrigin("app", true, "_e", 1, 0, {}), nullptr);
  EXPECT_NE(TLMEvent::initWithOrigin("app", false, "session_start", 1, 0, {}), nullptr);
  EXPECT_NE(TLMEvent::initWithOrigin("app", true, "screen_view", 1, 0, {}), nullptr);
  EXPECT_NE(TLMEvent::initWithOrigin("app", true, std::string(40, 'a'), 1, 0, {}), nullptr);
  EXPECT_EQ(TLMEvent::initWithOrigin("app", false, std::string(41, 'a'), 1, 0, {}), nullptr);
  EXPECT_EQ(TLMEvent::initWithOrigin("app", false, "", 1, 0, {}), nullptr);
  EXPECT_EQ(TLMEvent::initWithOrigin("app", false, "a.b", 1, 0, {}), nullptr);
}

TEST_F(EventTest, PreviousTimeAfterTheTimeIsReportedButAccepted) {
  TLMEventPtr event = TLMEvent::initWithOrigin("app", false, "_e", 100, 100.5, {});
  ASSERT_NE(event, nullptr);
  EXPECT_EQ(event->previousTimestamp(), 100.5);
  EXPECT_TRUE(sampledOnly("Event created with previous timestamp after current timestamp"));
  ASSERT_NE(TLMEvent::initWithOrigin("app", false, "_e", 100, 100, {}), nullptr);
  EXPECT_EQ(sampledCount(), 1);
}

TEST_F(EventTest, MarkersReadTrueOnlyForIntegerOne) {
  TLMEventPtr event = internalEvent({{key("_c"), Object::integer(1)},
                                     {key("_r"), Object::integer(2)},
                                     {key("_dbg"), Object::floating(1.0)}});
  ASSERT_NE(event, nullptr);
  EXPECT_TRUE(event->conversion());
  EXPECT_FALSE(event->realtime());
  EXPECT_FALSE(event->debug());
  EXPECT_EQ(sampledCount(), 0);

  event->setRealtime(true);
  event->setDebug(true);
  EXPECT_TRUE(event->realtime());
  EXPECT_TRUE(event->debug());
  EXPECT_EQ(intParam(event, "_r"), 1);
  event->setDebug(false);
  EXPECT_FALSE(event->hasParameter("_dbg"));
  EXPECT_TRUE(event->hasParameter("_r"));
}

TEST_F(EventTest, NonIntegerRealtimeMarkerIsReportedAndReadsFalse) {
  TLMEventPtr event = internalEvent({{key("_r"), Object("1")}});
  ASSERT_NE(event, nullptr);
  EXPECT_FALSE(event->realtime());
  EXPECT_TRUE(sampledOnly("Realtime parameter must be an int64. Event name"));
}

TEST_F(EventTest, RemovingConversionRecordsErrorTenOnlyWhenNoErrorYet) {
  TLMEventPtr plain = internalEvent({{key("a"), Object::integer(1)}});
  ASSERT_NE(plain, nullptr);
  const ObjectDictionary before = plain->parameters();
  plain->setConversion(false);
  EXPECT_EQ(plain->parameters(), before);

  TLMEventPtr conversion = internalEvent({{key("_c"), Object::integer(1)}});
  ASSERT_NE(conversion, nullptr);
  conversion->setConversion(false);
  EXPECT_FALSE(conversion->hasParameter("_c"));
  EXPECT_EQ(intParam(conversion, "_err"), 10);

  TLMEventPtr earlierError =
      internalEvent({{key("_c"), Object::integer(1)}, {key("_err"), Object::integer(4)}});
  ASSERT_NE(earlierError, nullptr);
  earlierError->setConversion(false);
  EXPECT_FALSE(earlierError->hasParameter("_c"));
  EXPECT_EQ(intParam(earlierError, "_err"), 4);
}

TEST_F(EventTest, SettingConversionNeedsAValidValueAndCurrency) {
  TLMEventPtr noCurrency = internalEvent({{key("value"), Object::floating(9.99)}}, "purchase");
  ASSERT_NE(noCurrency, nullptr);
  noCurrency->setConversion(true);
  EXPECT_FALSE(noCurrency->conversion());
  EXPECT_FALSE(noCurrency->hasParameter("value"));
  EXPECT_EQ(intParam(noCurrency, "_err"), 19);
  EXPECT_EQ(stringParam(noCurrency, "_ev"), "currency");

  TLMEventPtr priced = internalEvent(
      {{key("value"), Object::floating(9.99)}, {key("currency"), Object("EUR")}}, "purchase");
  ASSERT_NE(priced, nullptr);
  priced->setConversion(true);
  EXPECT_TRUE(priced->conversion());
  EXPECT_FALSE(priced->hasParameter("_err"));

  // A refused conversion recorded earlier is forgotten; another error stays.
  TLMEventPtr refused = internalEvent({{key("_err"), Object::integer(10)}});
  ASSERT_NE(refused, nullptr);
  refused->setConversion(true);
  EXPECT_TRUE(refused->conversion());
  EXPECT_FALSE(refused->hasParameter("_err"));
  TLMEventPtr otherError = internalEvent({{key("_err"), Object::integer(3)}});
  ASSERT_NE(otherError, nullptr);
  otherError->setConversion(true);
  EXPECT_TRUE(otherError->conversion());
  EXPECT_EQ(intParam(otherError, "_err"), 3);
}

TEST_F(EventTest, ConversionsAndAdImpressionsHaveTheirValueCheckedAtCreation) {
  TLMEventPtr conversion = internalEvent(
      {{key("_c"), Object::integer(1)}, {key("value"), Object("lots")}}, "in_app_deal");
  ASSERT_NE(conversion, nullptr);
  EXPECT_FALSE(conversion->conversion());
  EXPECT_FALSE(conversion->hasParameter("value"));
  EXPECT_EQ(intParam(conversion, "_err"), 18);

  TLMEventPtr impression = TLMEvent::initWithOrigin("app", true, "ad_impression", 1, 0,
                                                    {{key("value"), Object::floating(0.02)}});
  ASSERT_NE(impression, nullptr);
  EXPECT_TRUE(impression->shouldValidateParams());
  EXPECT_FALSE(impression->hasParameter("value"));
  EXPECT_EQ(intParam(impression, "_err"), 19);

  TLMEventPtr shortImpression = internalEvent({}, "_ai");
  ASSERT_NE(shortImpression, nullptr);
  EXPECT_TRUE(shortImpression->shouldValidateParams());
  // Other events keep a value without currency.
  TLMEventPtr other = internalEvent({{key("value"), Object::floating(3)}}, "level_up");
  ASSERT_NE(other, nullptr);
  EXPECT_FALSE(other->shouldValidateParams());
  EXPECT_TRUE(other->hasParameter("value"));
}

TEST_F(EventTest, DefaultParametersNeverOverrideTheEventsOwn) {
  TLMEventPtr event =
      TLMEvent::initWithOrigin("app", true, "level_up", 1, 0, {{key("level"), Object::integer(3)}});
  ASSERT_NE(event, nullptr);
  event->applyParameters({{key("level"), Object::integer(99)}, {key("build"), Object("beta")}});
  EXPECT_EQ(intParam(event, "level"), 3);
  EXPECT_EQ(stringParam(event, "build"), "beta");
  EXPECT_EQ(stringParam(event, "_o"), "app");
  EXPECT_EQ(event->parameters().size(), 3u);

  const ObjectDictionary before = event->parameters();
  event->applyParameters({});
  EXPECT_EQ(event->parameters(), before);
}

TEST_F(EventTest, ScreenParametersAreAddedOnlyWhenValidAndAbsent) {
  TLMEventPtr event = internalEvent({});
  ASSERT_NE(event, nullptr);
  EXPECT_FALSE(event->addScreenParameters({}));
  EXPECT_FALSE(event->addScreenParameters({{key("_sc"), Object("Menu")}}));  // no "_si"
  EXPECT_FALSE(event->addScreenParameters({{key("_si"), Object("12")}}));    // not a number
  EXPECT_FALSE(event->addScreenParameters(
      {{key("_si"), TLMValue::initWithDouble(1.5)->asObject()}}));  // not an integer value
  EXPECT_EQ(event->parameters().size(), 1u);

  EXPECT_FALSE(event->addScreenParameters(
      {{key("_si"), Object::integer(7)}, {key("_sc"), Object(std::string(101, 'c'))}}));
  EXPECT_EQ(onePrinted(16003), "Received invalid screen class: " + std::string(101, 'c'));
  EXPECT_FALSE(event->addScreenParameters(
      {{key("_si"), Object::integer(7)}, {key("_sn"), Object::integer(5)}}));
  EXPECT_EQ(onePrinted(16004), "Received invalid screen name: 5");
  EXPECT_EQ(event->parameters().size(), 1u);

  EXPECT_TRUE(event->addScreenParameters({{key("_si"), Object::integer(-77)},
                                          {key("_sc"), Object("MenuController")},
                                          {key("_sn"), TLMValue::fromString("Menu")->asObject()},
                                          {key("other"), Object("ignored")}}));
  EXPECT_EQ(intParam(event, "_si"), -77);
  EXPECT_EQ(stringParam(event, "_sc"), "MenuController");
  EXPECT_EQ(stringParam(event, "_sn"), "Menu");
  EXPECT_FALSE(event->hasParameter("other"));

  // Never overwritten, not even one missing piece added.
  TLMEventPtr named = internalEvent({{key("_sn"), Object("Shop")}});
  ASSERT_NE(named, nullptr);
  EXPECT_FALSE(named->addScreenParameters(
      {{key("_si"), Object::integer(1)}, {key("_sc"), Object("Other")}}));
  EXPECT_EQ(stringParam(named, "_sn"), "Shop");
  EXPECT_FALSE(named->hasParameter("_si"));
  EXPECT_FALSE(named->hasParameter("_sc"));

  TLMEventPtr identified = internalEvent({});
  ASSERT_NE(identified, nullptr);
  EXPECT_TRUE(
      identified->addScreenParameters({{key("_si"), TLMValue::initWithInt64(4)->asObject()}}));
  EXPECT_EQ(intParam(identified, "_si"), 4);
  EXPECT_FALSE(identified->hasParameter("_sc"));
}

TEST_F(EventTest, CopiesKeepOrReplaceExactlyWhatTheySay) {
  TLMEventPtr event = TLMEvent::initWithOrigin("ads+wkl", true, "level_up", 50, 40,
                                               {{key("level"), Object::integer(2)}});
  ASSERT_NE(event, nullptr);
  event->setRealtime(true);

  TLMEventPtr copy = event->copy();
  ASSERT_NE(copy, nullptr);
  EXPECT_NE(copy, event);
  EXPECT_EQ(copy->origin(), "ads+wkl");
  EXPECT_EQ(copy->name(), "level_up");
  EXPECT_EQ(copy->timestamp(), 50);
  EXPECT_EQ(copy->previousTimestamp(), 40);
  EXPECT_EQ(copy->parameters(), event->parameters());
  copy->setDebug(true);
  EXPECT_FALSE(event->hasParameter("_dbg"));

  TLMEventPtr later = event->copyWithPreviousTimestamp(45);
  ASSERT_NE(later, nullptr);
  EXPECT_EQ(later->previousTimestamp(), 45);
  EXPECT_EQ(later->timestamp(), 50);
  EXPECT_EQ(later->parameters(), event->parameters());

  TLMEventPtr replaced = event->copyWithParameters({{key("coins"), Object::integer(9)}});
  ASSERT_NE(replaced, nullptr);
  EXPECT_EQ(replaced->parameters().size(), 2u);
  EXPECT_EQ(intParam(replaced, "coins"), 9);
  EXPECT_EQ(stringParam(replaced, "_o"), "ads+wkl");
  EXPECT_EQ(replaced->previousTimestamp(), 40);

  // A copy is not a public event: internal names survive copying.
  TLMEventPtr internal = internalEvent({{key("_x"), Object::integer(1)}}, "_vs");
  ASSERT_NE(internal, nullptr);
  TLMEventPtr internalCopy = internal->copy();
  ASSERT_NE(internalCopy, nullptr);
  EXPECT_EQ(intParam(internalCopy, "_x"), 1);
}

TEST_F(EventTest, EditEventUsesLongNamesAndPlainObjects) {
  TLMEventPtr event = internalEvent({{key("_et"), Object::integer(1500)},
                                     {key("ratio"), Object::floating(0.25)},
                                     {key("hero"), Object("Ann")}},
                                    "_e");
  ASSERT_NE(event, nullptr);
  event->setParameterValue(
      "items",
      TLMValue::fromArray(
          {Object::dictionary({{key("item_id"), TLMValue::fromString("sku")->asObject()},
                               {key("price"), TLMValue::initWithDouble(2.5)->asObject()},
                               {key("nested"), TLMValue::fromArray({})->asObject()}}),
           Object::dictionary({{key("quantity"), TLMValue::initWithInt64(3)->asObject()}})}));

  TLMEditEventFields edit = event->editEvent();
  EXPECT_EQ(edit.name, "user_engagement");
  EXPECT_EQ(edit.timestamp, 1000);
  ObjectDictionary expectedItem0 = {{key("item_id"), Object("sku")},
                                    {key("price"), Object::floating(2.5)}};
  ObjectDictionary expectedItem1 = {{key("quantity"), Object::integer(3)}};
  ObjectDictionary expected = {
      {key("_et"), Object::integer(1500)},
      {key("ratio"), Object::floating(0.25)},
      {key("hero"), Object("Ann")},
      {key("_o"), Object("app")},
      {key("items"),
       Object::array({Object::dictionary(expectedItem0), Object::dictionary(expectedItem1)})},
  };
  EXPECT_EQ(Object::dictionary(edit.parameters), Object::dictionary(expected));
  // Plain numbers keep their kind.
  EXPECT_TRUE(edit.parameters.at(key("ratio")).isFloatingNumber());
  EXPECT_FALSE(edit.parameters.at(key("_et")).isFloatingNumber());
  EXPECT_EQ(edit.parameters.at(key("_et")).className(), "NSNumber");

  TLMEventPtr custom = internalEvent({}, "level_up");
  ASSERT_NE(custom, nullptr);
  EXPECT_EQ(custom->editEvent().name, "level_up");
}

TEST_F(EventTest, EventFromEditEventUsesShortNamesAndTheOriginParameter) {
  TLMEventPtr event = TLMEvent::eventFromEditEvent(
      {"session_start", 77.5, {{key("_o"), Object("auto")}, {key("n"), Object::integer(2)}}});
  ASSERT_NE(event, nullptr);
  EXPECT_EQ(event->name(), "_s");
  EXPECT_EQ(event->origin(), "auto");
  EXPECT_EQ(event->timestamp(), 77.5);
  EXPECT_EQ(event->previousTimestamp(), 0);
  EXPECT_EQ(intParam(event, "n"), 2);
  EXPECT_EQ(stringParam(event, "_o"), "auto");

  TLMEventPtr noOrigin = TLMEvent::eventFromEditEvent({"level_up", 1, {}});
  ASSERT_NE(noOrigin, nullptr);
  EXPECT_EQ(noOrigin->name(), "level_up");
  EXPECT_EQ(noOrigin->origin(), "app");
  TLMEventPtr numericOrigin =
      TLMEvent::eventFromEditEvent({"level_up", 1, {{key("_o"), Object::integer(4)}}});
  ASSERT_NE(numericOrigin, nullptr);
  EXPECT_EQ(numericOrigin->origin(), "app");
  EXPECT_EQ(stringParam(numericOrigin, "_o"), "app");

  // There and back again.
  TLMEventPtr original =
      TLMEvent::initWithOrigin("auto", false, "_vs", 12, 0,
                               {{key("_sn"), Object("Menu")}, {key("_si"), Object::integer(8)}});
  ASSERT_NE(original, nullptr);
  TLMEventPtr back = TLMEvent::eventFromEditEvent(original->editEvent());
  ASSERT_NE(back, nullptr);
  EXPECT_EQ(back->name(), "_vs");
  EXPECT_EQ(back->origin(), "auto");
  EXPECT_EQ(back->parameters(), original->parameters());
}

TEST_F(EventTest, DescriptionNamesTheEvent) {
  TLMEventPtr event = internalEvent({{key("n"), Object::integer(2)}}, "_e");
  ASSERT_NE(event, nullptr);
  EXPECT_NE(event->description().find("_e"), std::string::npos);
}

}  // namespace
