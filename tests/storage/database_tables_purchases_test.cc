// Purchase and subscription de-duplication keys.
#include "storage/database_tables_test_support.h"

namespace {

using DatabasePurchasesTest = DatabaseTablesTest;

TEST_F(DatabasePurchasesTest, PurchaseFingerprintIsNewOnlyOnce) {
  Error error;
  EXPECT_EQ(db().insertIfNotDuplicatePurchaseFingerprint("fp-1", &error),
            std::optional<bool>(true));
  EXPECT_EQ(db().insertIfNotDuplicatePurchaseFingerprint("fp-1", &error),
            std::optional<bool>(false));
  EXPECT_EQ(db().insertIfNotDuplicatePurchaseFingerprint("fp-2", &error),
            std::optional<bool>(true));
  EXPECT_EQ(raw()->scalar("SELECT count(1) FROM purchase_transactions"), "2");
  EXPECT_FALSE(db().insertIfNotDuplicatePurchaseFingerprint("", &error).has_value());
  EXPECT_EQ(error.code, 1);
}

TEST_F(DatabasePurchasesTest, PurchasesKeepTheThousandNewest) {
  ASSERT_TRUE(db().performTransaction([&] {
    for (int i = 0; i < TLMDatabase::kMaxPurchaseTransactionsRows + 2; ++i) {
      Error error;
      if (db().insertIfNotDuplicatePurchaseFingerprint("fp-" + std::to_string(i), &error) !=
          std::optional<bool>(true)) {
        return false;
      }
    }
    return true;
  }));
  std::unique_ptr<RawConnection> connection = raw();
  EXPECT_EQ(connection->scalar("SELECT count(1) FROM purchase_transactions"), "1000");
  EXPECT_EQ(connection->scalar("SELECT count(1) FROM purchase_transactions "
                               "WHERE fingerprint IN ('fp-0', 'fp-1')"),
            "0");
  EXPECT_EQ(connection->scalar("SELECT count(1) FROM purchase_transactions "
                               "WHERE fingerprint IN ('fp-2', 'fp-1001')"),
            "2");
  // A key trimmed away counts as new again.
  Error error;
  EXPECT_EQ(db().insertIfNotDuplicatePurchaseFingerprint("fp-0", &error),
            std::optional<bool>(true));
  EXPECT_EQ(db().insertIfNotDuplicatePurchaseFingerprint("fp-1001", &error),
            std::optional<bool>(false));
}

TEST_F(DatabasePurchasesTest, SubscriptionsAreDedupedAndTrimmedOnlyOnRequest) {
  ASSERT_TRUE(db().performTransaction([&] {
    for (int i = 0; i < TLMDatabase::kMaxSubscriptionsRows + 5; ++i) {
      Error error;
      if (db().insertIfNotDuplicateSubscriptionID("sub-" + std::to_string(i), &error) !=
          std::optional<bool>(true)) {
        return false;
      }
    }
    return true;
  }));
  Error error;
  EXPECT_EQ(db().insertIfNotDuplicateSubscriptionID("sub-3", &error), std::optional<bool>(false));
  std::unique_ptr<RawConnection> connection = raw();
  EXPECT_EQ(connection->scalar("SELECT count(1) FROM subscriptions"), "1005");

  EXPECT_EQ(db().deleteSubscriptionsOverLimit(&error), std::optional<std::int64_t>(5));
  EXPECT_EQ(connection->scalar("SELECT count(1) FROM subscriptions"), "1000");
  EXPECT_EQ(connection->scalar("SELECT min(rowid) = (SELECT rowid FROM subscriptions WHERE "
                               "subscription_id = 'sub-5') FROM subscriptions"),
            "1");
  EXPECT_EQ(db().deleteSubscriptionsOverLimit(&error), std::optional<std::int64_t>(0));
}

}  // namespace
