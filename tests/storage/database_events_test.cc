// Raw events and their metadata.
#include "common/DataHelpers.h"
#include "config/TLMRemoteFlags.h"
#include "engine/TLMValue.h"
#include "storage/database_core_support.h"

namespace {

constexpr double kTime = 1767225600.0;

ObjectDictionary cartParameters() {
  ObjectArray items = {
      Object::dictionary({{Object("item_id"), Object("sku-1")},
                          {Object("price"), Object::floating(9.5)},
                          {Object("quantity"), Object::integer(2)}}),
      Object::dictionary({{Object("item_id"), Object("sku-2")}}),
  };
  return {{Object("currency"), Object("EUR")},
          {Object("value"), Object::floating(21.25)},
          {Object("level"), Object::integer(-7)},
          {Object("items"), Object::array(std::move(items))}};
}

// A stored event message without name, with `params` as given.
Bytes eventBlob(const std::vector<TLMPBEventParam>& params) {
  TLMPBEvent proto;
  proto.set_timestamp_millis(1000);
  (void)proto.set_params(params);
  return proto.protoBuffer().value();
}

TLMPBEventParam stringParam(const std::string& name, const std::string& value) {
  TLMPBEventParam param;
  param.set_name(name);
  param.set_string_value(value);
  return param;
}

class DatabaseRawEvents : public DatabaseTest {
 protected:
  void SetUp() override {
    DatabaseTest::SetUp();
    open();
    Error error;
    std::optional<std::int64_t> stored = db().insertIfNotExistsRawEventMetadata(metadata(), &error);
    ASSERT_TRUE(stored.has_value()) << error.toString();
    fingerprint_ = *stored;
  }

  void insert(const TLMEventPtr& event, std::int64_t fingerprint, bool realtime = false) {
    Error error;
    ASSERT_TRUE(db().insertRawEvent(event, fingerprint, realtime, &error)) << error.toString();
  }
  void insertMany(int count, std::int64_t fingerprint) {
    ASSERT_TRUE(db().performTransaction([&] {
      for (int i = 0; i < count; ++i) {
        if (!db().insertRawEvent(event(kTime + i), fingerprint, false, nullptr)) return false;
      }
      return true;
    }));
  }
  std::vector<TLMRawEventDataPtr> read(std::int64_t fingerprint,
                                       const TLMSqliteRecordFilter& filter = nullptr) {
    Error error;
    std::optional<std::vector<TLMRawEventDataPtr>> events =
        db().rawEventsWithMetadataFingerprint(fingerprint, &error, filter);
    EXPECT_TRUE(events.has_value()) << error.toString();
    return events.value_or(std::vector<TLMRawEventDataPtr>());
  }
  std::string rowIDs(const std::vector<TLMRawEventDataPtr>& events) {
    std::string ids;
    for (const TLMRawEventDataPtr& event : events) {
      ids += (ids.empty() ? "" : ",") + std::to_string(event->rowID());
    }
    return ids;
  }

