// The error markers, "_ev" trimming, and the error event through its seam.
#include <gtest/gtest.h>

#include <string>
#include <thread>

#include "common/StringHelpers.h"
#include "engine/TLMErrorEvent.h"
#include "engine/TLMErrorEventSeam.h"
#include "engine/TLMErrorMarkers.h"
#include "engine/TLMValidationLimits.h"
#include "validation_test_support.h"

namespace {

const Object* plain(const ObjectDictionary& parameters, const char* name) {
  const auto found = parameters.find(Object(name));
  return found == parameters.end() ? nullptr : &found->second;
}

class ValidationMarkersTest : public ValidationTest {};

TEST_F(ValidationMarkersTest, TrimmingKeepsWholeCharacters) {
  EXPECT_EQ(tlm_trimmedErrorValue(Object(asciiName(40)), 40), asciiName(40));
  EXPECT_EQ(tlm_trimmedErrorValue(Object(asciiName(41)), 40), asciiName(40) + "...");
  EXPECT_EQ(tlm_trimmedErrorValue(Object(repeated(kDeseretI, 40)), 40), repeated(kDeseretI, 40));
  // 41 letters outside the basic plane: 40 whole letters (160 bytes) and
  // the ellipsis, never half a character.
  const std::string trimmed = tlm_trimmedErrorValue(Object(repeated(kDeseretI, 41)), 40);
  EXPECT_EQ(trimmed, repeated(kDeseretI, 40) + "...");
  EXPECT_EQ(trimmed.size(), 163u);
  EXPECT_TRUE(tlm_isValidUTF8(trimmed));
  // Mixed widths, cut right after a four-byte letter.
  EXPECT_EQ(tlm_trimmedErrorValue(Object(std::string("a") + kDeseretE + "\u00E9z"), 2),
            std::string("a") + kDeseretE + "...");
}

TEST_F(ValidationMarkersTest, TrimmingOfOtherObjects) {
  EXPECT_EQ(tlm_trimmedErrorValue(std::nullopt, 40), "(nil)");
  EXPECT_EQ(tlm_trimmedErrorValue(Object::integer(5), 40), "NSNumber");
  EXPECT_EQ(tlm_trimmedErrorValue(Object::array({}), 40), "NSArray");
  EXPECT_EQ(tlm_trimmedErrorValue(stringValue(asciiName(5)), 3), "abc...");
  EXPECT_EQ(tlm_trimmedErrorValue(intValue(5), 3), "TLMValue");
  // Malformed bytes become U+FFFD and count once each.
  EXPECT_EQ(tlm_trimmedErrorValue(Object("\xFF\xFE"
                                         "abc"),
                                  3),
            "\xEF\xBF\xBD\xEF\xBF\xBD"
            "a...");
  EXPECT_EQ(tlm_trimmedErrorValue(Object("ab\xC3"), 40), "ab\xEF\xBF\xBD");
}

TEST_F(ValidationMarkersTest, ErrorValueLengths) {
  EXPECT_EQ(tlm_errorValueLength(Object(asciiName(7))), 7);
  EXPECT_EQ(tlm_errorValueLength(Object(repeated(kDeseretA, 7))), 7);
  EXPECT_EQ(tlm_errorValueLength(stringValue("\u00E9t\u00E9")), 3);
  EXPECT_EQ(tlm_errorValueLength(Object::array({Object("a"), Object("b")})), 2);
  EXPECT_EQ(tlm_errorValueLength(TLMValue::fromArray({Object::dictionary({})})->asObject()), 1);
  EXPECT_EQ(tlm_errorValueLength(Object::integer(12345)), std::nullopt);
  EXPECT_EQ(tlm_errorValueLength(intValue(12345)), std::nullopt);
  EXPECT_EQ(tlm_errorValueLength(std::nullopt), std::nullopt);
}

TEST_F(ValidationMarkersTest, MarkerWritersNeverOverwrite) {
  ObjectDictionary parameters;
  EXPECT_TRUE(tlm_setErrorCodeIfAbsent(parameters, 5));
  EXPECT_FALSE(tlm_setErrorCodeIfAbsent(parameters, 23));
  EXPECT_EQ(errorCode(parameters), 5);
  EXPECT_FALSE(tlm_setErrorMarkersIfAbsent(parameters, 3, "name", 41));
  EXPECT_EQ(parameters.size(), 1u);

  parameters.clear();
  EXPECT_TRUE(tlm_setErrorMarkersIfAbsent(parameters, 4, "note", 101));
  EXPECT_EQ(errorCode(parameters), 4);
  EXPECT_TRUE(valueAt(parameters, "_ev")->isString());
  EXPECT_EQ(errorValue(parameters), "note");
  EXPECT_TRUE(valueAt(parameters, "_el")->isInt64());
  EXPECT_EQ(errorLength(parameters), 101);
  EXPECT_FALSE(tlm_setErrorMarkersIfAbsent(parameters, 3, "other", 1));
  EXPECT_EQ(errorValue(parameters), "note");

  parameters.clear();
  EXPECT_TRUE(tlm_setErrorMarkersIfAbsent(parameters, 18, "value", std::nullopt));
  EXPECT_FALSE(has(parameters, "_el"));

  // "_ev" alone blocks the three-marker writer but not the code writer.
  parameters = {{Object("_ev"), stringValue("x")}};
  EXPECT_FALSE(tlm_setErrorMarkersIfAbsent(parameters, 3, "y", std::nullopt));
  EXPECT_TRUE(tlm_setErrorCodeIfAbsent(parameters, 5));
  EXPECT_EQ(errorValue(parameters), "x");
}

TEST_F(ValidationMarkersTest, ErrorEventForAnInvalidEventName) {
  EXPECT_EQ(kTLMErrorEventNameMaxLength, 40u);
  EXPECT_EQ(kTLMErrorEventUserPropertyMaxLength, 24u);
  const std::string name = asciiName(41);
  tlm_logErrorEvent(kTLMErrorCodeInvalidEventName, Object(name), kTLMErrorEventNameMaxLength,
                    Object(name));
  const auto events = loggedEvents();
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0].origin, "auto");
  EXPECT_EQ(events[0].name, "_err");
  const ObjectDictionary& parameters = events[0].parameters;
  ASSERT_EQ(parameters.size(), 3u);
  // Plain objects: the internal-event path converts them.
  EXPECT_EQ(*plain(parameters, "_err"), Object::integer(2));
  EXPECT_EQ(plain(parameters, "_err")->numberKind(), Object::NumberKind::Integer);
  EXPECT_EQ(*plain(parameters, "_ev"), Object(asciiName(40) + "..."));
  EXPECT_EQ(*plain(parameters, "_el"), Object::integer(41));
}

