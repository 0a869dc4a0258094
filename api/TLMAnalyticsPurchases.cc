// The facade as the store's payment-queue observer: purchased transactions
// go, in the facade's order, through the engine's duplicate filter to the
// in-app purchase reporter.
#include <memory>
#include <utility>

#include "api/TLMAnalytics.h"
#include "engine/TLMMeasurement.h"
#include "engine/TLMStandIns.h"
#include "platform/PaymentQueue.h"
#include "platform/Platform.h"

void TLMAnalytics::registerPaymentQueueObserver() {
  std::shared_ptr<TLMAnalyticsInterop> observer = sharedInstance();
  if (observer == nullptr) return;
  Platform::current().paymentQueue().addTransactionObserver(observer);
}

void TLMAnalytics::paymentQueueUpdatedTransactions(PaymentQueue& /*queue*/,
                                                   const PaymentTransactions& transactions) {
  // The queue is the platform's and outlives the operation; the reporter
  // reaches it through the Platform, so only the transactions travel.
  queueOperationWithBlock([transactions] {
    if (!isEnabled() || !TLMMeasurement::hasSharedInstance()) return;
    std::shared_ptr<TLMMeasurement> engine = TLMMeasurement::sharedInstance();
    if (engine == nullptr) return;
    engine->filterPurchaseTransactions(transactions, [](const PaymentTransactions& filtered) {
      TLMStandIns::current().paymentQueueUpdatedFilteredTransactions(filtered);
    });
  });
}

void TLMAnalyticsInterop::paymentQueueUpdatedTransactions(PaymentQueue& queue,
                                                          const PaymentTransactions& transactions) {
  TLMAnalytics::paymentQueueUpdatedTransactions(queue, transactions);
}