  std::int64_t fingerprint_ = 0;
};

TEST_F(DatabaseRawEvents, MetadataStoredTwiceKeepsOneRowWithAStableFingerprint) {
  Error error;
  const Bytes bytes = metadata().protoBuffer().value();
  EXPECT_EQ(fingerprint_, tlm_64LSBMD5(bytes));
  EXPECT_EQ(TLMDatabase::metadataFingerprintForBundle(metadata(), &error),
            std::optional(fingerprint_));
  EXPECT_EQ(db().insertIfNotExistsRawEventMetadata(metadata(), &error),
            std::optional(fingerprint_));
  std::optional<std::int64_t> other =
      db().insertIfNotExistsRawEventMetadata(metadata("2.0"), &error);
  ASSERT_TRUE(other.has_value());
  EXPECT_NE(*other, fingerprint_);

  RawConnection raw(path());
  EXPECT_EQ(raw.scalar("SELECT count(*) FROM raw_events_metadata"), "2");
  EXPECT_EQ(
      raw.scalar("SELECT count(*) FROM raw_events_metadata WHERE metadata_fingerprint = " +
                 std::to_string(fingerprint_) + " AND metadata = x'" + tlm_hexString(bytes) + "'"),
      "1");
  EXPECT_EQ(db().queryRawEventsMetadataWithFingerprint(*other, &error),
            std::optional(metadata("2.0")));
}

TEST_F(DatabaseRawEvents, MissingOrCorruptedMetadataIsRefused) {
  Error error;
  EXPECT_EQ(db().queryRawEventsMetadataWithFingerprint(fingerprint_ + 1, &error), std::nullopt);
  EXPECT_STORE_ERROR(error, 3, "Event metadata should not be empty for getting measurement bundle");
  RawConnection raw(path());
  ASSERT_EQ(raw.exec("UPDATE raw_events_metadata SET metadata = x'0a0a0a'"), SQLITE_OK);
  EXPECT_EQ(db().queryRawEventsMetadataWithFingerprint(fingerprint_, &error), std::nullopt);
  EXPECT_STORE_ERROR(error, 3, "Failed to parse event metadata from data");
  EXPECT_EQ(printedWithCode(12062).size(), 1u);
}

TEST_F(DatabaseRawEvents, UnusedMetadataIsDeleted) {
  Error error;
  const std::int64_t unused =
      db().insertIfNotExistsRawEventMetadata(metadata("2.0"), &error).value();
  insert(event(kTime), fingerprint_);
  EXPECT_EQ(db().deleteUnusedRawEventsMetadata(&error), std::optional<std::int64_t>(1));
  EXPECT_EQ(db().queryRawEventsMetadataWithFingerprint(unused, &error), std::nullopt);
  EXPECT_TRUE(db().queryRawEventsMetadataWithFingerprint(fingerprint_, &error).has_value());
  ASSERT_TRUE(db().deleteRawEventMetadataWithMetadataFingerprint(fingerprint_, &error));
  EXPECT_EQ(db().queryRawEventsMetadataWithFingerprint(fingerprint_, &error), std::nullopt);
}

TEST_F(DatabaseRawEvents, EventRoundTripsWithItsItems) {
  TLMEventPtr logged = event(kTime + 0.125, cartParameters());
  ASSERT_NE(logged, nullptr);
  TLMEventPtr withPrevious = logged->copyWithPreviousTimestamp(kTime - 60.5);
  insert(withPrevious, fingerprint_, true);

  RawConnection raw(path());
  EXPECT_EQ(raw.scalar("SELECT name || ' ' || typeof(timestamp) || ' ' || timestamp || ' ' || "
                       "is_realtime FROM raw_events"),
            "add_to_cart real 1767225600.125 1");
  // The name lives in its column only.
  std::optional<std::vector<TLMSqliteRecord>> rows =
      db().sqliteStore()->recordsForQuery("SELECT data FROM raw_events", {}, nullptr);
  ASSERT_TRUE(rows.has_value());
  std::optional<TLMPBEvent> stored = TLMPBEvent::initWithBuffer(*rows->front().at("data").asData());
  ASSERT_TRUE(stored.has_value());
  EXPECT_FALSE(stored->has_name());

  std::vector<TLMRawEventDataPtr> events = read(fingerprint_);
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0]->rowID(), 1);
  EXPECT_EQ(events[0]->metadataFingerprint(), fingerprint_);
  const TLMEvent& back = *events[0]->rawEvent();
  EXPECT_EQ(back.name(), "add_to_cart");
  EXPECT_EQ(back.origin(), "app");
  EXPECT_EQ(back.timestamp(), kTime + 0.125);
  EXPECT_EQ(back.previousTimestamp(), kTime - 60.5);
  EXPECT_EQ(back.parameters(), withPrevious->parameters());
  TLMValuePtr items = back.parameterValue("items");
  ASSERT_NE(items, nullptr);
  ASSERT_TRUE(items->isArray());
  ASSERT_EQ(items->arrayValue()->size(), 2u);
  const Object* price = (*items->arrayValue())[0].objectForKey("price");
  ASSERT_NE(price, nullptr);
  EXPECT_EQ(TLMValue::fromObject(*price)->doubleValue(), 9.5);
}

TEST_F(DatabaseRawEvents, ReadsAtMostAThousandOldestRowsOfOneFingerprint) {
  Error error;
  const std::int64_t other =
      db().insertIfNotExistsRawEventMetadata(metadata("2.0"), &error).value();
  insert(event(kTime), other);
  insertMany(1005, fingerprint_);
  insert(event(kTime), other);

  std::vector<TLMRawEventDataPtr> events = read(fingerprint_);
  ASSERT_EQ(events.size(), 1000u);
  EXPECT_EQ(events.front()->rowID(), 2);
  EXPECT_EQ(events.back()->rowID(), 1001);
  for (std::size_t i = 1; i < events.size(); ++i) {
    ASSERT_EQ(events[i]->rowID(), events[i - 1]->rowID() + 1);
  }
  EXPECT_EQ(rowIDs(read(other)), "1,1007");
  EXPECT_EQ(db().nextMetadataFingerprintToProcess(&error), std::optional(other));
}

