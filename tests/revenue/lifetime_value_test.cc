// Lifetime value totals on a real database file: per currency, refunds,
// in-app purchases in micros, the tracked-currency limit, refused input.
#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <map>
#include <memory>
#include <optional>
#include <string>

#include "config/TLMPersistedConfig.h"
#include "engine/TLMEvent.h"
#include "engine/TLMUserAttribute.h"
#include "engine/TLMValue.h"
#include "platform/Clock.h"
#include "revenue/TLMLifetimeValueRecorder.h"
#include "storage/TLMDatabase.h"
#include "support/MonitorRecorder.h"
#include "support/TestPlatform.h"

namespace {

class LifetimeValueTest : public ::testing::Test {
 protected:
  void SetUp() override {
    persistedConfig_ = TLMPersistedConfig::create("com.ferrolux.tests.revenue");
    ASSERT_NE(persistedConfig_, nullptr);
    Error error;
    database_ = TLMDatabase::initWithDatabasePath(
        platform_.root() + "/" + TLMDatabase::kDatabaseFileName, persistedConfig_, &error);
    ASSERT_NE(database_, nullptr) << error.toString();
  }

  // Records one event; the clock moves a second first, so totals are set
  // at distinct times.
  bool record(const std::string& name, const ObjectDictionary& parameters) {
    platform_.platform().fakeClock()->advance(1);
    TLMEventPtr event = TLMEvent::initWithOrigin("app", name.front() != '_', name,
                                                 platform_.platform().clock().now(), 0, parameters);
    EXPECT_NE(event, nullptr) << name;
    return event != nullptr &&
           TLMLifetimeValueRecorder::recordLifetimeValueToDatabase(*database_, *event);
  }

  // Name -> micros of every stored total.
  std::map<std::string, std::int64_t> totals() {
    Error error;
    std::map<std::string, std::int64_t> found;
    auto attributes = database_->allLifetimeValueUserAttributes(&error);
    EXPECT_TRUE(attributes.has_value());
    if (!attributes) return found;
    for (const TLMUserAttributePtr& attribute : *attributes) {
      found[attribute->name()] = attribute->value()->int64Value();
    }
    return found;
  }

  static ObjectDictionary purchase(Object currency, Object value) {
    return {{Object("currency"), std::move(currency)}, {Object("value"), std::move(value)}};
  }

  TestPlatform platform_;
  MonitorRecorder monitor_;
  std::shared_ptr<TLMPersistedConfig> persistedConfig_;
  std::shared_ptr<TLMDatabase> database_;
};

TEST_F(LifetimeValueTest, TotalsPerCurrencyWithRefundsAndMicros) {
  ASSERT_TRUE(record("purchase", purchase("usd", Object::floating(9.99))));
  EXPECT_EQ(totals(), (std::map<std::string, std::int64_t>{{"_ltv_USD", 9990000}}));

  ASSERT_TRUE(record("ecommerce_purchase", purchase("USD", Object::integer(2))));
  ASSERT_TRUE(record("refund", purchase("Usd", Object::floating(9.99))));
  // "_iap" carries micros already; a double is truncated towards zero.
  ASSERT_TRUE(record("_iap", purchase("eur", Object::integer(1500000))));
  ASSERT_TRUE(record("_iap", purchase("eur", Object::floating(250000.9))));
  EXPECT_EQ(totals(),
            (std::map<std::string, std::int64_t>{{"_ltv_USD", 2000000}, {"_ltv_EUR", 1750000}}));
  EXPECT_EQ(monitor_.count(kTLMLifetimeValueCodeUpdated), 5u);

  // Other events leave the totals alone.
  ASSERT_TRUE(record("level_up", purchase("usd", Object::integer(5))));
  EXPECT_EQ(totals().at("_ltv_USD"), 2000000);
}

TEST_F(LifetimeValueTest, ANewCurrencyBeyondTheLimitReplacesTheLeastRecentlyUpdated) {
  for (const char* currency : {"USD", "EUR", "GBP", "JPY"}) {
    ASSERT_TRUE(record("purchase", purchase(currency, Object::integer(1))));
  }
  // USD is now the most recently updated; EUR the least.
  ASSERT_TRUE(record("purchase", purchase("USD", Object::integer(1))));
  ASSERT_TRUE(record("purchase", purchase("CHF", Object::floating(0.5))));
  EXPECT_EQ(totals(), (std::map<std::string, std::int64_t>{{"_ltv_USD", 2000000},
                                                           {"_ltv_GBP", 1000000},
                                                           {"_ltv_JPY", 1000000},
                                                           {"_ltv_CHF", 500000}}));
}

TEST_F(LifetimeValueTest, UnusableParametersAreReportedAndStopNothing) {
  ASSERT_TRUE(record("purchase", purchase("usd", Object::integer(3))));
  const struct {
    const char* label;
    ObjectDictionary parameters;
    long code;
  } cases[] = {
      {"two-letter currency", purchase("US", Object::integer(1)), 22000},
      {"four-letter currency", purchase("USDX", Object::integer(1)), 22000},
      {"numeric currency", purchase(Object::integer(840), Object::integer(1)), 22000},
      {"no currency", {{Object("value"), Object::integer(1)}}, 22000},
      {"string value", purchase("usd", "9.99"), 22001},
      {"no value", {{Object("currency"), Object("usd")}}, 22001},
  };
  for (const auto& test : cases) {
    SCOPED_TRACE(test.label);
    monitor_.clear();
    EXPECT_TRUE(record("purchase", test.parameters));
    EXPECT_EQ(monitor_.count(test.code), 1u);
    EXPECT_EQ(totals(), (std::map<std::string, std::int64_t>{{"_ltv_USD", 3000000}}));
  }
}

TEST_F(LifetimeValueTest, AmountsOutsideTheRangeAreRefused) {
  // 1e13 units are 1e19 micros, beyond the 64-bit range.
  EXPECT_FALSE(record("purchase", purchase("usd", Object::floating(1e13))));
  EXPECT_EQ(monitor_.count(kTLMLifetimeValueCodeOutOfBounds), 1u);
  EXPECT_TRUE(totals().empty());

  // A total that would overflow is refused, not wrapped.
  const std::int64_t nearMax = std::numeric_limits<std::int64_t>::max() - 10;
  ASSERT_TRUE(record("_iap", purchase("usd", Object::integer(nearMax))));
  EXPECT_FALSE(record("_iap", purchase("usd", Object::integer(11))));
  EXPECT_EQ(totals().at("_ltv_USD"), nearMax);
}

TEST(LifetimeValueMicros, DecimalRoundingHalvesAwayFromZero) {
  const struct {
    double units;
    std::optional<std::int64_t> micros;
  } cases[] = {
      {9.99, 9990000},
      {-9.99, -9990000},
      {0.1, 100000},
      {1.0000005, 1000001},
      {-1.0000005, -1000001},
      {1.0000004, 1000000},
      {0.0000005, 1},
      {1e-300, 0},
      {9223372036854.78, std::nullopt},  // just above the largest 64-bit value
      {9223372036854.775, 9223372036854775000},
      {1e13, std::nullopt},
      {std::numeric_limits<double>::infinity(), std::nullopt},
      {std::numeric_limits<double>::quiet_NaN(), std::nullopt},
  };
  for (const auto& test : cases) {
    SCOPED_TRACE(test.units);
    EXPECT_EQ(TLMLifetimeValueRecorder::microsFromDecimal(test.units), test.micros);
  }
}

}  // namespace
