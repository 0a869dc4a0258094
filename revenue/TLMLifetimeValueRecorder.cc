#include "revenue/TLMLifetimeValueRecorder.h"

#include <unicode/locid.h>
#include <unicode/unistr.h>

#include <charconv>
#include <cstdint>
#include <cstdlib>
#include <limits>
#include <string>
#include <system_error>
#include <vector>

#include "common/StringHelpers.h"
#include "config/TLMRemoteConfig.h"
#include "engine/TLMEvent.h"
#include "engine/TLMMeasurement.h"
#include "engine/TLMNames.h"
#include "engine/TLMUserAttribute.h"
#include "engine/TLMValue.h"
#include "platform/Clock.h"
#include "platform/Platform.h"
#include "storage/TLMDatabase.h"
#include "upload/TLMErrors.h"
#include "upload/TLMMonitor.h"

namespace {

constexpr int kLevelFailure = 1;
constexpr int kLevelDebug = 7;
constexpr std::size_t kCurrencyCodeLength = 3;
constexpr std::int64_t kMicrosPerUnit = 1000000;

constexpr char kInAppPurchaseEvent[] = "_iap";
constexpr char kRefundEvent[] = "refund";
constexpr char kCurrencyParameter[] = "currency";
constexpr char kValueParameter[] = "value";

void report(int level, long code, std::string_view message, ObjectArray contexts = {}) {
  TLMMeasurement::monitor().logWithLevel(level, code, message, contexts);
}

Object parameterObject(const TLMValuePtr& value) {
  return value != nullptr ? Object::library(value) : Object::null();
}

std::string upperCased(const std::string& text) {
  std::string upper;
  icu::UnicodeString::fromUTF8(text).toUpper(icu::Locale::getRoot()).toUTF8String(upper);
  return upper;
}

std::string displayName(const std::string& name) {
  return TLMNames::debugDisplayUserPropertyName(name);
}

}  // namespace

bool TLMLifetimeValueRecorder::isPurchaseEvent(std::string_view name) {
  return name == kInAppPurchaseEvent || isEcommercePurchaseEvent(name);
}

bool TLMLifetimeValueRecorder::isEcommercePurchaseEvent(std::string_view name) {
  return name == "ecommerce_purchase" || name == "purchase" || name == kRefundEvent;
}

std::optional<std::int64_t> TLMLifetimeValueRecorder::microsFromDecimal(double value) {
  // The shortest decimal form ("9.99", "1e+13"), so that 9.99 counts as
  // 9 990 000 micros and not as the binary neighbour 9 989 999.99...
  char text[64];
  const std::to_chars_result written =
      std::to_chars(text, text + sizeof(text), value, std::chars_format::scientific);
  if (written.ec != std::errc()) return std::nullopt;
  const std::string decimal(text, written.ptr);
  if (decimal.find_first_of("ni") != std::string::npos) return std::nullopt;  // nan, inf

  // mantissa digits × 10^exponent, the sign apart.
  const bool negative = decimal.front() == '-';
  const std::size_t exponentAt = decimal.find('e');
  unsigned __int128 digits = 0;
  int fractionDigits = 0;
  bool inFraction = false;
  for (std::size_t i = negative ? 1 : 0; i < exponentAt; ++i) {
    if (decimal[i] == '.') {
      inFraction = true;
      continue;
    }
    digits = digits * 10 + static_cast<unsigned>(decimal[i] - '0');
    if (inFraction) ++fractionDigits;
  }
  const int exponent = std::atoi(decimal.c_str() + exponentAt + 1) - fractionDigits + 6;

  unsigned __int128 magnitude = digits;
  if (exponent >= 0) {
    // 17 significant digits times 10^20 already leaves the 64-bit range.
    if (digits != 0 && exponent > 20) return std::nullopt;
    for (int i = 0; i < exponent; ++i) magnitude *= 10;
  } else {
    if (-exponent > 30) {
      magnitude = 0;
    } else {
      unsigned __int128 divisor = 1;
      for (int i = 0; i < -exponent; ++i) divisor *= 10;
      magnitude = digits / divisor;
      if ((digits % divisor) * 2 >= divisor) magnitude += 1;  // halves away from zero
    }
  }
  if (magnitude > static_cast<unsigned __int128>(std::numeric_limits<std::int64_t>::max())) {
    return std::nullopt;
  }
  const auto micros = static_cast<std::int64_t>(magnitude);
  return negative ? -micros : micros;
}

