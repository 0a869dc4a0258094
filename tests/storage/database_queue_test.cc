// The upload queue and the stale-data sweep.
#include <zlib.h>

#include "common/DataHelpers.h"
#include "storage/database_core_support.h"
#include "utilities/HRNGzip.h"

namespace {

// Inflates one gzip member with zlib itself, independently of the
// library's own helper.
std::optional<Bytes> gunzip(const Bytes& compressed) {
  z_stream stream{};
  if (inflateInit2(&stream, 16 + MAX_WBITS) != Z_OK) return std::nullopt;
  Bytes output(1 << 20);
  stream.next_in = const_cast<Bytef*>(compressed.data());
  stream.avail_in = static_cast<uInt>(compressed.size());
  stream.next_out = output.data();
  stream.avail_out = static_cast<uInt>(output.size());
  const int result = inflate(&stream, Z_FINISH);
  output.resize(stream.total_out);
  inflateEnd(&stream);
  if (result != Z_STREAM_END) return std::nullopt;
  return output;
}

ObjectArray ids(std::initializer_list<std::int64_t> values) {
  ObjectArray objects;
  for (std::int64_t value : values) objects.push_back(Object::integer(value));
  return objects;
}

class DatabaseQueue : public DatabaseTest {
 protected:
  void SetUp() override {
    DatabaseTest::SetUp();
    open();
  }

  // Queues a bundle ending `age` seconds ago; its row id.
  std::int64_t queue(double age, std::size_t padding = 0, bool realtime = false,
                     std::int32_t retryCount = 0) {
    TLMPBMeasurementBundle made = bundle(now() - age, padding);
    if (retryCount != 0) made.set_retry_count(retryCount);
    Error error;
    EXPECT_TRUE(db().insertBundle(made, realtime, &error)) << error.toString();
    return sqlite3_last_insert_rowid(db().sqliteStore()->sqliteHandle());
  }

