// Complex events under audience evaluation.
#include "storage/database_tables_test_support.h"

namespace {

using DatabaseComplexEventsTest = DatabaseTablesTest;

TEST_F(DatabaseComplexEventsTest, MainEventAndChildCountRoundTripAndReplace) {
  TLMEventPtr mainEvent =
      makeEvent("purchase", {{Object("value"), Object::floating(9.5)}}, kNow - 3);
  Error error;
  ASSERT_TRUE(db().updateComplexEventForAudienceEvaluationWithEventID(77, 4, *mainEvent, &error))
      << error.toString();
  std::optional<TLMMainEventAndChildCount> pair =
      db().mainEventAndChildCountPairWithEventID(77, &error);
  ASSERT_TRUE(pair.has_value()) << error.toString();
  ASSERT_NE(pair->first, nullptr);
  EXPECT_EQ(pair->first->name(), "purchase");
  EXPECT_EQ(pair->first->origin(), "app");
  EXPECT_EQ(pair->first->timestamp(), kNow - 3);
  EXPECT_EQ(pair->first->parameterValue("value")->doubleValue(), 9.5);
  EXPECT_EQ(pair->second, 4);

  ASSERT_TRUE(db().updateComplexEventForAudienceEvaluationWithEventID(77, 1, *mainEvent, &error));
  EXPECT_EQ(db().mainEventAndChildCountPairWithEventID(77, &error)->second, 1);
  EXPECT_EQ(raw()->scalar("SELECT count(1) FROM main_event_params"), "1");
}

TEST_F(DatabaseComplexEventsTest, MissingRowIsNothingWithoutErrorAndDeleteRemovesOneRow) {
  Error error = tlm_errorWithCode(99, "untouched");
  EXPECT_FALSE(db().mainEventAndChildCountPairWithEventID(5, &error).has_value());
  EXPECT_EQ(error.code, 99);

  ASSERT_TRUE(
      db().updateComplexEventForAudienceEvaluationWithEventID(5, 2, *makeEvent("_e"), &error));
  ASSERT_TRUE(
      db().updateComplexEventForAudienceEvaluationWithEventID(6, 2, *makeEvent("_e"), &error));
  ASSERT_TRUE(db().deleteComplexEventForAudienceEvaluationWithEventID(5, &error));
  EXPECT_FALSE(db().mainEventAndChildCountPairWithEventID(5, &error).has_value());
  EXPECT_TRUE(db().mainEventAndChildCountPairWithEventID(6, &error).has_value());
}

TEST_F(DatabaseComplexEventsTest, UnreadableStoredValuesAreRefused) {
  std::unique_ptr<RawConnection> connection = raw();
  ASSERT_EQ(connection->exec("INSERT INTO main_event_params VALUES (1, 2, x'')"), SQLITE_OK);
  ASSERT_EQ(connection->exec("INSERT INTO main_event_params VALUES (2, 'many', x'0A0501')"),
            SQLITE_OK);
  ASSERT_EQ(connection->exec("INSERT INTO main_event_params VALUES (3, 2, x'0A0501')"), SQLITE_OK);
  Error error;
  EXPECT_FALSE(db().mainEventAndChildCountPairWithEventID(1, &error).has_value());
  EXPECT_STORE_ERROR(error, 3, "Main event blob is nil in database");
  EXPECT_FALSE(db().mainEventAndChildCountPairWithEventID(2, &error).has_value());
  EXPECT_STORE_ERROR(error, 3, "Complex event does not have children count in database");
  EXPECT_FALSE(db().mainEventAndChildCountPairWithEventID(3, &error).has_value());
  EXPECT_STORE_ERROR(error, 3, "Failed to parse event from data");
}

}  // namespace
