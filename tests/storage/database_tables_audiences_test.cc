// Audience filters and filter results.
#include "audience/TLMEventFilter.h"
#include "audience/TLMFilterResult.h"
#include "audience/TLMPropertyFilter.h"
#include "storage/database_tables_test_support.h"

namespace {

using DatabaseAudiencesTest = DatabaseTablesTest;

// An event filter whose stored message carries the flags; the record's
// own flags are left false so that a read that took them from the record
// instead of the message would show.
TLMEventFilterPtr eventFilter(std::int32_t audienceID, std::int32_t filterID,
                              const std::string& eventName, bool sessionScoped = false,
                              bool dynamic = false, bool sequence = false) {
  TLMPBEventFilter message;
  message.set_filter_id(filterID);
  message.set_event_name(eventName);
  if (sessionScoped) message.set_session_scoped(true);
  if (dynamic) message.set_dynamic(true);
  if (sequence) message.set_sequence(true);
  return TLMEventFilter::initWithAudienceID(
      audienceID, filterID, eventName, message.protoBuffer().value(), sessionScoped, false, false);
}

TLMPropertyFilterPtr propertyFilter(std::int32_t audienceID, std::int32_t filterID,
                                    const std::string& propertyName, bool sessionScoped = false) {
  TLMPBPropertyFilter message;
  message.set_filter_id(filterID);
  message.set_property_name(propertyName);
  message.set_dynamic(true);
  if (sessionScoped) message.set_session_scoped(true);
  return TLMPropertyFilter::initWithAudienceID(audienceID, filterID, propertyName,
                                               message.protoBuffer().value(), sessionScoped, false,
                                               false);
}

TEST_F(DatabaseAudiencesTest, FiltersRoundTripWithFlagsFromTheStoredMessage) {
  Error error;
  TLMEventFilterPtr written = eventFilter(3, 1, "purchase", true, true, true);
  ASSERT_TRUE(db().updateEventFilters({written, eventFilter(3, 2, "_e")}, &error));
  std::optional<std::vector<TLMEventFilterPtr>> read =
      db().eventFiltersForEventName("purchase", &error);
  ASSERT_TRUE(read.has_value()) << error.toString();
  ASSERT_EQ(read->size(), 1u);
  const TLMEventFilter& filter = *read->front();
  EXPECT_EQ(filter.audienceID(), 3);
  EXPECT_EQ(filter.filterID(), 1);
  EXPECT_EQ(filter.eventName(), "purchase");
  EXPECT_EQ(filter.data(), written->data());
  EXPECT_TRUE(filter.sessionScoped());
  EXPECT_TRUE(filter.dynamic());
  EXPECT_TRUE(filter.sequence());

  ASSERT_TRUE(db().updatePropertyFilters({propertyFilter(4, 0, "level")}, &error));
  std::optional<std::vector<TLMPropertyFilterPtr>> properties =
      db().propertyFiltersForPropertyName("level", &error);
  ASSERT_TRUE(properties.has_value());
  ASSERT_EQ(properties->size(), 1u);
  EXPECT_TRUE(properties->front()->dynamic());
  EXPECT_FALSE(properties->front()->sessionScoped());
  EXPECT_EQ(db().propertyFiltersForPropertyName("other", &error)->size(), 0u);
}

TEST_F(DatabaseAudiencesTest, UpdateReplacesByAudienceAndFilterAndDeleteIsPrecise) {
  Error error;
  ASSERT_TRUE(db().updateEventFilters(
      {eventFilter(1, 0, "_e"), eventFilter(1, 1, "_e"), eventFilter(2, 0, "_e")}, &error));
  ASSERT_TRUE(db().updateEventFilters({eventFilter(1, 1, "_s")}, &error));
  EXPECT_EQ(raw()->scalar("SELECT count(1) FROM event_filters"), "3");
  EXPECT_EQ(db().eventFiltersForEventName("_s", &error)->size(), 1u);

  // Only (1,0) goes: neither filter 0 of audience 2 nor filter 1 of
  // audience 1 matches both halves of the condition.
  ASSERT_TRUE(db().deleteEventFilters({eventFilter(1, 0, "_e")}, &error));
  std::optional<std::vector<TLMEventFilterPtr>> left = db().eventFiltersForEventName("_e", &error);
  ASSERT_TRUE(left.has_value());
  ASSERT_EQ(left->size(), 1u);
  EXPECT_EQ(left->front()->audienceID(), 2);
  EXPECT_TRUE(db().deleteEventFilters({}, &error));

  ASSERT_TRUE(
      db().updatePropertyFilters({propertyFilter(5, 0, "p"), propertyFilter(5, 1, "p")}, &error));
  ASSERT_TRUE(db().deletePropertyFilters({propertyFilter(5, 1, "p")}, &error));
  EXPECT_EQ(raw()->scalar("SELECT group_concat(filter_id) FROM property_filters"), "0");
  ASSERT_TRUE(db().deleteAllEventFilters(&error));
  ASSERT_TRUE(db().deleteAllPropertyFilters(&error));
  EXPECT_EQ(db().allAudienceIDs(&error)->size(), 0u);
}

TEST_F(DatabaseAudiencesTest, AudienceIDsAndSessionScopedFiltersSpanBothTables) {
  Error error;
  ASSERT_TRUE(db().updateEventFilters(
      {eventFilter(9, 0, "_e", true), eventFilter(9, 1, "_e"), eventFilter(2, 3, "_e", true)},
      &error));
  ASSERT_TRUE(db().updatePropertyFilters(
      {propertyFilter(9, 2, "p", true), propertyFilter(7, 0, "p"), propertyFilter(2, 3, "p", true)},
      &error));
  EXPECT_EQ(db().allAudienceIDs(&error), (std::optional<std::vector<std::int32_t>>({2, 7, 9})));
  std::optional<std::map<std::int32_t, std::vector<std::int32_t>>> scoped =
      db().allSessionScopedFilters(&error);
  ASSERT_TRUE(scoped.has_value()) << error.toString();
  const std::map<std::int32_t, std::vector<std::int32_t>> expected = {{2, {3}}, {9, {0, 2}}};
  EXPECT_EQ(*scoped, expected);
}

TEST_F(DatabaseAudiencesTest, NullFilterIsRefusedBeforeAnythingIsWritten) {
  Error error;
  EXPECT_FALSE(db().updateEventFilters({eventFilter(1, 0, "_e"), nullptr}, &error));
  EXPECT_STORE_ERROR(error, 1, "Received unknown data type to update event filter");
  EXPECT_FALSE(db().updatePropertyFilters({nullptr}, &error));
  EXPECT_STORE_ERROR(error, 1, "Received unknown data type to update property filter");
  EXPECT_EQ(raw()->scalar("SELECT count(1) FROM event_filters"), "0");
}

TEST_F(DatabaseAudiencesTest, CorruptFilterDataFailsItsReadOnly) {
  Error error;
  ASSERT_TRUE(db().updateEventFilters({eventFilter(1, 0, "_e"), eventFilter(1, 1, "_s")}, &error));
  std::unique_ptr<RawConnection> connection = raw();
  ASSERT_EQ(connection->exec("UPDATE event_filters SET data = x'0A0501' WHERE event_name = '_e'"),
            SQLITE_OK);
  EXPECT_FALSE(db().eventFiltersForEventName("_e", &error).has_value());
  EXPECT_STORE_ERROR(error, 2, "Failed to initialize data types from dictionaries");
  EXPECT_EQ(db().eventFiltersForEventName("_s", &error)->size(), 1u);
}

TEST_F(DatabaseAudiencesTest, FilterResultsStoreAbsentPreviousResultsAsNull) {
  Error error;
  const Bytes current = {1, 2, 3};
  const Bytes previous = {4, 5};
  ASSERT_TRUE(db().updateFilterResults({TLMFilterResult::initWithAudienceID(1, current, {}),
                                        TLMFilterResult::initWithAudienceID(2, current, previous)},
                                       &error));
  EXPECT_EQ(raw()->scalar("SELECT typeof(previous_results) FROM audience_filter_values "
                          "WHERE audience_id = 1"),
            "null");
  std::optional<std::map<std::int32_t, TLMFilterResultPtr>> all = db().allFilterResults(&error);
  ASSERT_TRUE(all.has_value()) << error.toString();
  ASSERT_EQ(all->size(), 2u);
  EXPECT_EQ(*all->at(1), TLMFilterResult(1, current, {}));
  EXPECT_EQ(*all->at(2), TLMFilterResult(2, current, previous));

  ASSERT_TRUE(
      db().updateFilterResults({TLMFilterResult::initWithAudienceID(2, previous, {})}, &error));
  TLMFilterResultPtr replaced = db().filterResultForAudienceID(2, &error);
  ASSERT_NE(replaced, nullptr);
  EXPECT_EQ(*replaced, TLMFilterResult(2, previous, {}));

  error = tlm_errorWithCode(99, "untouched");
  EXPECT_EQ(db().filterResultForAudienceID(3, &error), nullptr);
  EXPECT_EQ(error.code, 99);
}

TEST_F(DatabaseAudiencesTest, DeleteFilterResultsTakesEachListedAudienceOnce) {
  Error error;
  ASSERT_TRUE(db().updateFilterResults({TLMFilterResult::initWithAudienceID(1, {1}, {}),
                                        TLMFilterResult::initWithAudienceID(2, {2}, {}),
                                        TLMFilterResult::initWithAudienceID(3, {3}, {})},
                                       &error));
  ASSERT_TRUE(db().deleteFilterResults({3, 1, 3}, &error));
  EXPECT_TRUE(db().deleteFilterResults({}, &error));
  EXPECT_EQ(raw()->scalar("SELECT group_concat(audience_id) FROM audience_filter_values"), "2");
  EXPECT_FALSE(db().updateFilterResults({nullptr}, &error));
  EXPECT_EQ(error.code, 1);
}

}  // namespace
