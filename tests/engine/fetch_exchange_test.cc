// The fetch exchange: the request sent, and what each response status (or
// no response at all) does to the stored times, the "Last-Modified" string,
// the configuration in force and the upload schedule.
#include "engine/fetch_test_support.h"

namespace {

using FetchRequest = FetchTest;
using FetchResponse = FetchTest;
using FetchFailure = FetchTest;

TEST_F(FetchRequest, CarriesTheAppIDPathAndTheFourParameters) {
  setReply(404);
  fetch();
  const auto served = requests();
  ASSERT_EQ(served.size(), 1u);
  EXPECT_EQ(served[0].path, std::string("/config/app/") + kFetchAppID);
  const std::multimap<std::string, std::string> expected = {
      {"app_instance_id", kFetchAppInstanceID},
      {"platform", "ios"},
      {"qvr_version", "80300000"},
      {"runtime_version", "0"}};
  EXPECT_EQ(served[0].params, expected);
  EXPECT_FALSE(served[0].ifModifiedSince.has_value());
  EXPECT_EQ(reportedCodes(), (std::vector<long>{kTLMFetchCodeFetching, kTLMFetchCodeFetched,
                                                kTLMFetchCodeNotFound}));
}

TEST_F(FetchRequest, WithAnalyticsStorageDeniedGoesOutWithAnEmptyAppInstanceID) {
  analyticsStorageDenied_ = true;
  setReply(404);
  fetch();
  const auto served = requests();
  ASSERT_EQ(served.size(), 1u);
  ASSERT_EQ(served[0].params.count("app_instance_id"), 1u);
  EXPECT_EQ(served[0].params.find("app_instance_id")->second, "");
}

TEST_F(FetchRequest, WithoutAppInstanceIDIsNotSent) {
  appInstanceID_ = std::nullopt;
  fetch();
  EXPECT_TRUE(requests().empty());
  EXPECT_EQ(reportedCodes(), (std::vector<long>{kTLMFetchCodeInvalidURL}));
  EXPECT_EQ(reports_[0].level, 2);
  EXPECT_EQ(reports_[0].message, "Invalid server URL to get configuration");
}

TEST_F(FetchRequest, WithoutServiceAddressIsNotSentAndSaysWhy) {
  auto engine = makeEngine(std::string());
  ASSERT_NE(engine, nullptr);
  fetch(engine);
  EXPECT_TRUE(requests().empty());
  EXPECT_EQ(reportedCodes(), (std::vector<long>{29011, kTLMFetchCodeInvalidURL}));
  EXPECT_EQ(reports_[0].level, 1);
  // A public host over plain http is no address either.
  auto insecure = makeEngine(std::string("http://config.example.com"));
  fetch(insecure);
  EXPECT_TRUE(requests().empty());
  ASSERT_EQ(reportedCodes(), (std::vector<long>{29011, kTLMFetchCodeInvalidURL}));
  EXPECT_NE(reports_[0].contexts.at(0).stringValue().find("loopback"), std::string::npos);
}

TEST_F(FetchRequest, WhilePendingASecondFetchIsIgnored) {
  Gate gate;
  setReply(404, "", std::nullopt, &gate);
  reports_.clear();
  worker_->async([this] {
    engine_->fetchRemoteConfig();
    EXPECT_TRUE(engine_->isNetworkRequestPending());
    engine_->fetchRemoteConfig();
  });
  // Both calls ran before the reply may leave the server.
  std::thread opener([&] {
    gate.waitEntered(10);
    gate.open();
  });
  platform_.executor().runUntilIdle(20.0);
  opener.join();
  EXPECT_EQ(requests().size(), 1u);
  EXPECT_FALSE(engine_->isNetworkRequestPending());
  ASSERT_NE(reportWithCode(kTLMFetchCodeRequestPending), nullptr);
  EXPECT_EQ(reportWithCode(kTLMFetchCodeRequestPending)->level, 8);
  EXPECT_EQ(uploadOrAlarmCalls_, 1);
}

TEST_F(FetchResponse, OKAppliesTheConfigurationWithItsAudiences) {
  persistedConfig_->setLastFailedUploadTimestamp(kNow - 50);
  persistedConfig_->setLastBackoffTimestamp(kNow - 40);
  setReply(200, asText(fixtureBytes("fetch_config")), std::string(kLastModified));
  fetch();
  EXPECT_EQ(reportedCodes(), (std::vector<long>{kTLMFetchCodeFetching, kTLMFetchCodeFetched,
                                                kTLMFetchCodeFetchedSuccessfully}));
  const FetchReport* success = reportWithCode(kTLMFetchCodeFetchedSuccessfully);
  EXPECT_EQ(success->contexts.at(0).stringValue(), "200");
  EXPECT_EQ(success->contexts.at(1).stringValue(),
            std::to_string(fixtureBytes("fetch_config").size()));
  EXPECT_EQ(remoteConfig_->version(), 42);
  EXPECT_EQ(remoteConfig_->uploadingInterval(), 60.0);
  EXPECT_EQ(remoteConfig_->samplingRateForEvent("level_up"), 10);
  ASSERT_EQ(receivedAudiences_.size(), 1u);
  ASSERT_EQ(receivedAudiences_[0].size(), 2u);
  EXPECT_EQ(receivedAudiences_[0][0].audience_id(), 7);
  EXPECT_EQ(receivedAudiences_[0][1].audience_id(), 8);
  const auto stored = storedConfig();
  ASSERT_TRUE(stored.has_value());
  EXPECT_EQ(stored->version(), 42);
  EXPECT_EQ(stored->audiences_size(), 0u);
  EXPECT_EQ(lastFetchTime(), kNow);
  EXPECT_EQ(storedLastModified(), kLastModified);
  EXPECT_EQ(persistedConfig_->lastFailedUploadTimestamp(), 0.0);
  EXPECT_EQ(persistedConfig_->lastBackoffTimestamp(), 0.0);
  EXPECT_EQ(uploadOrAlarmCalls_, 1);
  EXPECT_EQ(updateScheduleCalls_, 0);
  EXPECT_EQ(engine_->suspendedUploadTimestamp(), 0.0);
  worker_->sync([&] { EXPECT_FALSE(remoteConfig_->isExpired()); });
}

TEST_F(FetchResponse, OKWithEmptyBodyUpdatesOnlyTheFetchTime) {
  setReply(200);
  fetch();
  EXPECT_EQ(lastFetchTime(), kNow);
  EXPECT_EQ(remoteConfig_->version(), -1);
  EXPECT_FALSE(storedConfig().has_value());
  EXPECT_TRUE(receivedAudiences_.empty());
  EXPECT_EQ(uploadOrAlarmCalls_, 1);
}

TEST_F(FetchResponse, NotModifiedKeepsTheConfigurationAndFollowsLastModified) {
  setReply(200, asText(fixtureBytes("fetch_config")), std::string(kLastModified));
  fetch();
  ASSERT_EQ(remoteConfig_->version(), 42);

  clock().setNow(kNow + 4000);
  setReply(304, "", std::string("Thu, 22 Oct 2026 08:00:00 GMT"));
  fetch();
  ASSERT_EQ(requests().size(), 2u);
  EXPECT_EQ(requests()[1].ifModifiedSince, kLastModified);
  EXPECT_EQ(storedLastModified(), "Thu, 22 Oct 2026 08:00:00 GMT");
  EXPECT_EQ(lastFetchTime(), kNow + 4000);
  ASSERT_NE(reportWithCode(kTLMFetchCodeNotModified), nullptr);
  EXPECT_EQ(reportWithCode(kTLMFetchCodeNotModified)->level, 8);

  // Without the header the stored string goes, and with it the condition.
  setReply(304);
  fetch();
  EXPECT_EQ(requests()[2].ifModifiedSince, "Thu, 22 Oct 2026 08:00:00 GMT");
  EXPECT_FALSE(storedLastModified().has_value());
  setReply(304);
  fetch();
  EXPECT_FALSE(requests()[3].ifModifiedSince.has_value());
  EXPECT_EQ(remoteConfig_->version(), 42);
  EXPECT_EQ(remoteConfig_->uploadingInterval(), 60.0);
  EXPECT_EQ(storedConfig()->version(), 42);
  EXPECT_EQ(uploadOrAlarmCalls_, 4);
}

TEST_F(FetchRequest, StoredLastModifiedWithALineBreakIsNotSent) {
  persistedConfig_->setConfigServerLastModifiedString(std::string("Wed,\r\nX-Injected: 1"));
  setReply(304, "", std::string(kLastModified));
  fetch();
  ASSERT_EQ(requests().size(), 1u);
  EXPECT_FALSE(requests()[0].ifModifiedSince.has_value());
  EXPECT_EQ(storedLastModified(), kLastModified);
}

TEST_F(FetchResponse, NotFoundCountsAsASuccessfulFetch) {
  persistedConfig_->setLastFailedUploadTimestamp(kNow - 50);
  setReply(404, "not here");
  fetch();
  const FetchReport* notFound = reportWithCode(kTLMFetchCodeNotFound);
  ASSERT_NE(notFound, nullptr);
  EXPECT_EQ(notFound->level, 3);
  EXPECT_EQ(notFound->message, "Configuration not found. Using default configuration");
  EXPECT_EQ(lastFetchTime(), kNow);
  EXPECT_EQ(persistedConfig_->lastFailedUploadTimestamp(), 0.0);
  EXPECT_EQ(remoteConfig_->version(), -1);
  // No new fetch is due until the cache time has run out.
  clock().setNow(kNow + 3599);
  worker_->sync([&] { EXPECT_FALSE(remoteConfig_->isExpired()); });
  clock().setNow(kNow + 3600);
  worker_->sync([&] { EXPECT_TRUE(remoteConfig_->isExpired()); });
}

TEST_F(FetchFailure, ServerErrorSetsTheFailedUploadTimeOnly) {
  setReply(200, asText(fixtureBytes("fetch_config")));
  fetch();
  clock().setNow(kNow + 100);
  persistedConfig_->setConfigServerLastModifiedString(std::string(kLastModified));
  setReply(500, asText(fixtureBytes("fetch_config_other_app")));
  fetch();
  EXPECT_EQ(reportedCodes(),
            (std::vector<long>{kTLMFetchCodeFetching, kTLMFetchCodeFetched,
                               kTLMFetchCodeRequestFailed, kTLMFetchCodeWillRetry}));
  EXPECT_EQ(reportWithCode(kTLMFetchCodeRequestFailed)->level, 3);
  EXPECT_EQ(reportWithCode(kTLMFetchCodeRequestFailed)->contexts.at(0).stringValue(), "500");
  EXPECT_EQ(persistedConfig_->lastFailedUploadTimestamp(), kNow + 100);
  EXPECT_EQ(persistedConfig_->lastBackoffTimestamp(), 0.0);
  EXPECT_EQ(lastFetchTime(), kNow);
  EXPECT_EQ(storedLastModified(), kLastModified);
  EXPECT_EQ(remoteConfig_->version(), 42);
  EXPECT_EQ(updateScheduleCalls_, 1);
  EXPECT_EQ(uploadOrAlarmCalls_, 1);
}

TEST_F(FetchFailure, BackoffStatusesSetBothTimes) {
  for (int status :
       {kHRNNetworkHTTPStatusCodeUnavailable, kHRNNetworkHTTPStatusCodeCannotAcceptTraffic}) {
    SCOPED_TRACE(status);
    persistedConfig_->setLastFailedUploadTimestamp(0);
    persistedConfig_->setLastBackoffTimestamp(0);
    clock().setNow(kNow + status);
    setReply(status);
    fetch();
    EXPECT_EQ(persistedConfig_->lastFailedUploadTimestamp(), kNow + status);
    EXPECT_EQ(persistedConfig_->lastBackoffTimestamp(), kNow + status);
    EXPECT_FALSE(lastFetchTime().value_or(0) > 0);
  }
  EXPECT_EQ(updateScheduleCalls_, 2);
  EXPECT_EQ(uploadOrAlarmCalls_, 0);
}

TEST_F(FetchFailure, ConnectionDroppedMidBodyChangesNoConfiguration) {
  RawReplyServer dropping(
      "HTTP/1.1 200 OK\r\nContent-Length: 1000\r\nLast-Modified: x\r\n\r\npartial body");
  auto engine = makeEngine(dropping.url(""));
  fetch(engine);
  EXPECT_EQ(reportedCodes(),
            (std::vector<long>{kTLMFetchCodeFetching, kTLMFetchCodeFetched,
                               kTLMFetchCodeRequestFailed, kTLMFetchCodeWillRetry}));
  EXPECT_TRUE(reportWithCode(kTLMFetchCodeFetched)->contexts.at(0).isNull());
  EXPECT_EQ(persistedConfig_->lastFailedUploadTimestamp(), kNow);
  EXPECT_EQ(persistedConfig_->lastBackoffTimestamp(), 0.0);
  EXPECT_FALSE(storedLastModified().has_value());
  EXPECT_EQ(remoteConfig_->version(), -1);
  EXPECT_FALSE(lastFetchTime().value_or(0) > 0);
}

TEST_F(FetchFailure, ServiceThatNeverAnswersTimesOut) {
  Gate gate;
  setReply(200, asText(fixtureBytes("fetch_config")), std::nullopt, &gate);
  networkTimeout_ = 0.3;
  fetch();
  gate.open();
  const FetchReport* failed = reportWithCode(kTLMFetchCodeRequestFailed);
  ASSERT_NE(failed, nullptr);
  EXPECT_TRUE(failed->contexts.at(0).isNull());
  ASSERT_NE(failed->contexts.at(1).asError(), nullptr);
  EXPECT_EQ(persistedConfig_->lastFailedUploadTimestamp(), kNow);
  EXPECT_EQ(remoteConfig_->version(), -1);
  EXPECT_EQ(network_->timeoutInterval(), 0.3);
  EXPECT_EQ(updateScheduleCalls_, 1);
}

TEST_F(FetchFailure, ALateCompletionAfterTheEngineIsGoneIsDropped) {
  Gate gate;
  setReply(200, asText(fixtureBytes("fetch_config")), std::nullopt, &gate);
  worker_->sync([this] { engine_->fetchRemoteConfig(); });
  ASSERT_TRUE(gate.waitEntered(10));
  engine_.reset();
  gate.open();
  platform_.executor().runUntilIdle(20.0);
  EXPECT_EQ(remoteConfig_->version(), -1);
  EXPECT_FALSE(lastFetchTime().value_or(0) > 0);
  EXPECT_EQ(uploadOrAlarmCalls_, 0);
}

}  // namespace