  std::vector<TLMQueuedBundle> query(std::int64_t count, std::int64_t size) {
    Error error;
    std::optional<std::vector<TLMQueuedBundle>> bundles =
        db().queryBundlesWithCountLimit(count, size, &error);
    EXPECT_TRUE(bundles.has_value()) << error.toString();
    return bundles.value_or(std::vector<TLMQueuedBundle>());
  }
  static std::vector<std::int64_t> rowIDsOf(const std::vector<TLMQueuedBundle>& bundles) {
    std::vector<std::int64_t> rowIDs;
    for (const TLMQueuedBundle& entry : bundles) rowIDs.push_back(entry.second);
    return rowIDs;
  }
  std::string column(const std::string& sql) { return RawConnection(path()).scalar(sql); }
};

TEST_F(DatabaseQueue, StoresTheBundleGzippedWithItsColumns) {
  TLMPBMeasurementBundle made = bundle(now() - 10.5, 300);
  made.set_retry_count(3);
  Error error;
  ASSERT_TRUE(db().insertBundle(made, true, &error)) << error.toString();

  std::optional<std::vector<TLMSqliteRecord>> rows = db().sqliteStore()->recordsForQuery(
      "SELECT data, bundle_end_timestamp, is_realtime, retry_count FROM queue", {}, &error);
  ASSERT_TRUE(rows.has_value() && rows->size() == 1u);
  const TLMSqliteRecord& row = rows->front();
  const Bytes& data = *row.at("data").asData();
  ASSERT_GE(data.size(), 18u);
  // RFC 1952: magic, deflate, and a stream zlib inflates to the bytes.
  EXPECT_EQ(data[0], 0x1f);
  EXPECT_EQ(data[1], 0x8b);
  EXPECT_EQ(data[2], 8);
  EXPECT_EQ(gunzip(data), made.protoBuffer());
  EXPECT_LT(data.size(), serializedSize(made));
  EXPECT_EQ(row.at("bundle_end_timestamp").doubleValue(),
            static_cast<double>(made.end_timestamp_millis()) / 1000);
  EXPECT_EQ(row.at("is_realtime").int64Value(), 1);
  EXPECT_EQ(row.at("retry_count").int64Value(), 3);
  EXPECT_EQ(db().containsRealtimeBundlesWithError(&error), std::optional(true));
}

TEST_F(DatabaseQueue, BundlesThatCannotBeStoredAreRefused) {
  Error error;
  EXPECT_FALSE(db().insertBundle(TLMPBMeasurementBundle(), false, &error));
  EXPECT_STORE_ERROR(error, 1, "Failed to insert nil bundle");
  TLMPBMeasurementBundle noApp = bundle(now());
  noApp.clear_app_id();
  EXPECT_FALSE(db().insertBundle(noApp, false, &error));
  EXPECT_STORE_ERROR(error, 1, "Failed to insert bundle without App ID");
  TLMPBMeasurementBundle noTime = bundle(now());
  noTime.set_end_timestamp_millis(0);
  EXPECT_FALSE(db().insertBundle(noTime, false, &error));
  EXPECT_STORE_ERROR(error, 1, "Failed to insert bundle without valid timestamp");
  EXPECT_EQ(db().isQueuedBundleTableEmpty(&error), std::optional(true));
}

TEST_F(DatabaseQueue, ReportsTheSizeAndBundlesOutsideTheQueueTime) {
  TLMMeasurement::monitor().setDebugModeEnabled(true);
  clearPrinted();
  queue(10);
  EXPECT_TRUE(printedWithCode(12016).empty());
  const std::vector<std::string> saved = printedWithCode(12018);
  ASSERT_EQ(saved.size(), 1u);
  EXPECT_EQ(saved[0], "Saving bundle. size (bytes): " + column("SELECT length(data) FROM queue"));

  queue(29 * 86400.0);
  EXPECT_EQ(printedWithCode(12016),
            (std::vector<std::string>{"Storing bundle outside of the max uploading time span"}));
  EXPECT_EQ(column("SELECT count(*) FROM queue"), "2");
}

TEST_F(DatabaseQueue, ReadsOldestFirstWithinTheCountLimit) {
  const std::int64_t middle = queue(20);
  const std::int64_t newest = queue(10);
  const std::int64_t oldest = queue(30, 0, false, 4);
  const std::int64_t tie = queue(30);
  std::vector<TLMQueuedBundle> bundles = query(3, 1 << 20);
  EXPECT_EQ(rowIDsOf(bundles), (std::vector<std::int64_t>{oldest, tie, middle}));
  EXPECT_EQ(bundles[0].first.retry_count(), 4);
  EXPECT_FALSE(bundles[1].first.has_retry_count());
  EXPECT_EQ(rowIDsOf(query(10, 1 << 20)), (std::vector<std::int64_t>{oldest, tie, middle, newest}));
  EXPECT_TRUE(query(0, 1 << 20).empty());
  Error error;
  EXPECT_FALSE(db().queryBundlesWithCountLimit(-1, 100, &error).has_value());
  EXPECT_EQ(error.code, 1);
}

TEST_F(DatabaseQueue, SizeBudgetOnTheUncompressedBundles) {
  const std::size_t small = serializedSize(bundle(now(), 100));
  const std::size_t large = serializedSize(bundle(now(), 250));
  const std::size_t tiny = serializedSize(bundle(now(), 1));
  const std::int64_t first = queue(40, 100);
  const std::int64_t second = queue(30, 250);
  const std::int64_t third = queue(20, 1);
  (void)third;
  // The second would pass the budget: the list ends there although the
  // third would fit.
  const std::int64_t budget = static_cast<std::int64_t>(small + tiny + 10);
  ASSERT_GT(large, tiny + 10);
  EXPECT_EQ(rowIDsOf(query(10, budget)), (std::vector<std::int64_t>{first}));
  // An exact fit is taken.
  EXPECT_EQ(rowIDsOf(query(10, static_cast<std::int64_t>(small + large))),
            (std::vector<std::int64_t>{first, second}));
  EXPECT_EQ(rowIDsOf(query(10, static_cast<std::int64_t>(small + large - 1))),
            (std::vector<std::int64_t>{first}));
  // The oldest alone even when it is over the budget by itself.
  EXPECT_EQ(rowIDsOf(query(10, 10)), (std::vector<std::int64_t>{first}));
}

TEST_F(DatabaseQueue, UnreadableRowsAreSkippedAndDoNotTakeUpPlaces) {
  const std::int64_t broken = queue(50);
  const std::int64_t truncated = queue(40);
  const std::int64_t good = queue(30);
  const std::int64_t notBundle = queue(25);
  const std::int64_t later = queue(20);
  RawConnection raw(path());
  ASSERT_EQ(raw.exec("UPDATE queue SET data = x'00112233' WHERE rowid = " + std::to_string(broken)),
            SQLITE_OK);
  ASSERT_EQ(raw.exec("UPDATE queue SET data = substr(data, 1, length(data) - 6) WHERE rowid = " +
                     std::to_string(truncated)),
            SQLITE_OK);
  // Valid gzip of bytes that are not a bundle.
  const Bytes garbage = {0x0a, 0xff, 0xff, 0xff};
  std::optional<Bytes> gzipped = hrn_dataByGzippingData(garbage, nullptr);
  ASSERT_TRUE(gzipped.has_value());
  ASSERT_EQ(raw.exec("UPDATE queue SET data = x'" + tlm_hexString(*gzipped) +
                     "' WHERE rowid = " + std::to_string(notBundle)),
            SQLITE_OK);

  EXPECT_EQ(rowIDsOf(query(2, 1 << 20)), (std::vector<std::int64_t>{good, later}));
  const std::vector<std::string> reports = printedWithCode(12061);
  EXPECT_EQ(reports.size(), 3u);
  Error error;
  std::optional<std::vector<TLMQueuedBundle>> byID =
      db().queryBundlesWithRowIDs(ids({broken, good}), &error);
  ASSERT_TRUE(byID.has_value()) << error.toString();
  EXPECT_EQ(rowIDsOf(*byID), (std::vector<std::int64_t>{good}));
}

TEST_F(DatabaseQueue, RowIDListsMustBeNonEmptyNumbers) {
  const std::int64_t first = queue(30);
  const std::int64_t second = queue(20);
  const std::int64_t third = queue(10);
  Error error;
  EXPECT_FALSE(db().queryBundlesWithRowIDs({}, &error).has_value());
  EXPECT_STORE_ERROR(error, 3, "Received empty row IDs to process");
  EXPECT_FALSE(db().deleteBundlesWithRowIDs({Object::integer(first), Object("2")}, &error));
  EXPECT_STORE_ERROR(error, 3, "Received invalid type for row ID to process");
  EXPECT_EQ(column("SELECT count(*) FROM queue"), "3");

  std::optional<std::vector<TLMQueuedBundle>> picked =
      db().queryBundlesWithRowIDs(ids({third, first}), &error);
  ASSERT_TRUE(picked.has_value());
  EXPECT_EQ(rowIDsOf(*picked), (std::vector<std::int64_t>{first, third}));
  EXPECT_EQ(db().deleteBundlesWithRowIDs(ids({first, third, 999}), &error),
            std::optional<std::int64_t>(2));
  EXPECT_EQ(rowIDsOf(query(10, 1 << 20)), (std::vector<std::int64_t>{second}));
}

TEST_F(DatabaseQueue, RetryCounterStopsAtItsLimit) {
  const std::int64_t fresh = queue(30);
  const std::int64_t capped = queue(20);
  const std::int64_t other = queue(10);
  RawConnection raw(path());
  ASSERT_EQ(
      raw.exec("UPDATE queue SET retry_count = 2147483647 WHERE rowid = " + std::to_string(capped)),
      SQLITE_OK);
  Error error;
  EXPECT_FALSE(db().incrementRetryCounterForBundlesWithIDs({}, &error));
  EXPECT_STORE_ERROR(error, 1, "Failed to increment retry counter");

  // A capped bundle that is not being retried is not reported.
  ASSERT_TRUE(db().incrementRetryCounterForBundlesWithIDs(ids({fresh}), &error))
      << error.toString();
  EXPECT_TRUE(printedWithCode(12054).empty());
  ASSERT_TRUE(db().incrementRetryCounterForBundlesWithIDs(ids({fresh, capped}), &error));
  EXPECT_EQ(printedWithCode(12054),
            (std::vector<std::string>{
                "The number of upload retries exceeds the limit. Will remain unchanged."}));
  EXPECT_EQ(raw.column("SELECT retry_count FROM queue ORDER BY rowid"),
            (std::vector<std::string>{"2", "2147483647", "0"}));

  std::optional<std::vector<TLMQueuedBundle>> read =
      db().queryBundlesWithRowIDs(ids({fresh, capped, other}), &error);
  ASSERT_TRUE(read.has_value() && read->size() == 3u);
  EXPECT_EQ((*read)[0].first.retry_count(), 2);
  EXPECT_EQ((*read)[1].first.retry_count(), 2147483647);
  EXPECT_FALSE((*read)[2].first.has_retry_count());
}

TEST_F(DatabaseQueue, LatestBundleTime) {
  Error error;
  EXPECT_EQ(db().queryLatestBundleTime(&error), std::nullopt);
  EXPECT_TRUE(error.domain.empty());
  EXPECT_EQ(db().containsRealtimeBundlesWithError(&error), std::optional(false));
  queue(30);
  queue(10);
  queue(20);
  const double expected = static_cast<double>(bundle(now() - 10).end_timestamp_millis()) / 1000;
  EXPECT_EQ(db().queryLatestBundleTime(&error), std::optional(expected));
}

TEST_F(DatabaseQueue, StaleSweepRunsAfterItsIntervalOnBothSidesOfNow) {
  setFlags({{"measurement.upload.max_queue_time", "604800000"},                // 7 days
            {"measurement.upload.stale_data_deletion_interval", "3600000"}});  // 1 hour
  const double week = 7 * 86400.0;
  Error error;
  const std::int64_t metadataFingerprint =
      db().insertIfNotExistsRawEventMetadata(metadata(), &error).value();
  const double current = now();
  ASSERT_TRUE(db().insertRawEvent(event(current - week - 5), metadataFingerprint, false, &error));
  ASSERT_TRUE(db().insertRawEvent(event(current - 5), metadataFingerprint, false, &error));
  ASSERT_TRUE(db().insertRawEvent(event(current + week + 5), metadataFingerprint, false, &error));
  queue(week + 5);
  const std::int64_t kept = queue(5);
  queue(-(week + 5));

  persistedConfig_->setLastDeleteStaleBundlesTimestamp(current - 3000);
  EXPECT_EQ(db().maybeDeleteStaleData(&error), std::optional(false));
  EXPECT_EQ(column("SELECT count(*) FROM queue"), "3");
  EXPECT_EQ(column("SELECT count(*) FROM raw_events"), "3");

  // A clock set back counts as much as one moved forward.
  persistedConfig_->setLastDeleteStaleBundlesTimestamp(current + 3700);
  EXPECT_EQ(db().maybeDeleteStaleData(&error), std::optional(true));
  EXPECT_EQ(persistedConfig_->lastDeleteStaleBundlesTimestamp(), current);
  EXPECT_EQ(rowIDsOf(query(10, 1 << 20)), (std::vector<std::int64_t>{kept}));
  EXPECT_EQ(column("SELECT group_concat(rowid) FROM raw_events"), "2");
  EXPECT_EQ(column("SELECT count(*) FROM raw_events_metadata"), "1");

  EXPECT_FALSE(db().deleteStaleBundlesOlderThanMaxAge(-1, &error).has_value());
  EXPECT_STORE_ERROR(error, 1, "Cannot delete stale bundles after negative time period");
}

TEST_F(DatabaseQueue, InsertingABundleSweepsFirst) {
  const double current = now();
  queue(29 * 86400.0);
  persistedConfig_->setLastDeleteStaleBundlesTimestamp(current - 2 * 86400.0);
  const std::int64_t fresh = queue(10);
  EXPECT_EQ(rowIDsOf(query(10, 1 << 20)), (std::vector<std::int64_t>{fresh}));
  EXPECT_EQ(persistedConfig_->lastDeleteStaleBundlesTimestamp(), current);
}

TEST_F(DatabaseQueue, FullDatabaseRefusesTheBundleAndKeepsWorkingOnceThereIsRoom) {
  queue(20);
  capDatabaseSize(true);
  TLMPBMeasurementBundle large = bundle(now() - 10);
  const std::string noise = incompressibleText(60000);
  large.set_monitoring_sample(noise);
  Error error;
  EXPECT_FALSE(db().insertBundle(large, false, &error));
  EXPECT_EQ(error.code, 3);
  RawConnection raw(path());
  EXPECT_EQ(raw.scalar("SELECT count(*) FROM queue"), "1");
  EXPECT_EQ(raw.scalar("PRAGMA integrity_check"), "ok");

  capDatabaseSize(false);
  ASSERT_TRUE(db().insertBundle(large, false, &error)) << error.toString();
  std::vector<TLMQueuedBundle> bundles = query(10, 1 << 20);
  ASSERT_EQ(bundles.size(), 2u);
  EXPECT_EQ(bundles[1].first.monitoring_sample(), noise);
}

}  // namespace