bool TLMLifetimeValueRecorder::recordLifetimeValueToDatabase(TLMDatabase& database,
                                                             const TLMEvent& event) {
  if (!isPurchaseEvent(event.name())) return true;

  const TLMValuePtr currency = event.parameterValue(kCurrencyParameter);
  if (currency == nullptr || !currency->isString() ||
      tlm_UTF32Length(*currency->stringValue()) != kCurrencyCodeLength) {
    report(kLevelFailure, kTLMLifetimeValueCodeInvalidCurrency,
           "Cannot record transaction with invalid currency code", {parameterObject(currency)});
    return true;
  }
  const TLMValuePtr value = event.parameterValue(kValueParameter);
  if (value == nullptr || !(value->isDouble() || value->isInt64())) {
    report(kLevelFailure, kTLMLifetimeValueCodeInvalidValue,
           "Cannot record transaction with invalid transaction value", {parameterObject(value)});
    return true;
  }

  std::int64_t amount = 0;
  if (event.name() == kInAppPurchaseEvent) {
    // Already in micros; a double is truncated towards zero.
    if (value->isInt64()) {
      amount = value->int64Value();
    } else {
      const double micros = value->doubleValue();
      if (!(micros > static_cast<double>(std::numeric_limits<std::int64_t>::min()) - 1.0 &&
            micros < static_cast<double>(std::numeric_limits<std::int64_t>::max()))) {
        report(kLevelFailure, kTLMLifetimeValueCodeOutOfBounds,
               "Cannot record transaction with value that is out of bounds");
        return false;
      }
      amount = static_cast<std::int64_t>(micros);
    }
  } else {
    const double units =
        value->isDouble() ? value->doubleValue() : static_cast<double>(value->int64Value());
    const std::optional<std::int64_t> micros = microsFromDecimal(units);
    if (!micros) {
      report(kLevelFailure, kTLMLifetimeValueCodeOutOfBounds,
             "Cannot record transaction with value that is out of bounds");
      return false;
    }
    amount = event.name() == kRefundEvent ? -*micros : *micros;
  }

  const std::string name = kTLMLifetimeValuePrefix + upperCased(*currency->stringValue());
  Error error;
  const std::optional<std::vector<TLMUserAttributePtr>> totals =
      database.allLifetimeValueUserAttributes(&error);
  if (!totals) {
    report(kLevelFailure, kTLMLifetimeValueCodeQueryFailed,
           "Failed to query all Lifetime Value User properties. Error", {Object::error(error)});
    return false;
  }

  std::int64_t total = amount;
  bool found = false;
  for (const TLMUserAttributePtr& existing : *totals) {
    if (existing == nullptr || existing->name() != name) continue;
    found = true;
    const std::int64_t previous = existing->value() != nullptr && existing->value()->isInt64()
                                      ? existing->value()->int64Value()
                                      : 0;
    // A total that would leave the 64-bit range is refused rather than
    // wrapped into a wrong sign.
    if (__builtin_add_overflow(previous, amount, &total)) {
      report(kLevelFailure, kTLMLifetimeValueCodeOutOfBounds,
             "Cannot record transaction with value that is out of bounds");
      return false;
    }
    break;
  }
  if (!found && !totals->empty() &&
      static_cast<std::int64_t>(totals->size()) >=
          static_cast<std::int64_t>(TLMMeasurement::remoteConfig().maxTrackedCurrencies())) {
    // The list is newest first: the last one was updated longest ago.
    const std::string& oldest = totals->back()->name();
    if (!database.deleteUserAttributeWithName(oldest, &error)) {
      report(kLevelFailure, kTLMLifetimeValueCodeDeleteFailed,
             "Unable to delete Lifetime Value User property. Name, error",
             {Object(displayName(oldest)), Object::error(error)});
      return false;
    }
  }

  const TLMUserAttributePtr updated = TLMUserAttribute::initWithOrigin(
      "auto", name, TLMValue::initWithInt64(total), Platform::current().clock().now());
  if (updated == nullptr || !database.updateUserAttribute(*updated, &error)) {
    report(kLevelFailure, kTLMLifetimeValueCodeUpsertFailed,
           "Unable to upsert Lifetime Value User Attribute in database. Name, error",
           {Object(displayName(name)), Object::error(error)});
    return false;
  }
  report(kLevelDebug, kTLMLifetimeValueCodeUpdated, "Lifetime value has been updated in database",
         {Object(updated->description())});
  return true;
}
