// Lifetime value: a running total of the money spent per currency, kept
// as the internal user property "_ltv_" + currency code ("_ltv_USD"), in
// millionths of the currency unit (micros). Uploaded with every bundle
// like any other user property.
//
// Class methods only. Runs on the engine's worker queue, inside the
// transaction that stores the event; each total is one row written in one
// statement.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

class TLMDatabase;
class TLMEvent;

// Monitor codes.
inline constexpr long kTLMLifetimeValueCodeInvalidCurrency = 22000;
inline constexpr long kTLMLifetimeValueCodeInvalidValue = 22001;
inline constexpr long kTLMLifetimeValueCodeOutOfBounds = 22002;
inline constexpr long kTLMLifetimeValueCodeQueryFailed = 22003;
inline constexpr long kTLMLifetimeValueCodeDeleteFailed = 22004;
inline constexpr long kTLMLifetimeValueCodeUpsertFailed = 22005;
inline constexpr long kTLMLifetimeValueCodeUpdated = 22006;

inline constexpr char kTLMLifetimeValuePrefix[] = "_ltv_";

class TLMLifetimeValueRecorder {
 public:
  TLMLifetimeValueRecorder() = delete;

  // "_iap" and the commerce events.
  static bool isPurchaseEvent(std::string_view name);
  // "ecommerce_purchase", "purchase" and "refund".
  static bool isEcommercePurchaseEvent(std::string_view name);

  // Adds a purchase event's amount to its currency's total. Returns false
  // only when the total cannot be computed (out of the 64-bit range) or
  // stored; an event without a usable "currency" or "value" is reported
  // and leaves every total unchanged (true). Other events: true.
  [[nodiscard]] static bool recordLifetimeValueToDatabase(TLMDatabase& database,
                                                          const TLMEvent& event);

  // `value` × 1 000 000 rounded to the nearest integer, halves away from
  // zero, taking `value` as the shortest decimal that reads back as it;
  // none when the result lies outside the signed 64-bit range.
  static std::optional<std::int64_t> microsFromDecimal(double value);
};
