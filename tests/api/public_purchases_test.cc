// Purchases: the transaction fingerprint, the engine's duplicate filter
// over a real database, and the facade's observer path to the reporter.
#include <gtest/gtest.h>

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "api/TLMAnalytics.h"
#include "api/TLMAnalyticsState.h"
#include "common/SharedInstance.h"
#include "engine/TLMInAppPurchaseTransactionReporter.h"
#include "engine/TLMMeasurement.h"
#include "engine/TLMStandIns.h"
#include "platform/DispatchQueue.h"
#include "platform/PaymentQueue.h"
#include "public_test_support.h"

namespace {

std::shared_ptr<const PaymentTransaction> transaction(
    std::optional<std::string> identifier, const std::string& productID,
    PaymentTransactionState state = PaymentTransactionState::Purchased, long errorCode = 0) {
  auto made = std::make_shared<PaymentTransaction>();
  made->transactionIdentifier = std::move(identifier);
  made->transactionState = state;
  made->payment.productIdentifier = productID;
  made->errorCode = errorCode;
  return made;
}

std::vector<std::string> productIDs(const PaymentTransactions& transactions) {
  std::vector<std::string> ids;
  for (const auto& each : transactions) ids.push_back(each->payment.productIdentifier);
  return ids;
}

// ---- Fingerprints ----

struct FingerprintCase {
  const char* label;
  std::optional<std::string> identifier;
  PaymentTransactionState state;
  long expectedCode;  // 0: none
  const char* expectedMessage;
};

class PublicFingerprintTest : public PublicTest,
                              public ::testing::WithParamInterface<FingerprintCase> {};

TEST_P(PublicFingerprintTest, UnusableIdentifiersHaveNoFingerprint) {
  const FingerprintCase& given = GetParam();
  const std::optional<std::string> fingerprint =
      TLMInAppPurchaseTransactionReporter::transactionFingerprint(
          transaction(given.identifier, "gems_100", given.state, /*errorCode=*/42));
  EXPECT_FALSE(fingerprint.has_value());
  if (given.expectedCode == 0) {
    EXPECT_TRUE(monitor_.reports().empty());
    return;
  }
  const MonitorReport* report = expectOneReport({given.expectedCode, 2, given.expectedMessage});
  ASSERT_NE(report, nullptr);
  EXPECT_EQ(report->contexts, ObjectArray{Object::integer(42)});
}

INSTANTIATE_TEST_SUITE_P(
    Identifiers, PublicFingerprintTest,
    ::testing::Values(
        FingerprintCase{"NotPurchased", "1000000123", PaymentTransactionState::Restored, 0, ""},
        FingerprintCase{"Purchasing", std::nullopt, PaymentTransactionState::Purchasing, 0, ""},
        FingerprintCase{"Nil", std::nullopt, PaymentTransactionState::Purchased, 21015,
                        "Transaction identifier is nil. Code"},
        FingerprintCase{"Empty", "", PaymentTransactionState::Purchased, 21016,
                        "Transaction identifier is empty. Code"},
        FingerprintCase{"Zeroes", "0000-0000", PaymentTransactionState::Purchased, 21017,
                        "Transaction identifier is only zeroes. Code"},
        FingerprintCase{"Dash", "-", PaymentTransactionState::Purchased, 21017,
                        "Transaction identifier is only zeroes. Code"}),
    [](const ::testing::TestParamInfo<FingerprintCase>& info) { return info.param.label; });

TEST_F(PublicTest, FingerprintIsTheLowerCaseMD5OfTheIdentifier) {
  // RFC 1321 test vector.
  EXPECT_EQ(TLMInAppPurchaseTransactionReporter::transactionFingerprint(transaction("abc", "p")),
            std::optional<std::string>("900150983cd24fb0d6963f7d28e17f72"));
  // Zeroes with any other character are a real identifier.
  EXPECT_TRUE(
      TLMInAppPurchaseTransactionReporter::transactionFingerprint(transaction("0000-1", "p")));
  EXPECT_FALSE(TLMInAppPurchaseTransactionReporter::transactionFingerprint(nullptr));
  expectOneReport({21014, 2, "Transaction is nil"});
}

// ---- The engine's filter ----

// Starts the shared engine as the facade's start block does; the engine
// opens its database in the test platform's container.
void startSharedEngine() {
  TLMAnalytics::dispatchAsyncOnSerialQueue([] {
    TLMMeasurement::initializeSharedInstanceWithAppID(kPublicTestAppID, true, false, std::nullopt);
    TLMAnalyticsState::current().enabled = true;
  });
  TLMAnalytics::unsuspendOperationQueue();
}

class PublicPurchaseFilterTest : public PublicTest {
 protected:
  void SetUp() override {
    startSharedEngine();
    run();
    engine_ = TLMMeasurement::sharedInstance();
    ASSERT_NE(engine_, nullptr);
    ASSERT_NE(engine_->database(), nullptr);
    monitor_.clear();
  }