TEST_F(ValidationMarkersTest, ErrorEventLengthRule) {
  // At the maximum, with a code other than 4 and 7: no length.
  tlm_logErrorEvent(kTLMErrorCodeEventNameIsReserved, Object("session_start"), 40,
                    Object("session_start"));
  tlm_logErrorEvent(kTLMErrorCodeInvalidEventName, Object(asciiName(40)), 40,
                    Object(asciiName(40)));
  // Codes 4 and 7 always carry the length, even when it is short.
  tlm_logErrorEvent(kTLMErrorCodeUserPropertyValueTooLong, Object("level"), 24,
                    Object(asciiName(37)));
  tlm_logErrorEvent(kTLMErrorCodeInvalidParameterValue, Object("note"), 24, Object("x"));
  // Letters outside the basic plane count once.
  tlm_logErrorEvent(kTLMErrorCodeInvalidUserPropertyName, Object(repeated(kDeseretI, 25)), 24,
                    Object(repeated(kDeseretI, 25)));
  // A value without a length gives none.
  tlm_logErrorEvent(kTLMErrorCodeUserPropertyValueTooLong, Object("level"), 24,
                    Object::integer(1234567));
  const auto events = loggedEvents();
  ASSERT_EQ(events.size(), 6u);
  EXPECT_EQ(plain(events[0].parameters, "_el"), nullptr);
  EXPECT_EQ(*plain(events[0].parameters, "_ev"), Object("session_start"));
  EXPECT_EQ(plain(events[1].parameters, "_el"), nullptr);
  EXPECT_EQ(*plain(events[2].parameters, "_el"), Object::integer(37));
  EXPECT_EQ(*plain(events[2].parameters, "_ev"), Object("level"));
  EXPECT_EQ(*plain(events[3].parameters, "_el"), Object::integer(1));
  EXPECT_EQ(*plain(events[4].parameters, "_el"), Object::integer(25));
  EXPECT_EQ(*plain(events[4].parameters, "_ev"), Object(repeated(kDeseretI, 24) + "..."));
  EXPECT_EQ(plain(events[5].parameters, "_el"), nullptr);
}

TEST_F(ValidationMarkersTest, ErrorEventCodeOnlyAndCodeZero) {
  tlm_logErrorEvent(kTLMErrorCodeNoError, Object("x"), 40, Object("x"));
  tlm_logErrorEventWithCode(kTLMErrorCodeNoError);
  EXPECT_TRUE(loggedEvents().empty());
  tlm_logErrorEventWithCode(kTLMErrorCodePublicEventLimitReached);
  tlm_logErrorEvent(kTLMErrorCodeInvalidEventName, std::nullopt, 40, std::nullopt);
  const auto events = loggedEvents();
  ASSERT_EQ(events.size(), 2u);
  EXPECT_EQ(events[0].parameters.size(), 1u);
  EXPECT_EQ(*plain(events[0].parameters, "_err"), Object::integer(16));
  EXPECT_EQ(*plain(events[1].parameters, "_ev"), Object("(nil)"));
  EXPECT_EQ(plain(events[1].parameters, "_el"), nullptr);
}

TEST_F(ValidationMarkersTest, SeamDropsEventsUntilConnected) {
  TLMErrorEventSeam::connect(nullptr);
  EXPECT_FALSE(TLMErrorEventSeam::isConnected());
  tlm_logErrorEventWithCode(kTLMErrorCodeEventLimitReached);  // dropped, no crash

  // The connected function may log again through the seam.
  int calls = 0;
  TLMErrorEventSeam::connect(
      [&calls](const std::string&, const std::string&, const ObjectDictionary& parameters) {
        ++calls;
        if (calls == 1) tlm_logErrorEventWithCode(parameters.size() == 1 ? 9 : 0);
      });
  EXPECT_TRUE(TLMErrorEventSeam::isConnected());
  tlm_logErrorEventWithCode(kTLMErrorCodeEventLimitReached);
  EXPECT_EQ(calls, 2);
}

TEST_F(ValidationMarkersTest, SeamIsSafeFromSeveralThreads) {
  std::atomic<int> calls{0};
  TLMErrorEventSeam::connect(
      [&calls](const std::string&, const std::string&, const ObjectDictionary&) { ++calls; });
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([] {
      for (int i = 0; i < 200; ++i) tlm_logErrorEventWithCode(kTLMErrorCodeEventLimitReached);
    });
  }
  // Reconnecting while calls are in flight keeps every call on one of the
  // two functions.
  std::atomic<int> laterCalls{0};
  TLMErrorEventSeam::connect(
      [&calls, &laterCalls](const std::string&, const std::string&, const ObjectDictionary&) {
        ++calls;
        ++laterCalls;
      });
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(calls.load(), 800);
  TLMErrorEventSeam::connect(nullptr);
}

}  // namespace
