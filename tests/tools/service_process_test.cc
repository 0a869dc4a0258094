// The service as app developers run it: the real binary on a loopback port,
// driven over HTTP and its command line.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <utime.h>

#include "tools/service_test_support.h"
#include "utilities/HRNGzip.h"

namespace {

class ServiceProcessTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(service_.start()) << readTextFile(service_.logDir() + "/service.err");
  }

  nlohmann::json summary() const { return service_.getJSON("/api/summary"); }

  ServiceUnderTest service_;
};

TEST_F(ServiceProcessTest, StoresBatchesAndListsThemNewestFirst) {
  const httplib::Result first = service_.post(
      batchBody({makeBundle(1, {makeEvent("first_open", 1700000000001, {intParam("_c", 1)})}),
                 makeBundle(2, {makeEvent("level_up", 1700000000002,
                                          {intParam("level", 2), stringParam("hero", "Ada")})})}));
  ASSERT_TRUE(first);
  EXPECT_EQ(first->status, 204);
  TLMPBMeasurementBundle third =
      makeBundle(3, {makeEvent("level_up", 1700000000003, {doubleParam("score", 12.5)})});
  TLMPBUserAttribute attribute;
  attribute.set_name("favourite_food");
  attribute.set_string_value("pizza");
  attribute.set_set_timestamp_millis(1699999999000);
  ASSERT_TRUE(third.add_user_attributes(attribute));
  ASSERT_EQ(service_.post(batchBody({third}))->status, 204);

  EXPECT_EQ(
      summary(),
      nlohmann::json({{"batches", 2}, {"bundles", 3}, {"events", 3}, {"duplicates_dropped", 0}}));

  const nlohmann::json bundles = service_.getJSON("/api/bundles");
  ASSERT_FALSE(bundles.is_discarded());
  EXPECT_EQ(bundles["total"], 3);
  EXPECT_EQ(bundles["page"], 1);
  EXPECT_EQ(bundles["per_page"], 50);
  ASSERT_EQ(bundles["bundles"].size(), 3u);
  const nlohmann::json& newest = bundles["bundles"][0];
  EXPECT_EQ(newest["bundle_index"], 3);
  EXPECT_EQ(newest["batch_id"], 2);
  EXPECT_EQ(newest["app_id"], kServiceAppID);
  EXPECT_EQ(newest["app_instance_id"], "6F1D3C2B9A8E4D7F");
  EXPECT_EQ(newest["start_timestamp_millis"], 1700000003000);
  EXPECT_EQ(newest["end_timestamp_millis"], 1700000003500);
  EXPECT_GT(newest["received_at_millis"].get<std::int64_t>(), 1700000000000);
  EXPECT_EQ(newest["events"], nlohmann::json::array({{{"name", "level_up"},
                                                      {"timestamp_millis", 1700000000003},
                                                      {"params", {{"score", 12.5}}}}}));
  EXPECT_EQ(newest["user_attributes"],
            nlohmann::json::array({{{"name", "favourite_food"},
                                    {"value", "pizza"},
                                    {"set_timestamp_millis", 1699999999000}}}));
  EXPECT_EQ(bundles["bundles"][1]["bundle_index"], 2);
  EXPECT_EQ(bundles["bundles"][1]["events"][0]["params"],
            nlohmann::json({{"level", 2}, {"hero", "Ada"}}));
  EXPECT_EQ(bundles["bundles"][2]["bundle_index"], 1);

  const nlohmann::json events = service_.getJSON("/api/events?per_page=2");
  EXPECT_EQ(events["total"], 3);
  EXPECT_EQ(events["per_page"], 2);
  ASSERT_EQ(events["events"].size(), 2u);
  EXPECT_EQ(events["events"][0]["timestamp_millis"], 1700000000003);
  EXPECT_EQ(events["events"][0]["bundle_id"], newest["id"]);
  EXPECT_EQ(events["events"][1]["timestamp_millis"], 1700000000002);
  const nlohmann::json lastEvents = service_.getJSON("/api/events?page=2&per_page=2");
  ASSERT_EQ(lastEvents["events"].size(), 1u);
  EXPECT_EQ(lastEvents["events"][0]["name"], "first_open");

  const nlohmann::json batches = service_.getJSON("/api/batches");
  ASSERT_TRUE(batches.is_array());
  ASSERT_EQ(batches.size(), 2u);
  EXPECT_EQ(batches[0]["id"], 2);
  EXPECT_EQ(batches[0]["bundle_count"], 1);
  EXPECT_EQ(batches[1]["bundle_count"], 2);

  const httplib::Result raw = service_.get("/api/batches/2/raw");
  ASSERT_TRUE(raw);
  EXPECT_EQ(raw->status, 200);
  EXPECT_EQ(raw->body, batchBody({third}));
  EXPECT_EQ(raw->get_header_value("Content-Type"), "application/octet-stream");
  EXPECT_EQ(service_.get("/api/batches/3/raw")->status, 404);
  EXPECT_EQ(service_.get("/api/batches/99999999999999999999/raw")->status, 404);
}