  // Runs the filter; returns what reached the callback (none when it was
  // never called) and checks it ran off the worker queue.
  std::optional<PaymentTransactions> filter(PaymentTransactions transactions) {
    std::optional<PaymentTransactions> passed;
    bool onWorker = true;
    engine_->filterPurchaseTransactions(std::move(transactions),
                                        [&](const PaymentTransactions& filtered) {
                                          passed = filtered;
                                          onWorker = engine_->workerQueue()->isCurrent();
                                        });
    run();
    if (passed) {
      EXPECT_FALSE(onWorker);
    }
    return passed;
  }

  std::shared_ptr<TLMMeasurement> engine_;
};

TEST_F(PublicPurchaseFilterTest, OnlyPurchasedTransactionsNotSeenBeforePassInTheirOrder) {
  const std::optional<PaymentTransactions> passed = filter({
      transaction("1001", "gems_100"),
      transaction("1002", "gems_500", PaymentTransactionState::Purchasing),
      transaction("1003", "gems_200", PaymentTransactionState::Failed),
      transaction(std::nullopt, "no_id"),
      transaction("1001", "gems_100_again"),
      transaction("1004", "gems_1000"),
      transaction("1005", "gems_50", PaymentTransactionState::Restored),
  });
  ASSERT_TRUE(passed.has_value());
  EXPECT_EQ(productIDs(*passed), (std::vector<std::string>{"gems_100", "no_id", "gems_1000"}));

  const MonitorReport* unchecked = expectOneReport(
      {23139, 2,
       "Purchase has nil or empty fingerprint. Purchase will not be checked for duplicates. "
       "Product ID"});
  ASSERT_NE(unchecked, nullptr);
  EXPECT_EQ(unchecked->contexts, ObjectArray{Object("no_id")});
  const MonitorReport* duplicate =
      expectOneReport({23141, 4, "Purchase is a duplicate and will not be reported. Product ID"});
  ASSERT_NE(duplicate, nullptr);
  EXPECT_EQ(duplicate->contexts, ObjectArray{Object("gems_100_again")});
  EXPECT_EQ(monitor_.count(23140), 0u);
}

TEST_F(PublicPurchaseFilterTest, FingerprintsPersistAcrossCalls) {
  ASSERT_TRUE(filter({transaction("2001", "a"), transaction("2002", "b")}).has_value());
  const std::optional<PaymentTransactions> later =
      filter({transaction("2002", "b"), transaction("2003", "c"), transaction("2001", "a")});
  ASSERT_TRUE(later.has_value());
  EXPECT_EQ(productIDs(*later), std::vector<std::string>{"c"});
  EXPECT_EQ(monitor_.count(23141), 2u);

  // Nothing left to pass is still an answer.
  const std::optional<PaymentTransactions> none = filter({transaction("2003", "c")});
  ASSERT_TRUE(none.has_value());
  EXPECT_TRUE(none->empty());
}

TEST_F(PublicPurchaseFilterTest, NothingHappensOnceTheEngineIsGone) {
  bool called = false;
  engine_->filterPurchaseTransactions({transaction("3001", "a")},
                                      [&](const PaymentTransactions&) { called = true; });
  engine_.reset();
  TEST_resetSharedInstances();  // the engine goes with the process's objects
  run();
  EXPECT_FALSE(called);
}

// ---- The facade's observer path ----

class PublicPaymentObserverTest : public PublicTest {
 protected:
  void SetUp() override {
    TLMStandIns::current().paymentQueueUpdatedFilteredTransactions =
        [this](const PaymentTransactions& transactions) { reported_.push_back(transactions); };
  }
  std::vector<PaymentTransactions> reported_;
};

TEST_F(PublicPaymentObserverTest, DisabledAnalyticsReportsNoPurchase) {
  TLMAnalytics::registerPaymentQueueObserver();
  TLMAnalytics::unsuspendOperationQueue();
  platform_.platform().paymentQueue().pushUpdatedTransactions({transaction("4001", "a")});
  run();
  EXPECT_TRUE(reported_.empty());
}

TEST_F(PublicPaymentObserverTest, StorePurchasesReachTheReporterFilteredAfterStart) {
  TLMAnalytics::registerPaymentQueueObserver();
  TLMAnalytics::registerPaymentQueueObserver();
  EXPECT_EQ(platform_.platform().paymentQueue().observerCount(), 1u);

  PaymentQueue& store = platform_.platform().paymentQueue();
  store.pushUpdatedTransactions(
      {transaction("5001", "a"), transaction("5002", "b", PaymentTransactionState::Failed)});
  run();
  EXPECT_TRUE(reported_.empty());  // held until start

  TLMAnalytics::dispatchAsyncOnSerialQueue([] {
    TLMMeasurement::initializeSharedInstanceWithAppID(kPublicTestAppID, true, false, std::nullopt);
    TLMAnalyticsState::current().enabled = true;
  });
  TLMAnalytics::unsuspendOperationQueue();
  run();
  store.pushUpdatedTransactions({transaction("5001", "a"), transaction("5003", "c")});
  run();
  ASSERT_EQ(reported_.size(), 2u);
  EXPECT_EQ(productIDs(reported_[0]), std::vector<std::string>{"a"});
  EXPECT_EQ(productIDs(reported_[1]), std::vector<std::string>{"c"});
}

}  // namespace
