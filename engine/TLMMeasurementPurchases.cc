// The purchase filter: which store transactions the in-app purchase
// reporter gets. Only purchased ones, and each purchase once: the
// database keeps the fingerprints of the newest purchases seen.
#include <memory>
#include <utility>

#include "engine/TLMInAppPurchaseTransactionReporter.h"
#include "engine/TLMMeasurement.h"
#include "platform/Dispatch.h"
#include "platform/DispatchQueue.h"
#include "platform/Platform.h"
#include "storage/TLMDatabase.h"
#include "upload/TLMErrors.h"

void TLMMeasurement::filterPurchaseTransactions(
    PaymentTransactions transactions, std::function<void(const PaymentTransactions&)> callback) {
  if (!callback) return;
  scheduleWeakly("TLMMeasurement:3455", [transactions = std::move(transactions),
                                         callback = std::move(callback)](TLMMeasurement& self) {
    PaymentTransactions passing;
    for (const std::shared_ptr<const PaymentTransaction>& transaction : transactions) {
      if (transaction == nullptr ||
          transaction->transactionState != PaymentTransactionState::Purchased) {
        continue;
      }
      const Object productID(transaction->payment.productIdentifier);
      const std::optional<std::string> fingerprint =
          TLMInAppPurchaseTransactionReporter::transactionFingerprint(transaction);
      if (!fingerprint || fingerprint->empty()) {
        self.report(2, 23139,
                    "Purchase has nil or empty fingerprint. Purchase will not be checked for "
                    "duplicates. Product ID",
                    {productID});
        passing.push_back(transaction);
        continue;
      }
      Error error;
      std::optional<bool> inserted;
      if (self.database_ != nullptr) {
        inserted = self.database_->insertIfNotDuplicatePurchaseFingerprint(*fingerprint, &error);
      } else {
        error = tlm_errorWithCode(0, "The database is not open");
      }
      if (!inserted) {
        // Better a purchase reported twice than one never reported.
        self.report(1, 23140,
                    "Failed to save purchase fingerprint. Purchase will not be checked for "
                    "duplicates. Product ID, error",
                    {productID, Object::error(error)});
        passing.push_back(transaction);
      } else if (*inserted) {
        passing.push_back(transaction);
      } else {
        self.report(4, 23141, "Purchase is a duplicate and will not be reported. Product ID",
                    {productID});
      }
    }
    Platform::current()
        .dispatch()
        .globalQueue(QueuePriority::Default)
        ->async([callback, passing = std::move(passing)] { callback(passing); });
  });
}