TEST_F(ServiceProcessTest, PagesBundlesAndBoundsThePageSize) {
  for (int index = 1; index <= 7; ++index) {
    ASSERT_EQ(service_.post(oneEventBatch(index, "e" + std::to_string(index)))->status, 204);
  }
  const nlohmann::json second = service_.getJSON("/api/bundles?page=2&per_page=3");
  EXPECT_EQ(second["total"], 7);
  ASSERT_EQ(second["bundles"].size(), 3u);
  EXPECT_EQ(second["bundles"][0]["bundle_index"], 4);
  EXPECT_EQ(second["bundles"][2]["bundle_index"], 2);
  EXPECT_EQ(second["bundles"][2]["events"][0]["name"], "e2") << "events stay with their bundle";
  const nlohmann::json last = service_.getJSON("/api/bundles?page=3&per_page=3");
  ASSERT_EQ(last["bundles"].size(), 1u);
  EXPECT_EQ(last["bundles"][0]["bundle_index"], 1);
  EXPECT_TRUE(service_.getJSON("/api/bundles?page=4&per_page=3")["bundles"].empty());
  EXPECT_EQ(service_.getJSON("/api/bundles?per_page=100000")["per_page"], 500);
  EXPECT_EQ(service_.get("/api/bundles?page=0")->status, 400);
  EXPECT_EQ(service_.get("/api/bundles?per_page=x")->status, 400);
  EXPECT_EQ(service_.get("/api/events?page=-1")->status, 400);
}

TEST_F(ServiceProcessTest, KeepsARetriedBundleOnce) {
  TLMPBMeasurementBundle bundle = makeBundle(1, {makeEvent("e", 1)});
  ASSERT_EQ(service_.post(batchBody({bundle}))->status, 204);
  bundle.set_upload_timestamp_millis(1700009999999);
  bundle.set_bundle_checksum(424242);
  bundle.set_retry_count(1);
  bundle.set_uploading_library_version(80300);
  const httplib::Result again =
      service_.post(batchBody({bundle, makeBundle(2, {makeEvent("f", 2)})}));
  ASSERT_TRUE(again);
  EXPECT_EQ(again->status, 204);
  EXPECT_EQ(
      summary(),
      nlohmann::json({{"batches", 2}, {"bundles", 2}, {"events", 2}, {"duplicates_dropped", 1}}));
  // All duplicates is still a success for the app.
  EXPECT_EQ(service_.post(batchBody({bundle}))->status, 204);
  EXPECT_EQ(summary()["duplicates_dropped"], 2);
  EXPECT_EQ(summary()["bundles"], 2);
}

