// Purchase and subscription de-duplication keys: the
// "purchase_transactions" and "subscriptions" tables. Both keep their
// newest rows only; row IDs grow with each insert, so the newest rows are
// those with the highest row IDs.
#include "storage/TLMDatabase.h"
#include "storage/TLMDatabaseMessages.h"

namespace {

constexpr char kColumnFingerprint[] = "fingerprint";
constexpr char kColumnSubscriptionID[] = "subscription_id";

constexpr char kContainsPurchaseQuery[] =
    "SELECT EXISTS (SELECT 1 FROM purchase_transactions WHERE fingerprint = ? LIMIT 1)";
constexpr char kContainsSubscriptionQuery[] =
    "SELECT EXISTS (SELECT 1 FROM subscriptions WHERE subscription_id = ? LIMIT 1)";
constexpr char kPurchasesOverLimitCondition[] =
    "rowid IN (SELECT rowid FROM purchase_transactions ORDER BY rowid DESC LIMIT -1 OFFSET ?)";
constexpr char kSubscriptionsOverLimitCondition[] =
    "rowid IN (SELECT rowid FROM subscriptions ORDER BY rowid DESC LIMIT -1 OFFSET ?)";

}  // namespace

std::optional<bool> TLMDatabase::insertIfNotDuplicatePurchaseFingerprint(
    const std::string& fingerprint, Error* error) {
  if (!tlm_checkCondition(!fingerprint.empty(), error, 1, "Received empty purchase fingerprint")) {
    return std::nullopt;
  }
  std::optional<bool> exists = tlm_databaseBooleanForQuery(*sqliteStore_, kContainsPurchaseQuery,
                                                           {Object(fingerprint)}, error);
  if (!exists) return std::nullopt;
  if (*exists) return false;
  if (!insertDataType({{kColumnFingerprint, Object(fingerprint)}}, kTLMTablePurchaseTransactions,
                      error)) {
    return std::nullopt;
  }
  if (!sqliteStore_->deleteRecordsFromTableWithName(
          kTLMTablePurchaseTransactions, kPurchasesOverLimitCondition,
          {Object::integer(kMaxPurchaseTransactionsRows)}, error)) {
    return std::nullopt;
  }
  return true;
}

std::optional<bool> TLMDatabase::insertIfNotDuplicateSubscriptionID(
    const std::string& subscriptionID, Error* error) {
  if (!tlm_checkCondition(!subscriptionID.empty(), error, 1, "Received empty subscription ID")) {
    return std::nullopt;
  }
  std::optional<bool> exists = tlm_databaseBooleanForQuery(
      *sqliteStore_, kContainsSubscriptionQuery, {Object(subscriptionID)}, error);
  if (!exists) return std::nullopt;
  if (*exists) return false;
  if (!insertDataType({{kColumnSubscriptionID, Object(subscriptionID)}}, kTLMTableSubscriptions,
                      error)) {
    return std::nullopt;
  }
  return true;
}

std::optional<std::int64_t> TLMDatabase::deleteSubscriptionsOverLimit(Error* error) {
  return sqliteStore_->deleteRecordsFromTableWithName(
      kTLMTableSubscriptions, kSubscriptionsOverLimitCondition,
      {Object::integer(kMaxSubscriptionsRows)}, error);
}
