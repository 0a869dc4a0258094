// The stand-ins for the platform's store and advertising frameworks: the
// payment queue, tracking authorisation, advertising identifier and
// search-ads client.
#include <gtest/gtest.h>

#include "platform/AdvertisingIdentifier.h"
#include "platform/PaymentQueue.h"
#include "platform/SearchAdsClient.h"
#include "platform_test_support.h"

namespace {

using Names = std::vector<std::string>;

std::shared_ptr<const PaymentTransaction> transaction(const std::string& id,
                                                      PaymentTransactionState state,
                                                      const std::string& product = "gems") {
  auto t = std::make_shared<PaymentTransaction>();
  t->transactionIdentifier = id;
  t->transactionState = state;
  t->payment.productIdentifier = product;
  return t;
}

class RecordingObserver : public PaymentTransactionObserver {
 public:
  RecordingObserver(std::string name, Names* log, const Dispatch* dispatch)
      : name_(std::move(name)), log_(log), dispatch_(dispatch) {}
  void paymentQueueUpdatedTransactions(PaymentQueue&, const PaymentTransactions& list) override {
    std::string line = name_ + (dispatch_->isMainThread() ? " main:" : " other:");
    for (const auto& t : list) line += " " + t->transactionIdentifier.value_or("-");
    log_->push_back(line);
  }
  void paymentQueueRemovedTransactions(PaymentQueue&, const PaymentTransactions& list) override {
    log_->push_back(name_ + " removed " + list.at(0)->transactionIdentifier.value_or("-"));
  }