TEST_F(ServiceProcessTest, RefusesABodyThatIsNotABatchAndStoresNothing) {
  const httplib::Result result = service_.post("this is not a batch");
  ASSERT_TRUE(result);
  EXPECT_EQ(result->status, 400);
  EXPECT_FALSE(result->body.empty()) << "a reason";
  // A valid bundle followed by a truncated one: all or nothing.
  std::string body = oneEventBatch(1, "e");
  body += std::string("\x0a\x40\x08", 3);
  EXPECT_EQ(service_.post(body)->status, 400);
  EXPECT_EQ(
      summary(),
      nlohmann::json({{"batches", 0}, {"bundles", 0}, {"events", 0}, {"duplicates_dropped", 0}}));
  // The service is still there for good batches.
  EXPECT_EQ(service_.post(oneEventBatch(1, "e"))->status, 204);
}

TEST_F(ServiceProcessTest, AcceptsGzipAndBoundsTheInflatedSize) {
  const std::string body = oneEventBatch(1, "zipped");
  const std::optional<Bytes> gzipped =
      hrn_dataByGzippingData(Bytes(body.begin(), body.end()), nullptr);
  ASSERT_TRUE(gzipped);
  const httplib::Result result =
      service_.post(std::string(gzipped->begin(), gzipped->end()), {{"Content-Encoding", "gzip"}});
  ASSERT_TRUE(result);
  EXPECT_EQ(result->status, 204);
  EXPECT_EQ(service_.getJSON("/api/events")["events"][0]["name"], "zipped");
  const httplib::Result raw = service_.get("/api/batches/1/raw");
  EXPECT_EQ(raw->body, body) << "the batch is kept inflated";

  // 17 MiB of zeros gzip to a few kilobytes.
  const std::optional<Bytes> bomb = hrn_dataByGzippingData(Bytes(17u << 20, 0), nullptr);
  ASSERT_TRUE(bomb);
  const httplib::Result refused =
      service_.post(std::string(bomb->begin(), bomb->end()), {{"Content-Encoding", "gzip"}});
  if (refused) {
    EXPECT_EQ(refused->status, 413);
  }
  EXPECT_EQ(service_.post("not gzip", {{"Content-Encoding", "gzip"}})->status, 400);
  EXPECT_EQ(summary()["batches"], 1);
  EXPECT_EQ(service_.post(oneEventBatch(2, "after"))->status, 204) << "still serving";
}

TEST_F(ServiceProcessTest, RefusesAnOversizedBody) {
  const httplib::Result result = service_.post(std::string((16u << 20) + 1, '\0'));
  if (result) {
    EXPECT_EQ(result->status, 413);
  }
  EXPECT_EQ(summary()["batches"], 0);
}

