// The in-app purchase reporter. Only the transaction fingerprint lives
// here so far; the reporter itself (product cache, product requests, the
// "_iap" event) is a later piece of work and is reached through
// TLMStandIns::paymentQueueUpdatedFilteredTransactions.
#pragma once

#include <memory>
#include <optional>
#include <string>

#include "platform/PaymentQueue.h"

class TLMInAppPurchaseTransactionReporter {
 public:
  TLMInAppPurchaseTransactionReporter() = delete;

  // The MD5 digest of the transaction identifier as 32 lower-case
  // hexadecimal digits. None for a null or not purchased transaction, and
  // for an identifier that is missing (21015), empty (21016) or made only
  // of "0" and "-" (21017); null logs 21014. Safe from any thread.
  static std::optional<std::string> transactionFingerprint(
      const std::shared_ptr<const PaymentTransaction>& transaction);
};
