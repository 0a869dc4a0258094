// Uploads end to end against the real local measurement service: what
// arrives, and that every event logged arrives exactly once whatever the
// service or the network does in between.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>

#include "e2e/e2e_test_support.h"
#include "support/ProtocDecode.h"

namespace {

bool contains(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

// Long enough for the first retry after a failure (1800 s after the base
// time), short of the second.
constexpr double kPastFirstRetry = 2 * 3600;
// The back-off period's default (12 h).
constexpr double kBackoffPeriod = 43200;

}  // namespace

// protoc's rendering of the newest batch the service holds.
class UploadEndToEndTest : public EndToEndTest {
 protected:
  std::string newestBatchText() {
    const auto batches = service_.getJSON("/api/batches");
    EXPECT_TRUE(batches.has_value());
    if (!batches) return "";
    const nlohmann::json list = batches->is_array() ? *batches : (*batches)["batches"];
    EXPECT_FALSE(list.empty());
    if (list.empty()) return "";
    const auto raw =
        service_.getBody("/api/batches/" + std::to_string(list[0]["id"].get<long>()) + "/raw");
    EXPECT_TRUE(raw.has_value());
    return raw ? protocDecodeBatch(*raw, serviceFolder_.path()) : "";
  }
};

TEST_F(UploadEndToEndTest, DeliveredBatchDecodesWithProtocAndLeavesNothingQueued) {
  launch();
  QLFAnalytics::logEventWithName("level_start",
                                 Object::dictionary({{Object("level_name"), Object("forest")},
                                                     {Object("difficulty"), Object::integer(2)}}));
  logNumberedEvents(1, 3);
  background();

  ASSERT_EQ(summaryCount("batches"), 1);
  expectEveryEventReceivedOnce();
  EXPECT_EQ(appRows("queue"), 0);
  EXPECT_EQ(appRows("raw_events"), 0);

  const std::string text = newestBatchText();
  ASSERT_FALSE(text.empty()) << "protoc could not decode the batch";
  // The fields bundle assembly and upload fill.
  for (const char* field :
       {"protocol_version: 1", "platform: \"ios\"", "bundle_index: 1", "app_id: \"",
        "start_timestamp_millis: ", "end_timestamp_millis: ", "upload_timestamp_millis: ",
        "uploading_library_version: ", "library_version: ", "app_instance_id: \"",
        "name: \"level_start\"", "name: \"e2e_event\"", "string_value: \"forest\"",
        "device_model: ", "os_version: ", "time_zone_offset_minutes: "}) {
    EXPECT_TRUE(contains(text, field)) << field << "\n" << text;
  }
}

TEST_F(UploadEndToEndTest, ServerErrorIsRetriedOnScheduleWithNothingLostOrDuplicated) {
  launch();
  logNumberedEvents(1, 5);
  ASSERT_TRUE(service_.addFault({{"count", 1}, {"status", 500}}));
  background();
  EXPECT_EQ(summaryCount("bundles"), 0);
  EXPECT_GT(appRows("queue"), 0) << "a failed upload keeps its bundles";

  advance(kPastFirstRetry);
  expectEveryEventReceivedOnce();
  EXPECT_EQ(summaryCount("duplicates_dropped"), 0);
  EXPECT_EQ(appRows("queue"), 0);
}

TEST_F(UploadEndToEndTest, BackoffStatusHoldsUploadsForTheBackoffPeriod) {
  launch();
  logNumberedEvents(1, 4);
  ASSERT_TRUE(service_.addFault({{"count", 1}, {"status", 503}}));
  background();

  // An ordinary retry time passes: the back-off still holds.
  advance(kPastFirstRetry);
  EXPECT_EQ(summaryCount("bundles"), 0);
  EXPECT_GT(appRows("queue"), 0);

  advance(kBackoffPeriod);
  expectEveryEventReceivedOnce();
  EXPECT_EQ(appRows("queue"), 0);
}

TEST_F(UploadEndToEndTest, ConnectionDroppedAfterTheServiceStoredTheBatchIsNotDuplicated) {
  launch();
  logNumberedEvents(1, 6);
  // Twice: the HTTP client itself sends a request again once when a
  // reused connection dies before an answer.
  ASSERT_TRUE(service_.addFault({{"count", 2}, {"drop", "after_store"}}));
  background();
  // The service has the events; the app never heard so and keeps them.
  EXPECT_EQ(summaryCount("events"), 6);
  EXPECT_GT(appRows("queue"), 0);

  advance(kPastFirstRetry);
  expectEveryEventReceivedOnce();
  EXPECT_GE(summaryCount("duplicates_dropped"), 1);
  EXPECT_EQ(appRows("queue"), 0);
}

TEST_F(UploadEndToEndTest, ConnectionDroppedBeforeStoringIsRetried) {
  launch();
  logNumberedEvents(1, 3);
  ASSERT_TRUE(service_.addFault({{"count", 2}, {"drop", "before_store"}}));
  background();
  EXPECT_EQ(summaryCount("events"), 0);
  EXPECT_GT(appRows("queue"), 0);

  advance(kPastFirstRetry);
  expectEveryEventReceivedOnce();
  EXPECT_EQ(appRows("queue"), 0);
}

TEST_F(UploadEndToEndTest, EventsOfSeveralSessionsArriveOnceAcrossUploads) {
  launch();
  logNumberedEvents(1, 3);
  background();
  foreground();
  logNumberedEvents(4, 3);
  background();
  foreground();
  advance(3600);
  logNumberedEvents(7, 2);
  background();

  expectEveryEventReceivedOnce();
  EXPECT_EQ(appRows("queue"), 0);
  EXPECT_EQ(appRows("raw_events"), 0);
}

TEST_F(UploadEndToEndTest, ExpiredConfigurationIsFetchedFromTheUploadPathFirst) {
  // The service holds a configuration for the app; on the first upload the
  // library has none yet, fetches it, and only then packs and sends.
  std::filesystem::copy_file(FERROLUX_E2E_CONFIG,
                             configFolder_.path() + "/" + kEndToEndAppID + ".pb");
  launch();
  logNumberedEvents(1, 2);
  background();

  expectEveryEventReceivedOnce();
  EXPECT_TRUE(contains(newestBatchText(), "config_version: 77"));
}

TEST_F(UploadEndToEndTest, AppKilledWhileABatchIsInFlightUploadsItAtTheNextStart) {
  launch();
  logNumberedEvents(1, 4);
  // The service holds the request a while, then stores it.
  ASSERT_TRUE(service_.addFault({{"count", 1}, {"delay_ms", 1500}}));
  ASSERT_TRUE(app().resignActive());
  ASSERT_TRUE(app().enterBackground());
  // Run the library until its batch is on the wire (bundles are queued
  // before they are sent), then end the process at once.
  {
    const std::shared_ptr<TLMMeasurement> engine = TLMMeasurement::sharedInstance();
    ASSERT_NE(engine, nullptr);
    while (!(engine->isNetworkRequestPending() && appRows("queue") > 0)) {
      ASSERT_TRUE(platform_.executor().runOneTask()) << "the upload never started";
    }
  }
  platform_.restartAfterCrash();

  // The next process life uploads the same bundles again; whichever copy
  // the service stores second is dropped as a duplicate.
  launch();
  background();
  std::this_thread::sleep_for(std::chrono::milliseconds(2000));
  expectEveryEventReceivedOnce();
  EXPECT_EQ(appRows("queue"), 0);
}

TEST_F(UploadEndToEndTest, TimedOutUploadIsRetriedAndArrivesOnce) {
  // The service answers only after the app has given up on the request;
  // it stores the batch all the same, so the retry is a duplicate.
  TLMMeasurement::TEST_setNetworkTimeout(0.5);
  launch();
  logNumberedEvents(1, 3);
  ASSERT_TRUE(service_.addFault({{"count", 1}, {"delay_ms", 1500}}));
  background();
  EXPECT_GT(appRows("queue"), 0) << "a timed-out upload keeps its bundles";

  std::this_thread::sleep_for(std::chrono::milliseconds(1500));
  advance(kPastFirstRetry);
  TLMMeasurement::TEST_setNetworkTimeout(std::nullopt);
  expectEveryEventReceivedOnce();
  EXPECT_EQ(appRows("queue"), 0);
}