TEST_F(ServiceProcessTest, ServesConfigurationsWithLastModified) {
  const std::string path = service_.configDir() + "/" + kServiceAppID + ".pb";
  writeTextFile(path, std::string("\x08\x01\x12\x03"
                                  "abc",
                                  7));
  const utimbuf times{1700000000, 1700000000};
  ASSERT_EQ(utime(path.c_str(), &times), 0);

  const std::string url = std::string("/config/app/") + kServiceAppID +
                          "?app_instance_id=x&platform=ios&qvr_version=1&runtime_version=2";
  const httplib::Result fetched = service_.get(url);
  ASSERT_TRUE(fetched);
  EXPECT_EQ(fetched->status, 200);
  EXPECT_EQ(fetched->body, std::string("\x08\x01\x12\x03"
                                       "abc",
                                       7));
  EXPECT_EQ(fetched->get_header_value("Content-Type"), "application/x-protobuf");
  EXPECT_EQ(fetched->get_header_value("Last-Modified"), "Tue, 14 Nov 2023 22:13:20 GMT");

  const httplib::Result same =
      service_.get(url, {{"If-Modified-Since", "Tue, 14 Nov 2023 22:13:20 GMT"}});
  EXPECT_EQ(same->status, 304);
  EXPECT_TRUE(same->body.empty());
  EXPECT_EQ(same->get_header_value("Last-Modified"), "Tue, 14 Nov 2023 22:13:20 GMT")
      << "a 304 without it would make the app forget its date";
  EXPECT_EQ(service_.get(url, {{"If-Modified-Since", "Wed, 15 Nov 2023 00:00:00 GMT"}})->status,
            304);
  EXPECT_EQ(service_.get(url, {{"If-Modified-Since", "Tue, 14 Nov 2023 22:13:19 GMT"}})->status,
            200);
  EXPECT_EQ(service_.get(url, {{"If-Modified-Since", "yesterday"}})->status, 200);

  // The app id arrives percent-encoded.
  EXPECT_EQ(service_.get("/config/app/1%3A1234567890%3Aios%3A0123456789abcdef")->status, 200);
  EXPECT_EQ(service_.get("/config/app/1:1234567890:ios:fedcba9876543210")->status, 404);

  writeTextFile(service_.dataDir() + "/../secret.pb", "secret");
  writeTextFile(service_.configDir() + "/sub/x.pb", "nested");
  for (const char* escape : {"/config/app/..%2Fsecret", "/config/app/%2E%2E/secret",
                             "/config/app/sub%2Fx", "/config/app/..", "/config/app/"}) {
    const httplib::Result result = service_.get(escape);
    ASSERT_TRUE(result) << escape;
    EXPECT_EQ(result->status, 404) << escape;
  }
}

TEST_F(ServiceProcessTest, StatusFaultsAnswerWithoutStoringThenRunOut) {
  ASSERT_TRUE(service_.addFault({{"count", 2}, {"status", 503}}));
  ASSERT_TRUE(service_.addFault({{"count", 1}, {"status", 500}}));
  EXPECT_EQ(service_.getJSON("/api/faults")["faults"],
            nlohmann::json::array({{{"count", 2}, {"status", 503}, {"path", "/a"}},
                                   {{"count", 1}, {"status", 500}, {"path", "/a"}}}));
  EXPECT_EQ(service_.post(oneEventBatch(1, "a"))->status, 503);
  EXPECT_EQ(service_.post(oneEventBatch(1, "a"))->status, 503);
  EXPECT_EQ(service_.post(oneEventBatch(1, "a"))->status, 500);
  EXPECT_EQ(summary()["batches"], 0);
  EXPECT_EQ(service_.post(oneEventBatch(1, "a"))->status, 204);
  EXPECT_EQ(summary()["bundles"], 1);
  EXPECT_TRUE(service_.getJSON("/api/faults")["faults"].empty());
}

TEST_F(ServiceProcessTest, FaultsForConfigurationsLeaveUploadsAlone) {
  writeTextFile(service_.configDir() + "/app.pb", "x");
  ASSERT_TRUE(service_.addFault({{"count", 1}, {"status", 429}, {"path", "/config"}}));
  EXPECT_EQ(service_.post(oneEventBatch(1, "a"))->status, 204);
  EXPECT_EQ(service_.get("/config/app/app")->status, 429);
  EXPECT_EQ(service_.get("/config/app/app")->status, 200);

  ASSERT_TRUE(service_.addFault({{"count", 1}, {"drop", "before_store"}, {"path", "/config"}}));
  EXPECT_FALSE(service_.get("/config/app/app")) << "no answer at all";
  EXPECT_EQ(service_.get("/config/app/app")->status, 200);
}

TEST_F(ServiceProcessTest, DelayFaultsAnswerLateButHandleNormally) {
  ASSERT_TRUE(service_.addFault({{"count", 1}, {"delay_ms", 700}}));
  const auto started = std::chrono::steady_clock::now();
  const httplib::Result result = service_.post(oneEventBatch(1, "late"));
  const auto elapsed = std::chrono::steady_clock::now() - started;
  ASSERT_TRUE(result);
  EXPECT_EQ(result->status, 204);
  EXPECT_GE(elapsed, std::chrono::milliseconds(700));
  EXPECT_EQ(summary()["bundles"], 1);
}

