// Names: character classes, lengths in code points, reserved names and
// prefixes, origins, user-property and conditional-property names, and
// every name limit at its boundary.
#include <gtest/gtest.h>

#include <string>

#include "common/StringHelpers.h"
#include "engine/TLMCharacterClasses.h"
#include "engine/TLMDataTypeValidator.h"
#include "engine/TLMValidationLimits.h"
#include "validation_test_support.h"

namespace {

using V = TLMDataTypeValidator;

TEST(ValidationCharacterClassesTest, LettersComeFromUnicodeNotFromLatin) {
  EXPECT_TRUE(tlm_isNameLetter(U'a'));
  EXPECT_TRUE(tlm_isNameLetter(U'\u00E9'));      // é
  EXPECT_TRUE(tlm_isNameLetter(U'\u0416'));      // Ж
  EXPECT_TRUE(tlm_isNameLetter(U'\u6F22'));      // 漢
  EXPECT_TRUE(tlm_isNameLetter(U'\u02B0'));      // modifier letter
  EXPECT_TRUE(tlm_isNameLetter(U'\U00010400'));  // outside the basic plane
  EXPECT_FALSE(tlm_isNameLetter(U'\u0301'));     // combining acute accent
  EXPECT_FALSE(tlm_isNameLetter(U'\u0903'));     // spacing combining mark
  EXPECT_FALSE(tlm_isNameLetter(U'7'));
  EXPECT_FALSE(tlm_isNameLetter(U'_'));
}

TEST(ValidationCharacterClassesTest, NameCharactersAreLettersDecimalDigitsAndUnderscore) {
  EXPECT_TRUE(tlm_isNameCharacter(U'_'));
  EXPECT_TRUE(tlm_isNameCharacter(U'9'));
  EXPECT_TRUE(tlm_isNameCharacter(U'\u0663'));   // ARABIC-INDIC DIGIT THREE
  EXPECT_FALSE(tlm_isNameCharacter(U'\u00BD'));  // ½ is a number but not a decimal digit
  EXPECT_FALSE(tlm_isNameCharacter(U'\u0301'));
  EXPECT_FALSE(tlm_isNameCharacter(U'-'));
  EXPECT_FALSE(tlm_isNameCharacter(U' '));
  EXPECT_FALSE(tlm_isNameCharacter(U'\u00A0'));

  EXPECT_EQ(tlm_firstForbiddenNameCharacter("ab_c1"), std::nullopt);
  EXPECT_EQ(tlm_firstForbiddenNameCharacter("ab-c"), 2u);
  // A stray continuation byte is forbidden, at its own offset.
  EXPECT_EQ(tlm_firstForbiddenNameCharacter("ab\x80"), 2u);
}

TEST(ValidationCharacterClassesTest, UTF16LengthAndRepair) {
  EXPECT_EQ(tlm_UTF16Length("abc"), 3u);
  EXPECT_EQ(tlm_UTF16Length("\u00E9"), 1u);
  EXPECT_EQ(tlm_UTF16Length(repeated(kDeseretI, 3)), 6u);
  EXPECT_EQ(tlm_UTF16Length("a\xFF"), 2u);
  EXPECT_EQ(tlm_repairedUTF8("a\xFF"
                             "b"),
            "a\xEF\xBF\xBD"
            "b");
  EXPECT_EQ(tlm_repairedUTF8("\xE2\x82"), "\xEF\xBF\xBD\xEF\xBF\xBD");
  EXPECT_EQ(tlm_repairedUTF8("caf\xC3\xA9"), "caf\xC3\xA9");
}

class ValidationNamesTest : public ValidationTest {};

// The limits themselves, in characters, are checked for every name below.
TEST_F(ValidationNamesTest, TooLongEventNameIsReportedWithTheLimit) {
  const std::string tooLong = asciiName(41);
  EXPECT_FALSE(V::isValidPublicEventName(tooLong, nullptr));
  EXPECT_EQ(onePrinted(13000),
            "Event name is too long. The maximum supported length is 40: " + tooLong);
}

TEST_F(ValidationNamesTest, LeadingDigitIsInternalButNotPublic) {
  unsigned failure = 99;
  EXPECT_EQ(failureOf(V::isValidInternalEventName, "1abc"), kTLMValidatorValid);
  EXPECT_EQ(failureOf(V::isValidPublicEventName, "1abc"), kTLMValidatorFailureForbiddenCharacter);
  EXPECT_EQ(onePrinted(13003), "Event name must start with a letter");
  // An underscore is a name character but not a letter either.
  EXPECT_EQ(failureOf(V::isValidPublicEventParameterName, "_abc"),
            kTLMValidatorFailureForbiddenCharacter);
  EXPECT_TRUE(V::isValidInternalEventParameterName("_abc", &failure));
}

TEST_F(ValidationNamesTest, NonLatinLettersPassAndCombiningMarksFail) {
  unsigned failure = 99;
  EXPECT_TRUE(V::isValidPublicEventName("\u00E9v\u00E9nement", &failure));
  EXPECT_TRUE(V::isValidPublicEventName("\u0441\u043E\u0431\u044B\u0442\u0438\u0435", &failure));
  EXPECT_TRUE(V::isValidPublicEventName("\u6F22\u5B57_2", &failure));
  EXPECT_EQ(failureOf(V::isValidPublicEventName, std::string(kDeseretA) + "x"), kTLMValidatorValid);
  EXPECT_TRUE(printed().empty());

  // "e" followed by a combining accent: the mark is not a name character.
  EXPECT_EQ(failureOf(V::isValidPublicEventName, std::string("e") + kCombiningAcute + "vent"),
            kTLMValidatorFailureForbiddenCharacter);
  EXPECT_EQ(onePrinted(13002), "Event name must contain only letters, numbers, or underscores");
  EXPECT_EQ(failureOf(V::isValidInternalEventName, std::string(kCombiningAcute) + "e"),
            kTLMValidatorFailureForbiddenCharacter);
  EXPECT_EQ(failureOf(V::isValidInternalEventName, "level up"),
            kTLMValidatorFailureForbiddenCharacter);
}

TEST_F(ValidationNamesTest, ReservedEventNamesAndPrefixes) {
  unsigned failure = 99;
  EXPECT_TRUE(V::isValidPublicEventName("screen_view", &failure));
  EXPECT_TRUE(V::isValidPublicEventName("ad_impression", &failure));
  EXPECT_TRUE(V::isValidPublicEventName("level_up", &failure));
  EXPECT_TRUE(V::isValidPublicEventName("Tx_is_case_sensitive", &failure));
  EXPECT_EQ(failureOf(V::isValidPublicEventName, "txn"), kTLMValidatorValid);
  EXPECT_TRUE(printed().empty());

  for (const char* reserved : {"session_start", "first_open", "user_engagement", "app_update",
                               "quillfen_campaign", "error"}) {
    EXPECT_EQ(failureOf(V::isValidPublicEventName, reserved), kTLMValidatorFailureReserved)
        << reserved;
    // Internal events use these names freely.
    EXPECT_TRUE(V::isValidInternalEventName(reserved, nullptr)) << reserved;
  }
  EXPECT_EQ(printedWithCode(13006).size(), 6u);
  EXPECT_EQ(printedWithCode(13006)[0], "Event name is reserved. Ignoring event");

  for (const char* prefixed : {"quillfen_x", "tarvix_x", "tx_x"}) {
    EXPECT_EQ(failureOf(V::isValidPublicEventName, prefixed), kTLMValidatorFailureReserved)
        << prefixed;
  }
  EXPECT_EQ(printedWithCode(13007).size(), 3u);
  EXPECT_EQ(printedWithCode(13007)[0], "Event name uses reserved prefix. Ignoring event");

  EXPECT_EQ(failureOf(V::isValidPublicEventParameterName, "tarvix_id"),
            kTLMValidatorFailureReserved);
  EXPECT_EQ(onePrinted(13008), "Parameter name uses reserved prefix. Ignoring parameter");
  EXPECT_TRUE(V::isValidInternalEventParameterName("tarvix_id", &failure));

  EXPECT_TRUE(V::hasReservedPrefixes("tx_"));
  EXPECT_FALSE(V::hasReservedPrefixes("tx"));
  EXPECT_FALSE(V::hasReservedPrefixes("a_tx_"));
}

TEST_F(ValidationNamesTest, NilEmptyNonStringAndMalformedNames) {
  unsigned failure = 99;
  EXPECT_EQ(failureOf(V::isValidPublicEventName, std::nullopt), kTLMValidatorFailureNilOrEmpty);
  EXPECT_EQ(onePrinted(13001), "Event name is required and can't be nil");
  EXPECT_EQ(failureOf(V::isValidPublicEventName, ""), kTLMValidatorFailureNilOrEmpty);
  EXPECT_EQ(printedWithCode(13001).back(), "Event name is required and can't be empty");
  EXPECT_EQ(failureOf(V::isValidPublicEventName, Object::integer(5)),
            kTLMValidatorFailureWrongType);
  EXPECT_EQ(onePrinted(13000), "Event name must be of type NSString: 5");

  // Bytes that are not UTF-8 fail as a wrong type, and never reach output.
  clearPrinted();
  for (const char* malformed : {"ab\xFF", "\xC3", "\xED\xA0\x80x", "\xC0\xAF"}) {
    EXPECT_EQ(failureOf(V::isValidPublicEventName, malformed), kTLMValidatorFailureWrongType)
        << malformed;
    EXPECT_FALSE(V::isValidInternalEventParameterName(malformed, &failure));
    EXPECT_FALSE(V::isValidPublicUserAttributeName(malformed, &failure));
    EXPECT_FALSE(V::isValidForwardedEventOrigin(std::string(malformed) + "+wkl", &failure));
  }
  for (const std::string& line : printed()) EXPECT_TRUE(tlm_isValidUTF8(line)) << line;
  EXPECT_EQ(printedWithCode(13000)[0], "Event name must be of type NSString");
}

TEST_F(ValidationNamesTest, ForwardedAndInternalOrigins) {
  unsigned failure = 99;
  EXPECT_EQ(failureOf(V::isValidForwardedEventOrigin, "crash+wkl"), kTLMValidatorValid);
  EXPECT_TRUE(V::isValidForwardedEventOrigin(asciiName(32) + "+wkl", &failure));

  // Without the suffix, nil or empty: failure codes only, no message, so
  // that event creation can try the internal origin rule next.
  EXPECT_EQ(failureOf(V::isValidForwardedEventOrigin, "crash"), kTLMValidatorFailureNotForwarded);
  EXPECT_EQ(failureOf(V::isValidForwardedEventOrigin, ""), kTLMValidatorFailureNilOrEmpty);
  EXPECT_EQ(failureOf(V::isValidForwardedEventOrigin, std::nullopt),
            kTLMValidatorFailureNilOrEmpty);
  EXPECT_TRUE(printed().empty());
  EXPECT_TRUE(V::isValidInternalEventOrigin("crash", &failure));
  EXPECT_TRUE(V::isValidInternalEventOrigin("app", &failure));

  // The part before the suffix follows the internal-name rule.
  EXPECT_EQ(failureOf(V::isValidForwardedEventOrigin, asciiName(33) + "+wkl"),
            kTLMValidatorFailureTooLong);
  EXPECT_EQ(onePrinted(13000),
            "Event origin is too long. The maximum supported length is 32: " + asciiName(33));
  EXPECT_EQ(failureOf(V::isValidForwardedEventOrigin, "cr-sh+wkl"),
            kTLMValidatorFailureForbiddenCharacter);
  EXPECT_EQ(failureOf(V::isValidForwardedEventOrigin, "+wkl"), kTLMValidatorFailureNilOrEmpty);
  EXPECT_EQ(onePrinted(13001), "Event origin is required and can't be empty");
  EXPECT_EQ(failureOf(V::isValidForwardedEventOrigin, "crash+wkl+wkl"),
            kTLMValidatorFailureForbiddenCharacter);
  EXPECT_EQ(failureOf(V::isValidForwardedEventOrigin, Object::integer(1)),
            kTLMValidatorFailureWrongType);

  EXPECT_TRUE(V::isValidInternalEventOrigin(asciiName(32), &failure));
  EXPECT_EQ(failureOf(V::isValidInternalEventOrigin, asciiName(33)), kTLMValidatorFailureTooLong);
  EXPECT_EQ(failureOf(V::isValidInternalEventOrigin, "a+wkl"),
            kTLMValidatorFailureForbiddenCharacter);
}

TEST_F(ValidationNamesTest, UserPropertyNames) {
  unsigned failure = 99;
  EXPECT_TRUE(V::isValidPublicUserAttributeName(asciiName(24), &failure));
  EXPECT_EQ(failureOf(V::isValidPublicUserAttributeName, asciiName(25)),
            kTLMValidatorFailureTooLong);
  EXPECT_EQ(onePrinted(13000),
            "User property name is too long. The maximum supported length is 24: " + asciiName(25));
  EXPECT_TRUE(V::isValidInternalUserAttributeName(asciiName(24), &failure));
  EXPECT_FALSE(V::isValidInternalUserAttributeName(asciiName(25), &failure));

  for (const char* reserved : {"user_id", "first_open_time", "tx_session_id"}) {
    EXPECT_EQ(failureOf(V::isValidPublicUserAttributeName, reserved), kTLMValidatorFailureReserved)
        << reserved;
  }
  EXPECT_EQ(printedWithCode(13009).size(), 3u);
  EXPECT_EQ(printedWithCode(13009)[0], "User property name is reserved. Ignoring user property");
  EXPECT_EQ(failureOf(V::isValidPublicUserAttributeName, "quillfen_x"),
            kTLMValidatorFailureReserved);
  EXPECT_EQ(onePrinted(13010), "User property name uses reserved prefix. Ignoring user property");
  EXPECT_TRUE(V::isValidInternalUserAttributeName("_id", &failure));
  EXPECT_EQ(failureOf(V::isValidPublicUserAttributeName, "_id"),
            kTLMValidatorFailureForbiddenCharacter);
  EXPECT_TRUE(V::isValidPublicUserAttributeName("favorite_food", &failure));
}

// Every name limit, at its boundary, through the check that uses it.
TEST_F(ValidationNamesTest, EveryNameLimitAtItsBoundary) {
  struct Case {
    const char* check;
    std::size_t limit;
    bool (*validate)(const OptionalObject&, unsigned*);
  };
  const Case cases[] = {
      {"public event name", kTLMMaxEventNameLength, &V::isValidPublicEventName},
      {"internal event name", kTLMMaxEventNameLength, &V::isValidInternalEventName},
      {"internal origin", kTLMMaxEventOriginLength, &V::isValidInternalEventOrigin},
      {"public parameter name", kTLMMaxEventParameterNameLength,
       &V::isValidPublicEventParameterName},
      {"internal parameter name", kTLMMaxEventParameterNameLength,
       &V::isValidInternalEventParameterName},
      {"public property name", kTLMMaxUserPropertyNameLength, &V::isValidPublicUserAttributeName},
      {"internal property name", kTLMMaxUserPropertyNameLength,
       &V::isValidInternalUserAttributeName},
      {"conditional origin", kTLMMaxConditionalUserPropertyOriginLength,
       &V::isValidConditionalUserPropertyOrigin},
      {"conditional name", kTLMMaxConditionalUserPropertyNameLength,
       &V::isValidConditionalUserPropertyName},
      {"screen value", kTLMMaxScreenParameterValueLength, &V::isValidScreenParameterValue},
  };
  EXPECT_EQ(kTLMMaxEventNameLength, 40u);
  EXPECT_EQ(kTLMMaxEventOriginLength, 32u);
  EXPECT_EQ(kTLMMaxEventParameterNameLength, 40u);
  EXPECT_EQ(kTLMMaxUserPropertyNameLength, 24u);
  EXPECT_EQ(kTLMMaxConditionalUserPropertyOriginLength, 32u);
  EXPECT_EQ(kTLMMaxConditionalUserPropertyNameLength, 24u);
  EXPECT_EQ(kTLMMaxScreenParameterValueLength, 100u);
  for (const Case& c : cases) {
    unsigned failure = 99;
    EXPECT_TRUE(c.validate(asciiName(c.limit), &failure)) << c.check;
    EXPECT_EQ(failure, kTLMValidatorValid) << c.check;
    EXPECT_TRUE(c.validate(repeated(kDeseretI, c.limit), &failure)) << c.check;
    EXPECT_FALSE(c.validate(asciiName(c.limit + 1), &failure)) << c.check;
    EXPECT_EQ(failure, kTLMValidatorFailureTooLong) << c.check;
    EXPECT_FALSE(c.validate(repeated(kDeseretI, c.limit + 1), &failure)) << c.check;
    EXPECT_EQ(failure, kTLMValidatorFailureTooLong) << c.check;
    EXPECT_FALSE(c.validate("", &failure)) << c.check;
    EXPECT_EQ(failure, kTLMValidatorFailureNilOrEmpty) << c.check;
  }
}

TEST_F(ValidationNamesTest, ScreenValuesAreStringsOfAnyCharacters) {
  unsigned failure = 99;
  EXPECT_TRUE(V::isValidScreenParameterValue("Main Menu / Settings", &failure));
  EXPECT_EQ(failureOf(V::isValidScreenParameterValue, ""), kTLMValidatorFailureNilOrEmpty);
  EXPECT_EQ(onePrinted(13001), "Screen parameter value is required and can't be empty");
  EXPECT_EQ(failureOf(V::isValidScreenParameterValue, stringValue("Menu")),
            kTLMValidatorFailureWrongType);
  EXPECT_EQ(onePrinted(13000), "Screen parameter value must be of type NSString: Menu");
}

TEST_F(ValidationNamesTest, SubjectWords) {
  EXPECT_EQ(V::subjectForType(kTLMSubjectConditionalUserPropertyValue),
            "Conditional user property value");
  EXPECT_EQ(V::subjectForType(10), "Object");
  EXPECT_EQ(V::subjectForType(-1), "Object");
  unsigned failure = 99;
  EXPECT_FALSE(V::isValidString(Object::integer(1), 0, 5, 42, &failure));
  EXPECT_EQ(onePrinted(13000), "Object must be of type NSString: 1");
  // Too short is only reachable with a minimum above one.
  EXPECT_FALSE(V::isValidString("ab", 3, 5, kTLMSubjectEventName, &failure));
  EXPECT_EQ(failure, kTLMValidatorFailureTooShort);
  EXPECT_EQ(printedWithCode(13000).back(),
            "Event name is too short. The minimum supported length is 3");
}

}  // namespace