TEST_F(DatabaseRawEvents, FilterSeesRowsInOrderAndEndsTheRead) {
  insertMany(5, fingerprint_);
  std::vector<std::size_t> seen;
  std::vector<TLMRawEventDataPtr> events =
      read(fingerprint_, [&](std::size_t index, const TLMSqliteRecord& row) {
        seen.push_back(index);
        EXPECT_EQ(row.at("rowid").int64Value(), static_cast<std::int64_t>(index) + 1);
        return index < 2;
      });
  EXPECT_EQ(rowIDs(events), "1,2");
  EXPECT_EQ(seen, (std::vector<std::size_t>{0, 1, 2}));
}

TEST_F(DatabaseRawEvents, RowsThatDoNotDecodeAreSkippedAndReported) {
  insertMany(4, fingerprint_);
  RawConnection raw(path());
  ASSERT_EQ(raw.exec("UPDATE raw_events SET data = x'ffffffff' WHERE rowid = 2"), SQLITE_OK);
  // A message without origin.
  const Bytes noOrigin = eventBlob({stringParam("currency", "EUR")});
  ASSERT_EQ(
      raw.exec("UPDATE raw_events SET data = x'" + tlm_hexString(noOrigin) + "' WHERE rowid = 3"),
      SQLITE_OK);
  std::vector<std::size_t> seen;
  std::vector<TLMRawEventDataPtr> events =
      read(fingerprint_, [&](std::size_t index, const TLMSqliteRecord&) {
        seen.push_back(index);
        return true;
      });
  EXPECT_EQ(rowIDs(events), "1,4");
  EXPECT_EQ(seen, (std::vector<std::size_t>{0, 1}));
  const std::vector<std::string> reports = printedWithCode(12060);
  ASSERT_EQ(reports.size(), 2u);
  EXPECT_TRUE(reports[0].starts_with("Data loss. Skipping raw event that cannot be read."));
}

TEST_F(DatabaseRawEvents, RowConversionNamesWhatIsMissing) {
  const Bytes good = eventBlob({stringParam("_o", "app")});
  const TLMSqliteRecord complete = {{"rowid", Object::integer(5)},
                                    {"name", Object("add_to_cart")},
                                    {"timestamp", Object::floating(kTime)},
                                    {"metadata_fingerprint", Object::integer(fingerprint_)},
                                    {"data", Object::data(good)}};
  Error error;
  TLMRawEventDataPtr converted = db().rawEventDataFromDictionary(complete, &error);
  ASSERT_NE(converted, nullptr) << error.toString();
  EXPECT_EQ(converted->rowID(), 5);
  EXPECT_EQ(converted->rawEvent()->timestamp(), kTime);

  const auto without = [&](const std::string& column) {
    TLMSqliteRecord row = complete;
    row.erase(column);
    return row;
  };
  const auto with = [&](const Bytes& data) {
    TLMSqliteRecord row = complete;
    row["data"] = Object::data(data);
    return row;
  };
  const std::vector<std::pair<TLMSqliteRecord, std::pair<long, std::string>>> cases = {
      {without("rowid"), {1, "Unable to find row ID in the database dictionary"}},
      {without("data"), {1, "Unable to find event data in the database dictionary"}},
      {without("metadata_fingerprint"),
       {1, "Unable to find event metadata in the database dictionary"}},
      {with({0xff, 0xff}), {3, "Failed to parse event from data"}},
      {with(eventBlob({stringParam("_o", "app"), stringParam("", "x")})),
       {3, "Event parameter name is empty"}},
      {with(eventBlob({stringParam("currency", "EUR")})),
       {3, "Cannot create an event from database. Missing origin parameter"}},
  };
  for (const auto& [row, expected] : cases) {
    error = Error();
    EXPECT_EQ(db().rawEventDataFromDictionary(row, &error), nullptr) << expected.second;
    EXPECT_STORE_ERROR(error, expected.first, expected.second);
  }
  TLMPBEventParam numericOrigin;
  numericOrigin.set_name("_o");
  numericOrigin.set_int_value(1);
  error = Error();
  EXPECT_EQ(db().rawEventDataFromDictionary(with(eventBlob({numericOrigin})), &error), nullptr);
  EXPECT_STORE_ERROR(error, 3,
                     "Cannot create an event from database. Origin parameter is not a string");
}

