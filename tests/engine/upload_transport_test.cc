// One upload against the loopback service: what is posted, and what each
// answer does to the queue, the settings and the schedule.
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <algorithm>
#include <limits>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "common/DataHelpers.h"
#include "config/TLMConsentSettingsUtil.h"
#include "config/TLMIdentity.h"
#include "engine/upload_test_support.h"

namespace {

class UploadTransportTest : public UploadTest {
 protected:
  // Bundles of the app whose data arrived 10 s ago.
  void queueEvents(const std::vector<std::string>& names) {
    for (const std::string& name : names) queue(kTestAppID, kNow - 10, name);
  }
  void exec(const std::string& sql) {
    char* message = nullptr;
    ASSERT_EQ(sqlite3_exec(database().sqliteStore()->sqliteHandle(), sql.c_str(), nullptr, nullptr,
                           &message),
              SQLITE_OK)
        << (message != nullptr ? message : "");
  }
  // An engine over the started engine's components with its own service
  // address.
  std::shared_ptr<TLMMeasurement> engineWithAddress(const std::string& address) {
    return TLMMeasurement::TEST_createWithComponents(
        {engine_->database(), engine_->remoteConfigInstance(), engine_->persistedConfig(),
         engine_->network(), engine_->workerQueue(), address});
  }
};

TEST_F(UploadTransportTest, DeliveredBundlesAreStampedPostedInOrderAndDeleted) {
  queueEvents({"first", "second", "third"});
  upload();
  EXPECT_EQ(postedEventNames(),
            (std::vector<std::vector<std::string>>{{"first", "second", "third"}}));
  const TLMPBMeasurementBatch batch = batches().at(0);
  for (const TLMPBMeasurementBundle& bundle : batch.bundles()) {
    EXPECT_EQ(bundle.upload_timestamp_millis(), static_cast<std::int64_t>(kNow * 1000));
    EXPECT_EQ(bundle.uploading_library_version(), TLMIdentity::ferroluxLibraryVersion());
    EXPECT_FALSE(bundle.has_bundle_checksum());  // off by default
  }
  EXPECT_TRUE(queueRows().empty());
  EXPECT_EQ(settings().lastSuccessfulUploadTimestamp(), kNow);
  EXPECT_EQ(settings().lastFailedUploadTimestamp(), 0);
  EXPECT_EQ(settings().lastBackoffTimestamp(), 0);
  EXPECT_TRUE(engine_->uploadingBundleIDs().empty());
  EXPECT_FALSE(engine_->isNetworkRequestPending());

  const std::vector<MonitorReport> sent = monitor_.withCode(23039);
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_EQ(sent[0].level, 7);
  EXPECT_EQ(sent[0].message, "Measurement data sent to network. Timestamp (ms), data");
  EXPECT_EQ(sent[0].contexts[0].int64Value(), static_cast<std::int64_t>(kNow * 1000));
  const std::vector<MonitorReport> succeeded = monitor_.withCode(23044);
  ASSERT_EQ(succeeded.size(), 1u);
  EXPECT_EQ(succeeded[0].message, "Successful upload. Got network response. Code, size");
  EXPECT_EQ(succeeded[0].contexts[0].int64Value(), 204);
  // Nothing left: no alarm.
  EXPECT_FALSE(alarmTime().has_value());
}

TEST_F(UploadTransportTest, LoggedEventsAreBundledAndDelivered) {
  for (const char* name : {"level_up", "level_down"}) {
    TLMLogEventCall call;
    call.origin = "app";
    call.isPublicEvent = true;
    call.name = name;
    call.parameters = Object::dictionary({});
    call.timestamp = now();
    call.enabled = true;
    engine_->logEventWithOrigin(std::move(call));
  }
  run();
  // Logging scheduled the upload: the initial delay after the data.
  ASSERT_TRUE(alarmTime().has_value());
  EXPECT_DOUBLE_EQ(*alarmTime(), kNow + 15);

  upload();
  std::vector<std::string> delivered;
  for (const TLMPBMeasurementBatch& batch : batches()) {
    for (const TLMPBMeasurementBundle& bundle : batch.bundles()) {
      EXPECT_EQ(bundle.app_id(), TestPlatform::kBundleIdentifier);
      for (const TLMPBEvent& event : bundle.events()) delivered.push_back(event.name());
    }
  }
  EXPECT_NE(std::find(delivered.begin(), delivered.end(), "level_up"), delivered.end());
  EXPECT_NE(std::find(delivered.begin(), delivered.end(), "level_down"), delivered.end());
  EXPECT_TRUE(queueRows().empty());
  Error error;
  EXPECT_EQ(database().isRawEventsTableEmpty(&error), std::optional<bool>(true));
}

TEST_F(UploadTransportTest, OkIsSuccessToo) {
  queueEvents({"a"});
  answerWith({200});
  upload();
  EXPECT_TRUE(queueRows().empty());
  EXPECT_EQ(settings().lastSuccessfulUploadTimestamp(), kNow);
}

TEST_F(UploadTransportTest, ChecksumCoversTheBundleAsSent) {
  engine_->remoteConfigInstance()->cacheSettingValues({{"measurement.quality.checksum", "1"}});
  queueEvents({"a"});
  upload();
  ASSERT_EQ(batches().size(), 1u);
  TLMPBMeasurementBundle bundle = batches()[0].bundles()[0];
  ASSERT_TRUE(bundle.has_bundle_checksum());
  const std::int64_t checksum = bundle.bundle_checksum();
  bundle.clear_bundle_checksum();
  const std::optional<Bytes> bytes = bundle.protoBuffer();
  ASSERT_TRUE(bytes.has_value());
  EXPECT_EQ(checksum, tlm_64LSBMD5(*bytes));
}

TEST_F(UploadTransportTest, ServerErrorKeepsTheBundlesCountsARetryAndReschedules) {
  queueEvents({"a", "b"});
  answerWith({500});
  upload();
  ASSERT_EQ(batches().size(), 1u);
  const std::vector<QueueRow> rows = queueRows();
  ASSERT_EQ(rows.size(), 2u);
  EXPECT_EQ(rows[0].retryCount, 1);
  EXPECT_EQ(rows[1].retryCount, 1);
  EXPECT_EQ(settings().lastFailedUploadTimestamp(), kNow);
  EXPECT_EQ(settings().lastBackoffTimestamp(), 0);
  EXPECT_EQ(settings().lastSuccessfulUploadTimestamp(), 0);
  EXPECT_TRUE(engine_->uploadingBundleIDs().empty());
  const std::vector<MonitorReport> failed = monitor_.withCode(23043);
  ASSERT_EQ(failed.size(), 1u);
  EXPECT_EQ(failed[0].level, 7);
  EXPECT_EQ(failed[0].message, "Network upload failed. Will retry later. Code, error");
  EXPECT_EQ(failed[0].contexts[0].int64Value(), 500);
  // The first retry: base time plus the retry interval.
  ASSERT_TRUE(alarmTime().has_value());
  EXPECT_DOUBLE_EQ(*alarmTime(), kNow - 10 + 15 + 1800);

  // The retry delivers them.
  platform_.executor().advance(*alarmTime() - now() + 1);
  platform_.executor().runUntilIdle(20.0);
  EXPECT_EQ(batches().size(), 2u);
  EXPECT_TRUE(queueRows().empty());
}

TEST_F(UploadTransportTest, BackoffStatusesDelayTheNextUploadByTheBackoffInterval) {
  for (int status : {503, 429}) {
    SCOPED_TRACE(status);
    settings().setLastBackoffTimestamp(0);
    settings().setLastFailedUploadTimestamp(0);
    engine_->alarm()->cancel();
    if (queueRows().empty()) queueEvents({"a"});
    answerWith({status});
    upload();
    EXPECT_EQ(settings().lastFailedUploadTimestamp(), now());
    EXPECT_EQ(settings().lastBackoffTimestamp(), now());
    EXPECT_EQ(queueRows().size(), 1u);
    ASSERT_TRUE(alarmTime().has_value());
    EXPECT_GE(*alarmTime(), now() + 43200);
  }
}

TEST_F(UploadTransportTest, BatchNeverMixesAppIDs) {
  queue(kTestAppID, kNow - 10, "a1");
  queue(kTestAppID, kNow - 10, "a2");
  queue(kOtherAppID, kNow - 10, "b1");
  queue(kTestAppID, kNow - 10, "a3");
  upload();
  // Each success uploads the rest at once.
  EXPECT_EQ(postedEventNames(),
            (std::vector<std::vector<std::string>>{{"a1", "a2"}, {"b1"}, {"a3"}}));
  for (const TLMPBMeasurementBatch& batch : batches()) {
    for (const TLMPBMeasurementBundle& bundle : batch.bundles()) {
      EXPECT_EQ(bundle.app_id(), batch.bundles()[0].app_id());
    }
  }
  EXPECT_TRUE(queueRows().empty());
}

TEST_F(UploadTransportTest, BatchNeverMixesAdvertisingIdentifiers) {
  auto withIDs = [](const std::string& name, const std::string& resettable,
                    const std::string& vendor) {
    TLMPBMeasurementBundle bundle = makeBundle(kTestAppID, kNow, name);
    if (!resettable.empty()) bundle.set_resettable_device_id(resettable);
    if (!vendor.empty()) bundle.set_vendor_device_id(vendor);
    return TLMMeasurement::QueuedBundles::value_type(bundle, 0);
  };
  auto names = [](const TLMMeasurement::QueuedBundles& bundles) {
    std::vector<std::string> found;
    for (const auto& entry : bundles) found.push_back(entry.first.events()[0].name());
    return found;
  };
  // The first identifier found decides; bundles without one travel along.
  EXPECT_EQ(
      names(TLMMeasurement::filteredBundlesWithCompatibleAppID(
          {withIDs("none", "", ""), withIDs("a", "AD-1", "V-1"), withIDs("b", "", "V-2"),
           withIDs("c", "AD-1", "V-3"), withIDs("d", "AD-2", "V-1"), withIDs("e", "AD-1", "")})),
      (std::vector<std::string>{"none", "a", "b", "c"}));
  // Without an advertising identifier the vendor identifier decides.
  EXPECT_EQ(names(TLMMeasurement::filteredBundlesWithCompatibleAppID(
                {withIDs("a", "", "V-1"), withIDs("b", "", "V-1"), withIDs("c", "", "V-2")})),
            (std::vector<std::string>{"a", "b"}));
  // Another app ID ends the batch even with the same identifiers.
  TLMMeasurement::QueuedBundles mixed = {withIDs("a", "AD-1", ""), withIDs("b", "AD-1", "")};
  mixed[1].first.set_app_id(kOtherAppID);
  EXPECT_EQ(names(TLMMeasurement::filteredBundlesWithCompatibleAppID(mixed)),
            (std::vector<std::string>{"a"}));
  EXPECT_TRUE(TLMMeasurement::filteredBundlesWithCompatibleAppID({}).empty());
}

TEST_F(UploadTransportTest, StoredIdentifiersAreKeptOrWithheldNeverReplaced) {
  // Bundles made before an advertising-identifier reset must not be tied
  // to the new identifier: each keeps its own, or loses it when the
  // identifier is not available or allowed now.
  TLMPBMeasurementBundle before = makeBundle(kTestAppID, kNow - 20, "before");
  before.set_resettable_device_id("OLD-AD-ID");
  before.set_app_instance_id("OLD-INSTANCE");
  TLMPBMeasurementBundle after = makeBundle(kTestAppID, kNow - 10, "after");
  after.set_resettable_device_id("NEW-AD-ID");
  queue(before);
  queue(after);
  const std::optional<std::string> current = engine_->identity()->resettableDeviceID();
  const bool allowed = current && !current->empty() && !TLMConsentSettingsUtil::isAdStorageDenied();
  upload();
  const std::vector<TLMPBMeasurementBatch> posted = batches();
  if (allowed) {
    ASSERT_EQ(postedEventNames(), (std::vector<std::vector<std::string>>{{"before"}, {"after"}}));
    EXPECT_EQ(posted[0].bundles()[0].resettable_device_id(), "OLD-AD-ID");
    EXPECT_EQ(posted[1].bundles()[0].resettable_device_id(), "NEW-AD-ID");
  } else {
    ASSERT_EQ(postedEventNames(), (std::vector<std::vector<std::string>>{{"before", "after"}}));
    EXPECT_FALSE(posted[0].bundles()[0].has_resettable_device_id());
    EXPECT_FALSE(posted[0].bundles()[1].has_resettable_device_id());
  }
  // The app instance ID is never replaced by today's.
  const std::string instance = posted[0].bundles()[0].app_instance_id();
  EXPECT_TRUE(instance.empty() || instance == "OLD-INSTANCE") << instance;
  EXPECT_TRUE(queueRows().empty());
}

TEST_F(UploadTransportTest, FailedDeleteAfterSuccessSuspendsUploadsForAnHourOfUptime) {
  queueEvents({"a"});
  exec("CREATE TRIGGER refuse_delete BEFORE DELETE ON queue BEGIN SELECT RAISE(ABORT, 'no'); END");
  const double uptime = clock().uptime();
  upload();
  ASSERT_EQ(batches().size(), 1u);
  EXPECT_EQ(queueRows().size(), 1u);
  EXPECT_DOUBLE_EQ(engine_->suspendedUploadTimestamp(), uptime);
  const std::vector<MonitorReport> suspended = monitor_.withCode(23045);
  ASSERT_EQ(suspended.size(), 1u);
  EXPECT_EQ(suspended[0].level, 1);
  EXPECT_EQ(suspended[0].message,
            "Unable to delete uploaded bundles. Uploads will be suspended for seconds");
  EXPECT_DOUBLE_EQ(suspended[0].contexts[0].doubleValue(), 3600);
  EXPECT_EQ(monitor_.count(23122), 1u);
  // The delivered bundle is not sent again: no alarm, no second post.
  EXPECT_FALSE(alarmTime().has_value());
  EXPECT_EQ(batches().size(), 1u);

  // A wall clock set forward does not end the suspension.
  exec("DROP TRIGGER refuse_delete");
  clock().setNow(kNow + 86400);
  upload();
  EXPECT_EQ(batches().size(), 1u);

  // An hour of uptime does.
  clock().setNow(kNow + 10);
  clock().setUptime(uptime + 3600);
  upload();
  EXPECT_EQ(batches().size(), 2u);
  EXPECT_TRUE(queueRows().empty());
  EXPECT_EQ(engine_->suspendedUploadTimestamp(), 0);
}

TEST_F(UploadTransportTest, NothingQueuedEndsTheBackgroundTaskWithoutFetching) {
  beginBackgroundTask();
  upload();
  EXPECT_TRUE(batches().empty());
  EXPECT_EQ(fetches(), 0);
  EXPECT_EQ(engine_->backgroundUpdateTask(), kBackgroundTaskInvalid);
  ASSERT_EQ(monitor_.count(23037), 1u);
  EXPECT_EQ(monitor_.withCode(23037)[0].message, "No data to upload");
}

TEST_F(UploadTransportTest, ExpiredConfigurationIsFetchedWhenNothingIsQueued) {
  Error error;
  ASSERT_TRUE(database().updateRemoteConfigSuccessfulTimestamp(kNow - 7200, &error));
  upload();
  EXPECT_TRUE(batches().empty());
  EXPECT_EQ(fetches(), 1);
  EXPECT_EQ(monitor_.count(23037), 1u);
}

TEST_F(UploadTransportTest, ExpiredConfigurationBuildsNoBundlesButSendsQueuedOnes) {
  Error error;
  ASSERT_TRUE(database().updateRemoteConfigSuccessfulTimestamp(kNow - 7200, &error));
  queueEvents({"a"});
  upload();
  EXPECT_EQ(batches().size(), 1u);
  // After the success nothing is left, so the configuration is fetched.
  EXPECT_EQ(fetches(), 1);
}

TEST_F(UploadTransportTest, OneBatchInFlightAtATime) {
  queueEvents({"a"});
  onWorker([](TLMMeasurement& e) {
    e.uploadData();
    e.uploadData();
  });
  EXPECT_EQ(batches().size(), 1u);
  const std::vector<MonitorReport> pending = monitor_.withCode(23034);
  ASSERT_EQ(pending.size(), 1u);
  EXPECT_EQ(pending[0].message, "Network operation is pending. Ignoring upload request");
  EXPECT_TRUE(queueRows().empty());
}

TEST_F(UploadTransportTest, InFlightListRefusesASecondBatch) {
  bool first = false;
  bool second = true;
  onWorker([&](TLMMeasurement& e) {
    first = e.setUploadInProgressWithBundleIDs({1, 2});
    second = e.setUploadInProgressWithBundleIDs({3});
  });
  EXPECT_TRUE(first);
  EXPECT_FALSE(second);
  EXPECT_EQ(engine_->uploadingBundleIDs(), (std::vector<std::int64_t>{1, 2}));
  ASSERT_EQ(monitor_.count(23047), 1u);
  EXPECT_EQ(monitor_.withCode(23047)[0].level, 2);
  bool empty = true;
  onWorker([&](TLMMeasurement& e) { empty = e.setUploadInProgressWithBundleIDs({}); });
  EXPECT_FALSE(empty);
  ASSERT_EQ(monitor_.count(23046), 1u);
  EXPECT_EQ(monitor_.withCode(23046)[0].message, "Bundle list is empty. Cancelling upload");
}

TEST_F(UploadTransportTest, RequestThatCannotStartClearsTheInFlightList) {
  // A host the client cannot form a request for.
  std::shared_ptr<TLMMeasurement> other = engineWithAddress("https://[zz]");
  ASSERT_NE(other, nullptr);
  queueEvents({"a"});
  std::vector<std::int64_t> inFlightAfterPost = {-1};
  other->workerQueue()->async([&] {
    other->uploadData();
    inFlightAfterPost = other->uploadingBundleIDs();
  });
  platform_.executor().runUntilIdle(20.0);
  EXPECT_TRUE(inFlightAfterPost.empty());
  ASSERT_EQ(monitor_.count(23040), 1u);
  EXPECT_EQ(monitor_.withCode(23040)[0].message, "Unable to create network session.");
  EXPECT_FALSE(other->isNetworkRequestPending());
  // The bundle stays queued, counted as a failed upload but not retried.
  const std::vector<QueueRow> rows = queueRows();
  ASSERT_EQ(rows.size(), 1u);
  EXPECT_EQ(rows[0].retryCount, 0);
  EXPECT_EQ(settings().lastFailedUploadTimestamp(), kNow);
  EXPECT_EQ(monitor_.count(23166), 0u);
}

TEST_F(UploadTransportTest, WithoutServiceAddressNothingIsPosted) {
  std::shared_ptr<TLMMeasurement> other = engineWithAddress("");
  ASSERT_NE(other, nullptr);
  queueEvents({"a"});
  other->workerQueue()->async([other] { other->uploadData(); });
  platform_.executor().runUntilIdle(20.0);
  EXPECT_TRUE(batches().empty());
  EXPECT_EQ(queueRows().size(), 1u);
  ASSERT_EQ(monitor_.count(29011), 1u);
  EXPECT_EQ(monitor_.withCode(29011)[0].level, 1);
  EXPECT_TRUE(other->uploadingBundleIDs().empty());
}

TEST_F(UploadTransportTest, WithoutNetworkTheUploadWaits) {
  queueEvents({"a"});
  reachability().setOverride(false);
  upload();
  EXPECT_TRUE(batches().empty());
  ASSERT_EQ(monitor_.count(23035), 1u);
  EXPECT_EQ(monitor_.withCode(23035)[0].level, 7);
  EXPECT_EQ(monitor_.count(23026), 1u);
  // The network coming back does not upload at once but schedules.
  reachability().setOverride(true);
  run();
  EXPECT_TRUE(alarmTime().has_value());
}

TEST_F(UploadTransportTest, CompletionAfterTheEngineIsGoneDoesNothing) {
  queueEvents({"a"});
  Gate gate;
  holdAnswersAt(&gate);
  std::shared_ptr<TLMMeasurement> engine = engine_;
  engine->workerQueue()->async([engine] { engine->uploadData(); });
  engine.reset();
  ASSERT_TRUE(platform_.executor().runUntil([&] { return !batches().empty(); },
                                            std::numeric_limits<double>::infinity()));
  ASSERT_TRUE(gate.waitEntered(10));
  monitor_.clear();
  engine_.reset();  // cancels the request in flight
  gate.open();
  platform_.executor().runUntilIdle(20.0);
  EXPECT_EQ(monitor_.count(23043), 0u);
  EXPECT_EQ(monitor_.count(23044), 0u);
}

TEST_F(UploadTransportTest, UploadDataOrRegisterAlarmUploadsOnlyWithDataAndNetwork) {
  onWorker([](TLMMeasurement& e) { e.uploadDataOrRegisterAlarm(); });
  EXPECT_EQ(count("uploadData"), 0);
  EXPECT_EQ(count("updateSchedule"), 1);
  queueEvents({"a"});
  reachability().setOverride(false);
  onWorker([](TLMMeasurement& e) { e.uploadDataOrRegisterAlarm(); });
  EXPECT_EQ(count("uploadData"), 0);
  reachability().setOverride(true);
  run();
  calls_.clear();
  onWorker([](TLMMeasurement& e) { e.uploadDataOrRegisterAlarm(); });
  EXPECT_EQ(count("uploadData"), 1);
  EXPECT_EQ(batches().size(), 1u);
}

TEST_F(UploadTransportTest, ResigningActiveUploadsInsideABackgroundTask) {
  queueEvents({"a"});
  TLMAnalytics::unsuspendOperationQueue();
  ASSERT_TRUE(app().finishLaunching());
  ASSERT_TRUE(app().becomeActive());
  run();
  ASSERT_TRUE(app().resignActive());
  ASSERT_NE(engine_->backgroundUpdateTask(), kBackgroundTaskInvalid);
  platform_.executor().runUntilIdle(20.0);
  EXPECT_EQ(batches().size(), 1u);
  EXPECT_TRUE(queueRows().empty());
  // Nothing more to do: the task ends.
  EXPECT_EQ(engine_->backgroundUpdateTask(), kBackgroundTaskInvalid);
  EXPECT_TRUE(app().backgroundTasks().empty());
}

}  // namespace