 private:
  std::string name_;
  Names* log_;
  const Dispatch* dispatch_;
};

TEST(PaymentQueueTest, DeliversUpdatesToObserversInOrderOnTheMainQueue) {
  ApplicationTestEnvironment env;
  PaymentQueue queue(env.dispatch.mainQueue());
  Names log;
  auto first = std::make_shared<RecordingObserver>("first", &log, &env.dispatch);
  auto second = std::make_shared<RecordingObserver>("second", &log, &env.dispatch);
  queue.addTransactionObserver(first);
  queue.addTransactionObserver(second);
  queue.addTransactionObserver(first);  // once only
  EXPECT_EQ(queue.observerCount(), 2u);

  queue.pushUpdatedTransactions({transaction("t1", PaymentTransactionState::Purchased),
                                 transaction("t2", PaymentTransactionState::Failed)});
  queue.pushUpdatedTransactions({transaction("t3", PaymentTransactionState::Restored)});
  EXPECT_TRUE(log.empty());  // delivered on the main queue, not inline
  env.executor->runUntilIdle();
  EXPECT_EQ(
      log, (Names{"first main: t1 t2", "second main: t1 t2", "first main: t3", "second main: t3"}));

  // A removed or released observer gets nothing more.
  log.clear();
  queue.removeTransactionObserver(first.get());
  second.reset();
  queue.pushUpdatedTransactions({transaction("t4", PaymentTransactionState::Purchased)});
  env.executor->runUntilIdle();
  EXPECT_TRUE(log.empty());
  EXPECT_EQ(queue.observerCount(), 0u);
}

TEST(PaymentQueueTest, KeepsUnfinishedTransactionsForLateObserversUntilFinished) {
  ApplicationTestEnvironment env;
  PaymentQueue queue(env.dispatch.mainQueue());
  Names log;
  auto purchasing = transaction("t1", PaymentTransactionState::Purchasing);
  queue.pushUpdatedTransactions({purchasing});
  // The same identifier moving on replaces the earlier state.
  auto purchased = transaction("t1", PaymentTransactionState::Purchased);
  auto restored = transaction("t2", PaymentTransactionState::Restored);
  auto original = std::make_shared<PaymentTransaction>(*purchased);
  auto withOriginal = std::make_shared<PaymentTransaction>(*restored);
  withOriginal->originalTransaction = original;
  queue.pushUpdatedTransactions({purchased, withOriginal});
  env.executor->runUntilIdle();
  ASSERT_EQ(queue.transactions().size(), 2u);
  EXPECT_EQ(queue.transactions()[0], purchased);
  EXPECT_EQ(queue.transactions()[1]->originalTransaction->transactionIdentifier, "t1");

  auto late = std::make_shared<RecordingObserver>("late", &log, &env.dispatch);
  queue.addTransactionObserver(late);
  env.executor->runUntilIdle();
  EXPECT_EQ(log, (Names{"late main: t1 t2"}));

  log.clear();
  EXPECT_FALSE(queue.finishTransaction(purchasing));  // still purchasing (and replaced)
  EXPECT_TRUE(queue.finishTransaction(purchased));
  EXPECT_FALSE(queue.finishTransaction(purchased));  // already finished
  env.executor->runUntilIdle();
  EXPECT_EQ(log, (Names{"late removed t1"}));
  ASSERT_EQ(queue.transactions().size(), 1u);
}

TEST(PaymentQueueTest, DeliveriesQueuedWhenTheQueueGoesAwayAreDropped) {
  ApplicationTestEnvironment env;
  Names log;
  auto observer = std::make_shared<RecordingObserver>("o", &log, &env.dispatch);
  {
    PaymentQueue queue(env.dispatch.mainQueue());
    queue.addTransactionObserver(observer);
    queue.pushUpdatedTransactions({transaction("t1", PaymentTransactionState::Purchased)});
  }
  env.executor->runUntilIdle();
  EXPECT_TRUE(log.empty());
}

// --- Tracking authorisation and advertising identifier -----------------------------------------

TEST(TrackingAuthorizationTest, ARequestAsksOnceAndCompletesOnTheGivenQueue) {
  ApplicationTestEnvironment env;
  auto queue = env.dispatch.createSerialQueue("ATTrackingManagerQueue");
  TrackingAuthorization tracking(queue);
  std::vector<std::pair<int, bool>> answers;  // status, on the given queue
  auto record = [&](TrackingAuthorizationStatus s) {
    answers.emplace_back(static_cast<int>(s), queue->isCurrent());
  };

  EXPECT_EQ(tracking.trackingAuthorizationStatus(), TrackingAuthorizationStatus::NotDetermined);
  tracking.requestTrackingAuthorizationWithCompletionHandler(record);
  tracking.requestTrackingAuthorizationWithCompletionHandler(record);
  env.executor->runUntilIdle();
  EXPECT_TRUE(answers.empty());  // the user has not answered yet
  EXPECT_EQ(tracking.pendingRequestCount(), 2);

  EXPECT_EQ(tracking.answerPendingRequests(TrackingAuthorizationStatus::Authorized), 2);
  env.executor->runUntilIdle();
  EXPECT_EQ(answers, (std::vector<std::pair<int, bool>>{{3, true}, {3, true}}));
  EXPECT_EQ(tracking.trackingAuthorizationStatus(), TrackingAuthorizationStatus::Authorized);

  // Once determined, a request is answered at once with the status.
  answers.clear();
  tracking.setTrackingAuthorizationStatus(TrackingAuthorizationStatus::Denied);
  tracking.requestTrackingAuthorizationWithCompletionHandler(record);
  env.executor->runUntilIdle();
  EXPECT_EQ(answers, (std::vector<std::pair<int, bool>>{{2, true}}));
  EXPECT_EQ(tracking.requestCount(), 3);

  // A preset user answer settles the first request.
  TrackingAuthorization preset(env.dispatch.globalQueue(QueuePriority::Default));
  preset.setUserAnswer(TrackingAuthorizationStatus::Restricted);
  std::optional<TrackingAuthorizationStatus> answer;
  preset.requestTrackingAuthorizationWithCompletionHandler(
      [&](TrackingAuthorizationStatus s) { answer = s; });
  env.executor->runUntilIdle();
  EXPECT_EQ(answer, TrackingAuthorizationStatus::Restricted);
  EXPECT_EQ(preset.trackingAuthorizationStatus(), TrackingAuthorizationStatus::Restricted);
}

TEST(AdvertisingIdentifierTest, ReadsAllZeroWhileTrackingIsLimited) {
  ApplicationTestEnvironment env;
  TrackingAuthorization tracking(env.dispatch.globalQueue(QueuePriority::Default));
  AdvertisingIdentifierManager withTracking(&tracking);
  AdvertisingIdentifierManager withoutTracking;
  const std::string id = "7A1C2F36-4B0A-4E43-9E7D-0D2C1B6A9F10";
  EXPECT_EQ(withoutTracking.advertisingIdentifier(), std::nullopt);  // none given yet

  withTracking.setAdvertisingIdentifier(id);
  withoutTracking.setAdvertisingIdentifier(id);
  EXPECT_EQ(withoutTracking.advertisingIdentifier(), id);
  // Not authorised: limited.
  EXPECT_FALSE(withTracking.isAdvertisingTrackingEnabled());
  EXPECT_EQ(withTracking.advertisingIdentifier(), kAllZeroAdvertisingIdentifier);
  tracking.setTrackingAuthorizationStatus(TrackingAuthorizationStatus::Authorized);
  EXPECT_EQ(withTracking.advertisingIdentifier(), id);
  // The switch limits tracking whatever the authorisation says.
  withTracking.setAdvertisingTrackingEnabled(false);
  EXPECT_EQ(withTracking.advertisingIdentifier(), kAllZeroAdvertisingIdentifier);
  EXPECT_FALSE(withTracking.isAdvertisingTrackingEnabled());
}

// --- Search ads ------------------------------------------------------------------------------

TEST(SearchAdsClientTest, AnswersAfterTheSetDelayOnItsQueue) {
  ApplicationTestEnvironment env;
  auto queue = env.dispatch.createSerialQueue("ADClientQueue");
  SearchAdsClient client(queue);
  std::vector<std::string> got;
  auto completion = [&](std::optional<Object> details, std::optional<Error> error) {
    std::string line = queue->isCurrent() ? "queue " : "elsewhere ";
    if (error) line += "error " + error->domain + " " + std::to_string(error->code);
    if (details) {
      const Object* inner = details->objectForKey(kSearchAdsDetailsVersionKey);
      line += "details " + *inner->objectForKey(kSearchAdsCampaignIDKey)->asString();
    }
    got.push_back(line);
  };

  // By default there is no attribution on this platform.
  client.requestAttributionDetailsWithBlock(completion);
  env.executor->runUntilIdle();
  EXPECT_EQ(got, (std::vector<std::string>{"queue error ADClientErrorDomain 2"}));

  got.clear();
  client.setAnswer(SearchAdsClient::testAttributionDetails(), std::nullopt, 5.0);
  client.requestAttributionDetailsWithBlock(completion);
  env.executor->runUntilIdle();
  EXPECT_TRUE(got.empty());
  env.executor->advance(4.9);
  EXPECT_TRUE(got.empty());
  env.executor->advance(0.1);
  EXPECT_EQ(got, (std::vector<std::string>{"queue details 1234567890"}));

  got.clear();
  client.setAnswer(std::nullopt, std::nullopt);
  client.requestAttributionDetailsWithBlock(completion);
  env.executor->runUntilIdle();
  EXPECT_EQ(got, (std::vector<std::string>{"queue "}));  // neither details nor error
  EXPECT_EQ(client.requestCount(), 3);
}

}  // namespace