TEST_F(ServiceProcessTest, DropFaultsCloseTheConnectionBeforeOrAfterStoring) {
  ASSERT_TRUE(service_.addFault({{"count", 1}, {"drop", "before_store"}}));
  ASSERT_TRUE(service_.addFault({{"count", 1}, {"drop", "after_store"}}));
  const httplib::Result before = service_.post(oneEventBatch(1, "before"));
  EXPECT_FALSE(before) << "status " << (before ? before->status : 0);
  EXPECT_EQ(summary()["bundles"], 0);

  const httplib::Result after = service_.post(oneEventBatch(2, "after"));
  EXPECT_FALSE(after) << "status " << (after ? after->status : 0);
  EXPECT_EQ(summary()["bundles"], 1) << "after_store keeps what it received";
  EXPECT_EQ(service_.getJSON("/api/events")["events"][0]["name"], "after");

  // The app retries the same bundle: stored once.
  EXPECT_EQ(service_.post(oneEventBatch(2, "after"))->status, 204);
  EXPECT_EQ(summary()["duplicates_dropped"], 1);
}

TEST_F(ServiceProcessTest, FaultRequestsAreCheckedAndClearable) {
  httplib::Client client = service_.client();
  EXPECT_EQ(client.Post("/api/faults", "not json", "application/json")->status, 400);
  EXPECT_EQ(client.Post("/api/faults", R"({"count":1})", "application/json")->status, 400);
  EXPECT_EQ(client.Post("/api/faults", R"({"count":1,"drop":"maybe"})", "application/json")->status,
            400);
  ASSERT_TRUE(service_.addFault({{"count", 3}, {"status", 500}}));
  const httplib::Result cleared = client.Delete("/api/faults");
  ASSERT_TRUE(cleared);
  EXPECT_EQ(cleared->status, 200);
  EXPECT_EQ(nlohmann::json::parse(cleared->body)["faults"], nlohmann::json::array());
  EXPECT_EQ(service_.post(oneEventBatch(1, "a"))->status, 204);
}

TEST_F(ServiceProcessTest, PageEscapesWhatABundlePosted) {
  ASSERT_EQ(service_
                .post(batchBody({makeBundle(
                    1,
                    {makeEvent("<script>alert(1)</script>", 1,
                               {stringParam("<img src=x onerror=alert(2)>", "\"><b>bold</b>")})},
                    "<i>app</i>")}))
                ->status,
            204);
  const httplib::Result page = service_.get("/");
  ASSERT_TRUE(page);
  EXPECT_EQ(page->status, 200);
  EXPECT_EQ(page->get_header_value("Content-Type"), "text/html; charset=utf-8");
  EXPECT_EQ(page->body.find("<script>alert"), std::string::npos);
  EXPECT_EQ(page->body.find("<img"), std::string::npos);
  EXPECT_EQ(page->body.find("<b>bold"), std::string::npos);
  EXPECT_EQ(page->body.find("<i>app"), std::string::npos);
  EXPECT_NE(page->body.find("&lt;script&gt;alert(1)&lt;/script&gt;"), std::string::npos);
  EXPECT_NE(page->body.find("&lt;i&gt;app&lt;/i&gt;"), std::string::npos);
}

TEST_F(ServiceProcessTest, CompressedBodiesAreOnlyForUploads) {
  const httplib::Result result = service_.client().Post(
      "/api/faults", {{"Content-Encoding", "gzip"}}, "{}", "application/json");
  ASSERT_TRUE(result);
  EXPECT_EQ(result->status, 415);
}