TEST_F(DatabaseRawEvents, QueriesOverTheTable) {
  Error error;
  EXPECT_EQ(db().isRawEventsTableEmpty(&error), std::optional(true));
  EXPECT_EQ(db().queryLatestRawEventTime(&error), std::nullopt);
  EXPECT_TRUE(error.domain.empty());
  EXPECT_EQ(db().nextMetadataFingerprintToProcess(&error), std::nullopt);
  EXPECT_TRUE(error.domain.empty());
  EXPECT_EQ(db().containsRawEventWithMetadataFingerprint(fingerprint_, &error),
            std::optional(false));

  insert(event(kTime + 30), fingerprint_);
  insert(event(kTime + 10), fingerprint_);
  EXPECT_EQ(db().containsRealtimeRawEventsWithError(&error), std::optional(false));
  insert(event(kTime + 20), fingerprint_, true);
  EXPECT_EQ(db().isRawEventsTableEmpty(&error), std::optional(false));
  EXPECT_EQ(db().queryLatestRawEventTime(&error), std::optional(kTime + 30));
  EXPECT_EQ(db().containsRealtimeRawEventsWithError(&error), std::optional(true));
  EXPECT_EQ(db().containsRawEventWithMetadataFingerprint(fingerprint_, &error),
            std::optional(true));
  EXPECT_EQ(db().nextMetadataFingerprintToProcess(&error), std::optional(fingerprint_));

  EXPECT_EQ(db().deleteRawEventsWithMaxRowID(2, &error), std::optional<std::int64_t>(2));
  EXPECT_EQ(rowIDs(read(fingerprint_)), "3");
}

TEST_F(DatabaseRawEvents, EmptyEventIsRefused) {
  Error error;
  EXPECT_FALSE(db().insertRawEvent(nullptr, fingerprint_, false, &error));
  EXPECT_STORE_ERROR(error, 1, "Received empty event for inserting in the database");
}

TEST_F(DatabaseRawEvents, AbsoluteLimitKeepsTheNewestRowsLessOne) {
  setFlags({{"measurement.store.max_stored_events_per_app", "1000"}});
  insertMany(1000, fingerprint_);
  Error error;
  EXPECT_EQ(db().deleteRawEventsOverAbsoluteLimit(&error), std::optional<std::int64_t>(1));
  RawConnection raw(path());
  EXPECT_EQ(raw.scalar("SELECT count(*) || ' ' || min(rowid) || ' ' || max(rowid) FROM "
                       "raw_events"),
            "999 2 1000");
  EXPECT_EQ(db().deleteRawEventsOverAbsoluteLimit(&error), std::optional<std::int64_t>(0));

  setFlags({{"measurement.store.max_stored_events_per_app", "0"}});
  EXPECT_EQ(db().deleteRawEventsOverAbsoluteLimit(&error), std::optional<std::int64_t>(999));
}

TEST_F(DatabaseRawEvents, StaleEventsAreDeletedOnBothSidesOfNow) {
  Error error;
  const std::int64_t old = db().insertIfNotExistsRawEventMetadata(metadata("old"), &error).value();
  const double current = now();
  insert(event(current - 100), old);           // too old
  insert(event(current - 50), fingerprint_);   // kept
  insert(event(current + 100), fingerprint_);  // too far ahead
  insert(event(current + 40), fingerprint_);   // kept
  EXPECT_FALSE(db().deleteStaleRawEventsDataOlderThanMaxAge(-1, &error).has_value());
  EXPECT_STORE_ERROR(error, 1, "Cannot delete stale raw events given negative time period");

  EXPECT_EQ(db().deleteStaleRawEventsDataOlderThanMaxAge(60, &error),
            std::optional<std::int64_t>(2));
  EXPECT_EQ(rowIDs(read(fingerprint_)), "2,4");
  // The metadata no raw event uses any more went with them.
  EXPECT_EQ(db().queryRawEventsMetadataWithFingerprint(old, &error), std::nullopt);
}

TEST_F(DatabaseRawEvents, FullDatabaseRefusesTheEventAndKeepsWorkingOnceThereIsRoom) {
  capDatabaseSize(true);
  TLMEventPtr big = event(kTime);
  ASSERT_NE(big, nullptr);
  // Set directly: logging would cut a value this long.
  big->setParameterValue("note", TLMValue::fromString(incompressibleText(40000)));
  Error error;
  EXPECT_FALSE(db().insertRawEvent(big, fingerprint_, false, &error));
  EXPECT_EQ(error.code, 3);
  RawConnection raw(path());
  EXPECT_EQ(raw.scalar("SELECT count(*) FROM raw_events"), "0");
  EXPECT_EQ(raw.scalar("PRAGMA integrity_check"), "ok");

  capDatabaseSize(false);
  EXPECT_TRUE(db().insertRawEvent(big, fingerprint_, false, &error)) << error.toString();
  ASSERT_EQ(read(fingerprint_).size(), 1u);
}

}  // namespace
