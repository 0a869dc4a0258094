#include "engine/TLMInAppPurchaseTransactionReporter.h"

#include "common/DataHelpers.h"
#include "engine/TLMMeasurement.h"
#include "upload/TLMMonitor.h"

std::optional<std::string> TLMInAppPurchaseTransactionReporter::transactionFingerprint(
    const std::shared_ptr<const PaymentTransaction>& transaction) {
  TLMMonitor& monitor = TLMMeasurement::monitor();
  if (transaction == nullptr) {
    monitor.logWithLevel(2, 21014, "Transaction is nil");
    return std::nullopt;
  }
  if (transaction->transactionState != PaymentTransactionState::Purchased) return std::nullopt;
  const Object errorCode = Object::integer(transaction->errorCode);
  if (!transaction->transactionIdentifier) {
    monitor.logWithLevel(2, 21015, "Transaction identifier is nil. Code", errorCode);
    return std::nullopt;
  }
  const std::string& identifier = *transaction->transactionIdentifier;
  if (identifier.empty()) {
    monitor.logWithLevel(2, 21016, "Transaction identifier is empty. Code", errorCode);
    return std::nullopt;
  }
  if (identifier.find_first_not_of("0-") == std::string::npos) {
    monitor.logWithLevel(2, 21017, "Transaction identifier is only zeroes. Code", errorCode);
    return std::nullopt;
  }
  return tlm_MD5String(identifier);
}