TEST_F(ServiceProcessTest, RestartKeepsTheDataAndPrintShowsIt) {
  TLMPBMeasurementBundle bundle = makeBundle(
      5,
      {makeEvent("level_up", 1700000000005, {intParam("level", 7), stringParam("hero", "Ada")})});
  TLMPBUserAttribute attribute;
  attribute.set_name("plan");
  attribute.set_int_value(3);
  ASSERT_TRUE(bundle.add_user_attributes(attribute));
  ASSERT_EQ(service_.post(batchBody({bundle})).value().status, 204);
  ASSERT_EQ(service_.post(oneEventBatch(6, "newest\x1b[2J")).value().status, 204);
  EXPECT_EQ(service_.stop(SIGINT), 0) << "SIGINT stops cleanly";

  const ServiceRunResult printed =
      runServiceCommand({"--data", service_.dataDir(), "--print", "--limit", "1"});
  EXPECT_EQ(printed.exitStatus, 0) << printed.errors;
  EXPECT_NE(printed.output.find("batches: 2\nbundles: 2\nevents: 2\nduplicates dropped: 0\n"),
            std::string::npos)
      << printed.output;
  EXPECT_NE(printed.output.find("newest\\x1b[2J"), std::string::npos) << "no raw escape";
  EXPECT_EQ(printed.output.find("level_up"), std::string::npos) << "--limit 1: newest only";

  const ServiceRunResult all = runServiceCommand({"--data", service_.dataDir(), "--print"});
  EXPECT_EQ(all.exitStatus, 0);
  const std::size_t newest = all.output.find("newest");
  const std::size_t older = all.output.find("  app id: " + std::string(kServiceAppID));
  EXPECT_LT(newest, all.output.find("level_up")) << "newest first";
  EXPECT_NE(older, std::string::npos);
  EXPECT_NE(all.output.find("  bundle index: 5\n"), std::string::npos);
  EXPECT_NE(all.output.find("      level = 7\n"), std::string::npos) << all.output;
  EXPECT_NE(all.output.find("      hero = \"Ada\"\n"), std::string::npos);
  EXPECT_NE(all.output.find("    plan = 3"), std::string::npos);

  ASSERT_TRUE(service_.start());
  EXPECT_EQ(service_.getJSON("/api/summary")["bundles"], 2);
  EXPECT_EQ(service_.post(batchBody({bundle}))->status, 204);
  EXPECT_EQ(service_.getJSON("/api/summary")["duplicates_dropped"], 1)
      << "identity keys survive the restart";
  EXPECT_EQ(service_.stop(), 0) << "SIGTERM stops cleanly";
}

TEST(ServiceCommandLineTest, BadArgumentsExitWithUsage) {
  for (const std::vector<std::string>& arguments :
       std::vector<std::vector<std::string>>{{"--host", "0.0.0.0"},
                                             {"--port", "70000"},
                                             {"--frobnicate"},
                                             {"--print", "--port", "0"}}) {
    const ServiceRunResult result = runServiceCommand(arguments);
    EXPECT_EQ(result.exitStatus, 2) << arguments[0];
    EXPECT_NE(result.errors.find("usage: ferrolux-service"), std::string::npos);
  }
}

TEST(ServiceCommandLineTest, PrintWithoutAStoreFailsAndCreatesNothing) {
  TempFolder folder;
  const ServiceRunResult result = runServiceCommand({"--data", folder / "missing", "--print"});
  EXPECT_EQ(result.exitStatus, 1);
  EXPECT_FALSE(std::filesystem::exists(folder / "missing"));
}

TEST(ServiceCommandLineTest, ListensOnLoopbackAndAnnouncesIt) {
  ServiceUnderTest service;
  ASSERT_TRUE(service.start());
  EXPECT_NE(service.output().find("ferrolux-service listening on http://127.0.0.1:" +
                                  std::to_string(service.port()) + "\n"),
            std::string::npos)
      << service.output();
  // A second service on the same port cannot start.
  const ServiceRunResult taken =
      runServiceCommand({"--port", std::to_string(service.port()), "--data", service.dataDir()});
  EXPECT_EQ(taken.exitStatus, 1);
  EXPECT_EQ(service.stop(), 0);
}

}  // namespace
