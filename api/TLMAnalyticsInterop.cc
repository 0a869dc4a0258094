// The facade's shared instance and the interop methods sibling components
// call on it.
#include <cerrno>
#include <cstdlib>
#include <memory>
#include <string>

#include <unicode/regex.h>
#include <unicode/unistr.h>

#include "api/TLMAnalytics.h"
#include "api/TLMDecimalString.h"
#include "engine/TLMMeasurement.h"
#include "upload/TLMMonitor.h"

namespace {

constexpr char kAdEventIDParameter[] = "_aeid";
constexpr long kCodeAdEventIDNotNumber = 25024;

}  // namespace

std::shared_ptr<TLMAnalyticsInterop> TLMAnalytics::sharedInstance() {
  // Leaked on purpose: pool threads may use it while the process exits.
  static const auto* const instance =
      new std::shared_ptr<TLMAnalyticsInterop>(std::make_shared<TLMAnalyticsInterop>());
  return *instance;
}

bool tlm_isDecimalString(const std::string& text) {
  if (text.empty()) return false;
  // Compiled once; a pattern is immutable and may be shared by threads,
  // each match takes its own matcher.
  static const icu::RegexPattern* const pattern = [] {
    UErrorCode status = U_ZERO_ERROR;
    UParseError parseError;
    icu::RegexPattern* compiled = icu::RegexPattern::compile(
        icu::UnicodeString::fromUTF8(R"(^[+-]?(([0-9]+\.?)|([0-9]*\.[0-9]+))$)"),
        UREGEX_CASE_INSENSITIVE, parseError, status);
    return U_SUCCESS(status) ? compiled : nullptr;
  }();
  if (pattern == nullptr) return false;
  UErrorCode status = U_ZERO_ERROR;
  const icu::UnicodeString subject = icu::UnicodeString::fromUTF8(text);
  std::unique_ptr<icu::RegexMatcher> matcher(pattern->matcher(subject, status));
  if (U_FAILURE(status) || matcher == nullptr) return false;
  // The whole string: "$" alone would also accept a final line break.
  const bool matched = matcher->matches(status);
  return U_SUCCESS(status) && matched;
}

std::int64_t tlm_decimalStringInt64Value(const std::string& text) {
  // The integer part, clamped to the 64-bit range as strtoll clamps.
  errno = 0;
  return static_cast<std::int64_t>(std::strtoll(text.c_str(), nullptr, 10));
}

void TLMAnalyticsInterop::logInternalEventWithOrigin(const std::string& origin,
                                                     const std::string& name,
                                                     const OptionalObject& parameters) {
  OptionalObject forwarded = parameters;
  if (origin == kTLMOriginVM && parameters && parameters->isDictionary()) {
    const Object* adEventID = parameters->objectForKey(kAdEventIDParameter);
    const std::string* text = adEventID != nullptr ? adEventID->asString() : nullptr;
    if (text != nullptr) {
      if (tlm_isDecimalString(*text)) {
        ObjectDictionary replaced = *parameters->asDictionary();
        replaced[Object(kAdEventIDParameter)] = Object::integer(tlm_decimalStringInt64Value(*text));
        forwarded = Object::dictionary(std::move(replaced));
      } else {
        TLMMeasurement::monitor().logWithLevel(2, kCodeAdEventIDNotNumber,
                                               "AdEvent ID string is not a number");
      }
    }
  }
  TLMAnalytics::logInternalEventWithOrigin(origin, name, forwarded);
}

void TLMAnalyticsInterop::setInternalUserProperty(const OptionalObject& value,
                                                  const std::string& name,
                                                  const std::string& origin) {
  TLMAnalytics::setInternalUserProperty(value, name, origin);
}
