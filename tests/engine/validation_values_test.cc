// Values: parameter and user-property values, the numeric and currency
// checks, and the array-parameter checks, each limit at its boundary.
#include <gtest/gtest.h>

#include <string>

#include "engine/TLMDataTypeValidator.h"
#include "engine/TLMValidationLimits.h"
#include "validation_test_support.h"

namespace {

using V = TLMDataTypeValidator;

class ValidationValuesTest : public ValidationTest {};

TEST_F(ValidationValuesTest, ParameterValueLengthsAtTheirBoundaries) {
  EXPECT_EQ(kTLMMaxPublicEventParameterValueLength, 100u);
  EXPECT_EQ(kTLMMaxInternalEventParameterValueLength, 256u);
  unsigned failure = 99;
  EXPECT_TRUE(V::isValidPublicEventParameterValue(stringValue(asciiName(100)), &failure));
  EXPECT_TRUE(V::isValidPublicEventParameterValue(stringValue(repeated(kDeseretA, 100)), &failure));
  EXPECT_EQ(failureOf(V::isValidPublicEventParameterValue, stringValue("")), kTLMValidatorValid);
  EXPECT_EQ(failureOf(V::isValidPublicEventParameterValue, stringValue(asciiName(101))),
            kTLMValidatorFailureTooLong);
  // A value subject reports at warning level.
  const std::vector<std::string> lines = printed();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_NE(lines[0].find(" W <Ferrolux>[I-ACS013000] Event parameter value is too long. The "
                          "maximum supported length is 100: " +
                          asciiName(101)),
            std::string::npos)
      << lines[0];
  EXPECT_FALSE(
      V::isValidPublicEventParameterValue(stringValue(repeated(kDeseretA, 101)), &failure));

  EXPECT_TRUE(V::isValidInternalEventParameterValue(stringValue(asciiName(256)), &failure));
  EXPECT_EQ(failureOf(V::isValidInternalEventParameterValue, stringValue(asciiName(257))),
            kTLMValidatorFailureTooLong);
}

TEST_F(ValidationValuesTest, ValuesMustBeTLMValues) {
  unsigned failure = 99;
  EXPECT_TRUE(V::isValidPublicEventParameterValue(intValue(7), &failure));
  EXPECT_TRUE(V::isValidPublicEventParameterValue(doubleValue(0.5), &failure));
  EXPECT_EQ(failureOf(V::isValidPublicEventParameterValue, TLMValue::fromArray({})->asObject()),
            kTLMValidatorValid);
  EXPECT_EQ(failureOf(V::isValidPublicEventParameterValue, std::nullopt),
            kTLMValidatorFailureNilOrEmpty);
  EXPECT_EQ(onePrinted(13004), "Event parameter value cannot be nil");
  EXPECT_EQ(failureOf(V::isValidPublicEventParameterValue, Object("plain")),
            kTLMValidatorFailureWrongType);
  EXPECT_EQ(onePrinted(13005),
            "Event parameter value must be a TLMValue instance. value: NSString");
  // A string value that is not UTF-8 is refused, not passed on.
  EXPECT_EQ(failureOf(V::isValidInternalEventParameterValue, stringValue("bad\xFE")),
            kTLMValidatorFailureWrongType);
}

TEST_F(ValidationValuesTest, UserPropertyValues) {
  EXPECT_EQ(kTLMMaxUserPropertyValueLength, 36u);
  EXPECT_EQ(kTLMMaxIdentifierUserPropertyValueLength, 256u);
  unsigned failure = 99;
  EXPECT_TRUE(V::isValidPublicUserAttributeValue(stringValue(asciiName(36)), &failure));
  EXPECT_EQ(failureOf(V::isValidPublicUserAttributeValue, stringValue(asciiName(37))),
            kTLMValidatorFailureTooLong);
  EXPECT_EQ(
      onePrinted(13000),
      "User property value is too long. The maximum supported length is 36: " + asciiName(37));
  // Empty fails, without a message for value subjects.
  clearPrinted();
  EXPECT_EQ(failureOf(V::isValidPublicUserAttributeValue, stringValue("")),
            kTLMValidatorFailureNilOrEmpty);
  EXPECT_TRUE(printed().empty());

  const Object other("level");
  EXPECT_TRUE(V::isValidInternalUserAttributeValue(stringValue(asciiName(36)), other, &failure));
  EXPECT_FALSE(V::isValidInternalUserAttributeValue(stringValue(asciiName(37)), other, &failure));
  for (const char* identifier : {"_id", "_pvbid"}) {
    EXPECT_TRUE(V::isValidInternalUserAttributeValue(stringValue(asciiName(256)),
                                                     Object(identifier), &failure));
    EXPECT_FALSE(V::isValidInternalUserAttributeValue(stringValue(asciiName(257)),
                                                      Object(identifier), &failure));
    EXPECT_EQ(failure, kTLMValidatorFailureTooLong);
  }
  EXPECT_FALSE(
      V::isValidInternalUserAttributeValue(stringValue(asciiName(37)), std::nullopt, &failure));
  EXPECT_TRUE(V::isValidInternalUserAttributeValue(intValue(123456789), Object("_id"), &failure));

  EXPECT_TRUE(V::isValidConditionalUserPropertyValue(stringValue(asciiName(36)), &failure));
  EXPECT_EQ(failureOf(V::isValidConditionalUserPropertyValue, stringValue(asciiName(37))),
            kTLMValidatorFailureTooLong);
  EXPECT_EQ(printedWithCode(13000).back(),
            "Conditional user property value is too long. The maximum supported length is 36: " +
                asciiName(37));
}

TEST_F(ValidationValuesTest, NumericValues) {
  unsigned failure = 99;
  EXPECT_TRUE(V::isValidNumericValue(intValue(3), &failure));
  EXPECT_EQ(failureOf(V::isValidNumericValue, doubleValue(9.99)), kTLMValidatorValid);
  EXPECT_EQ(failureOf(V::isValidNumericValue, stringValue("9.99")), kTLMValidatorFailureNotNumeric);
  EXPECT_EQ(onePrinted(13011),
            "Event parameter value must be specified with a numeric type. value: 9.99");
  // A plain number has not been converted yet: it is not a value.
  EXPECT_EQ(failureOf(V::isValidNumericValue, Object::integer(3)), kTLMValidatorFailureNotNumeric);
  EXPECT_EQ(failureOf(V::isValidNumericValue, std::nullopt), kTLMValidatorFailureNotNumeric);
}

TEST_F(ValidationValuesTest, CurrencyCodesAreThreeLettersCountedInUTF16Units) {
  EXPECT_EQ(kTLMCurrencyCodeLength, 3u);
  unsigned failure = 99;
  for (const char* code : {"USD", "eur", "\u00C4\u00D6\u00DC"}) {
    EXPECT_EQ(failureOf(V::isValidCurrencyCode, stringValue(code)), kTLMValidatorValid) << code;
  }
  EXPECT_TRUE(printed().empty());
  // Three letters outside the basic plane are six UTF-16 units.
  const std::string supplementary = std::string(kDeseretI) + kDeseretE + kDeseretA;
  EXPECT_EQ(failureOf(V::isValidCurrencyCode, stringValue(supplementary)),
            kTLMValidatorFailureInvalidCurrencyCode);
  EXPECT_EQ(onePrinted(13012),
            "Event parameter value must contain a 3-letter ISO_4217 currency code. value: " +
                supplementary);
  for (const char* bad : {"US", "USDX", "US1", "U D", "", "US\xFF"}) {
    EXPECT_EQ(failureOf(V::isValidCurrencyCode, stringValue(bad)),
              kTLMValidatorFailureInvalidCurrencyCode)
        << bad;
  }
  // "U" + combining mark + "SD" is three code points but a mark is no letter.
  EXPECT_FALSE(
      V::isValidCurrencyCode(stringValue(std::string("U") + kCombiningAcute + "S"), &failure));
  EXPECT_FALSE(V::isValidCurrencyCode(intValue(840), &failure));
  EXPECT_FALSE(V::isValidCurrencyCode(Object("USD"), &failure));
  EXPECT_FALSE(V::isValidCurrencyCode(std::nullopt, &failure));
  EXPECT_EQ(printedWithCode(13012).back(),
            "Event parameter value must contain a 3-letter ISO_4217 currency code. value: (nil)");
}

TEST_F(ValidationValuesTest, ArrayParameters) {
  EXPECT_EQ(kTLMMaxArrayParameterItems, 200u);
  unsigned failure = 99;
  EXPECT_TRUE(
      V::isValidArrayParamForEvent(Object("purchase"), Object("items"), 200, false, &failure));
  EXPECT_TRUE(V::isValidArrayParamForEvent(Object("view_search_results"), Object("items"), 0, false,
                                           &failure));
  EXPECT_EQ(failure, kTLMValidatorValid);
  EXPECT_TRUE(printed().empty());

  EXPECT_FALSE(
      V::isValidArrayParamForEvent(Object("purchase"), Object("items"), 201, false, &failure));
  EXPECT_EQ(failure, kTLMValidatorFailureTooManyArrayItems);
  EXPECT_EQ(printedWithCode(13013).back(),
            "Array parameter has too many items. The maximum number of supported items is 200. "
            "Invalid array size: 201");

  EXPECT_FALSE(
      V::isValidArrayParamForEvent(Object("purchase"), Object("products"), 1, false, &failure));
  EXPECT_EQ(failure, kTLMValidatorFailureArrayNotNamedItems);
  EXPECT_EQ(printedWithCode(13013).back(),
            "Event parameter name is an invalid ecommerce items. The name of array parameters "
            "for ecommerce should be \"items\". Invalid parameter name: products");

  EXPECT_FALSE(
      V::isValidArrayParamForEvent(Object("level_up"), Object("items"), 1, false, &failure));
  EXPECT_EQ(failure, kTLMValidatorFailureArrayOnNonEcommerceEvent);
  EXPECT_EQ(printedWithCode(13013).back(),
            "Only ecommerce events are allowed to contain array parameters. Invalid ecommerce "
            "name: level_up");
  EXPECT_FALSE(V::isValidArrayParamForEvent(std::nullopt, Object("items"), 1, false, &failure));
  EXPECT_EQ(failure, kTLMValidatorFailureArrayOnNonEcommerceEvent);

  // Nesting is checked first.
  EXPECT_FALSE(
      V::isValidArrayParamForEvent(Object("level_up"), Object("items"), 500, true, &failure));
  EXPECT_EQ(failure, kTLMValidatorFailureNestedArray);
  EXPECT_EQ(printedWithCode(13013).back(), "Nested array parameters are not allowed. Name: items");

  EXPECT_TRUE(V::isValidArrayParamItem(Object::dictionary({}), &failure));
  EXPECT_EQ(failureOf(V::isValidArrayParamItem, Object("item")),
            kTLMValidatorFailureArrayItemNotDictionary);
  EXPECT_EQ(onePrinted(13014), "Array param must be a dictionary. Parameters: item");
}

TEST_F(ValidationValuesTest, NoFailureCodeOutParameterIsFine) {
  EXPECT_FALSE(V::isValidPublicEventName("1abc", nullptr));
  EXPECT_FALSE(V::isValidCurrencyCode(std::nullopt, nullptr));
  EXPECT_FALSE(V::isValidArrayParamItem(std::nullopt, nullptr));
  EXPECT_TRUE(V::isValidPublicEventParameterValue(intValue(1), nullptr));
}

}  // namespace
