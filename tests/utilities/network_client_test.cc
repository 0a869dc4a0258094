// HRNNetwork against a real loopback server: responses, bodies, statuses,
// identifiers, the in-progress flag, logging and the production executor.
#include <gtest/gtest.h>

#include <cmath>
#include <future>
#include <set>
#include <vector>

#include "platform/Executor.h"
#include "tests/utilities/network_test_support.h"

namespace {

class RecordingLogger : public HRNNetworkLoggerDelegate {
 public:
  struct Entry {
    int level;
    long code;
    std::string message;
    std::size_t contextCount;
  };

  void HRNNetwork_logWithLevel(int level, long code, const std::string& message) override {
    record(level, code, message, 0);
  }
  void HRNNetwork_logWithLevel(int level, long code, const std::string& message,
                               const OptionalObject& context) override {
    record(level, code, message, context ? 1 : 0);
  }
  void HRNNetwork_logWithLevel(int level, long code, const std::string& message,
                               const ObjectArray& contexts) override {
    record(level, code, message, contexts.size());
  }

  std::vector<Entry> entries() {
    std::lock_guard<std::mutex> lock(mutex_);
    return entries_;
  }
  std::vector<long> codes() {
    std::vector<long> result;
    for (const Entry& entry : entries()) result.push_back(entry.code);
    return result;
  }

 private:
  void record(int level, long code, const std::string& message, std::size_t contexts) {
    std::lock_guard<std::mutex> lock(mutex_);
    entries_.push_back({level, code, message, contexts});
  }
  std::mutex mutex_;
  std::vector<Entry> entries_;
};

Bytes everyByteValue(std::size_t length) {
  Bytes bytes(length);
  for (std::size_t i = 0; i < length; ++i)
    bytes[i] = static_cast<std::uint8_t>((i * 7 + i / 256) & 0xFF);
  return bytes;
}

class NetworkClientTest : public DeterministicNetworkTest {};

TEST_F(NetworkClientTest, GetDeliversStatusHeadersBodyAndLengthOnTheQueue) {
  LoopbackServer server;
  std::string seenModifiedSince;
  std::string seenUserAgent;
  const std::string body("config\0bytes\xff", 13);
  server.server().Get("/config", [&](const httplib::Request& request, httplib::Response& response) {
    seenModifiedSince = request.get_header_value("If-Modified-Since");
    seenUserAgent = request.get_header_value("User-Agent");
    response.set_header("X-Config-Version", "v7");
    response.set_header("Last-Modified", "Wed, 21 Oct 2015 07:28:00 GMT");
    response.set_content(body, "application/x-protobuf");
  });
  server.start();

  RecordedOutcome outcome;
  std::string identifier = network_->getURL(
      server.url("/config"), {{"If-Modified-Since", "Tue, 20 Oct 2015 07:28:00 GMT"}}, queue_,
      false, outcome.handler(queue_));
  EXPECT_FALSE(identifier.empty());
  runUntilIdle();

  ASSERT_EQ(outcome.calls, 1);
  EXPECT_TRUE(outcome.ranOnQueue);
  EXPECT_EQ(outcome.queueLabel, "test.network");
  EXPECT_FALSE(outcome.error.has_value());
  ASSERT_TRUE(outcome.response.has_value());
  EXPECT_EQ(outcome.response->statusCode(), kHRNNetworkHTTPStatusOK);
  EXPECT_EQ(outcome.response->valueForHTTPHeaderField("x-config-version"), "v7");
  EXPECT_EQ(outcome.response->valueForHTTPHeaderField("LAST-MODIFIED"),
            "Wed, 21 Oct 2015 07:28:00 GMT");
  EXPECT_FALSE(outcome.response->valueForHTTPHeaderField("X-Absent").has_value());
  EXPECT_EQ(outcome.response->expectedContentLength(), 13);
  EXPECT_EQ(outcome.body, bytesOf(body));
  EXPECT_EQ(seenModifiedSince, "Tue, 20 Oct 2015 07:28:00 GMT");
  EXPECT_EQ(seenUserAgent.rfind(kHRNNetworkUserAgentProduct, 0), 0u) << seenUserAgent;
}

TEST_F(NetworkClientTest, PostSendsThePayloadByteExact) {
  LoopbackServer server;
  std::string received;
  std::string method;
  server.server().Post("/a", [&](const httplib::Request& request, httplib::Response& response) {
    received = request.body;
    method = request.method;
    response.status = kHRNNetworkHTTPStatusNoContent;
  });
  server.start();

  // Large enough that curl would otherwise wait for "100 Continue".
  const Bytes payload = everyByteValue(1500 * 1024);
  RecordedOutcome outcome;
  EXPECT_FALSE(
      network_->postURL(server.url("/a"), payload, queue_, true, outcome.handler(queue_)).empty());
  runUntilIdle();

  ASSERT_EQ(outcome.calls, 1);
  EXPECT_TRUE(outcome.ranOnQueue);
  ASSERT_TRUE(outcome.response.has_value());
  EXPECT_EQ(outcome.response->statusCode(), kHRNNetworkHTTPStatusNoContent);
  EXPECT_EQ(method, "POST");
  EXPECT_EQ(Bytes(received.begin(), received.end()), payload);

  // An empty payload is an empty body, not a read from stdin.
  RecordedOutcome empty;
  EXPECT_FALSE(
      network_->postURL(server.url("/a"), {}, queue_, false, empty.handler(queue_)).empty());
  runUntilIdle();
  ASSERT_EQ(empty.calls, 1);
  EXPECT_TRUE(received.empty());
}

TEST_F(NetworkClientTest, ErrorStatusesArriveAsResponsesWithoutError) {
  LoopbackServer server;
  server.server().Get(R"(/status/(\d+))",
                      [](const httplib::Request& request, httplib::Response& response) {
                        response.status = std::stoi(request.matches[1]);
                        if (response.status != 204 && response.status != 304) {
                          response.set_content("status body", "text/plain");
                        }
                      });
  server.start();

  for (int status : {kHRNNetworkHTTPStatusNoContent, kHRNNetworkHTTPStatusCodeNotModified,
                     kHRNNetworkHTTPStatusCodeNotFound, 500, kHRNNetworkHTTPStatusCodeUnavailable,
                     kHRNNetworkHTTPStatusCodeCannotAcceptTraffic}) {
    SCOPED_TRACE(status);
    RecordedOutcome outcome;
    EXPECT_FALSE(network_
                     ->getURL(server.url("/status/" + std::to_string(status)), {}, queue_, false,
                              outcome.handler(queue_))
                     .empty());
    runUntilIdle();
    ASSERT_EQ(outcome.calls, 1);
    EXPECT_TRUE(outcome.ranOnQueue);
    EXPECT_FALSE(outcome.error.has_value());
    ASSERT_TRUE(outcome.response.has_value());
    EXPECT_EQ(outcome.response->statusCode(), status);
    if (status == 500) {
      EXPECT_EQ(outcome.body, bytesOf("status body"));
      EXPECT_EQ(outcome.response->expectedContentLength(), 11);
    }
  }
}

TEST_F(NetworkClientTest, RedirectsAreDeliveredNotFollowed) {
  LoopbackServer server;
  int targetHits = 0;
  server.server().Get("/moved", [](const httplib::Request&, httplib::Response& response) {
    response.set_redirect("/target", 302);
  });
  server.server().Get("/target",
                      [&](const httplib::Request&, httplib::Response&) { ++targetHits; });
  server.start();

  RecordedOutcome outcome;
  EXPECT_FALSE(
      network_->getURL(server.url("/moved"), {}, queue_, false, outcome.handler(queue_)).empty());
  runUntilIdle();
  ASSERT_EQ(outcome.calls, 1);
  ASSERT_TRUE(outcome.response.has_value());
  EXPECT_EQ(outcome.response->statusCode(), 302);
  EXPECT_EQ(outcome.response->valueForHTTPHeaderField("location"), "/target");
  EXPECT_EQ(targetHits, 0);
}

TEST_F(NetworkClientTest, UploadInProgressUntilJustBeforeTheCompletion) {
  LoopbackServer server;
  Gate gate;
  server.server().Post("/a", [&](const httplib::Request&, httplib::Response& response) {
    gate.waitOpen(10);
    response.status = 200;
  });
  server.start();

  EXPECT_FALSE(network_->hasUploadInProgress());
  RecordedOutcome outcome;
  EXPECT_FALSE(network_
                   ->postURL(server.url("/a"), bytesOf("x"), queue_, false,
                             outcome.handler(queue_, network_))
                   .empty());
  EXPECT_TRUE(network_->hasUploadInProgress());
  ASSERT_TRUE(gate.waitEntered(10));
  EXPECT_TRUE(network_->hasUploadInProgress());
  gate.open();
  runUntilIdle();

  ASSERT_EQ(outcome.calls, 1);
  // A caller that starts the next upload from its completion must not be
  // told that one is still running.
  EXPECT_FALSE(outcome.uploadInProgressDuringCompletion);
  EXPECT_FALSE(network_->hasUploadInProgress());
}

TEST_F(NetworkClientTest, ConcurrentRequestsGetDistinctIdentifiersAndOneCompletionEach) {
  LoopbackServer server;
  server.server().Get(
      R"(/item/(\d+))", [](const httplib::Request& request, httplib::Response& response) {
        response.set_content("item " + std::string(request.matches[1]), "text/plain");
      });
  server.start();

  constexpr int kCount = 5;
  std::vector<std::unique_ptr<RecordedOutcome>> outcomes;
  std::set<std::string> identifiers;
  for (int i = 0; i < kCount; ++i) {
    outcomes.push_back(std::make_unique<RecordedOutcome>());
    std::string id = network_->getURL(server.url("/item/" + std::to_string(i)), {}, queue_, false,
                                      outcomes.back()->handler(queue_));
    EXPECT_FALSE(id.empty());
    identifiers.insert(id);
  }
  EXPECT_EQ(identifiers.size(), static_cast<std::size_t>(kCount));
  runUntilIdle();
  for (int i = 0; i < kCount; ++i) {
    EXPECT_EQ(outcomes[i]->calls, 1);
    EXPECT_TRUE(outcomes[i]->ranOnQueue);
    EXPECT_EQ(outcomes[i]->body, bytesOf("item " + std::to_string(i)));
  }
  EXPECT_FALSE(network_->hasUploadInProgress());
}

TEST_F(NetworkClientTest, ReportsStartOutcomeAndRefusalsThroughTheLogger) {
  LoopbackServer server;
  server.server().Get("/ok", [](const httplib::Request&, httplib::Response& r) { r.status = 200; });
  server.server().Get("/fail",
                      [](const httplib::Request&, httplib::Response& r) { r.status = 500; });
  server.start();
  auto logger = std::make_shared<RecordingLogger>();
  network_->setLoggerDelegate(logger);

  // Without debug mode a successful request is silent.
  RecordedOutcome quiet;
  (void)network_->getURL(server.url("/ok"), {}, queue_, false, quiet.handler(queue_));
  runUntilIdle();
  EXPECT_TRUE(logger->entries().empty());

  network_->setIsDebugModeEnabled(true);
  RecordedOutcome ok;
  (void)network_->getURL(server.url("/ok"), {}, queue_, false, ok.handler(queue_));
  runUntilIdle();
  EXPECT_EQ(logger->codes(), (std::vector<long>{kHRNNetworkMessageCodeRequestStarted,
                                                kHRNNetworkMessageCodeRequestFinished}));

  network_->setIsDebugModeEnabled(false);
  RecordedOutcome failed;
  (void)network_->getURL(server.url("/fail"), {}, queue_, false, failed.handler(queue_));
  RecordedOutcome refused;
  (void)network_->getURL("http://example.com/x", {}, queue_, false, refused.handler(queue_));
  runUntilIdle();
  auto entries = logger->entries();
  ASSERT_EQ(entries.size(), 4u);
  // The refusal is logged at once, the status when the outcome arrives.
  EXPECT_EQ(entries[2].code, kHRNNetworkMessageCodeInsecureURL);
  EXPECT_EQ(entries[2].level, 3);
  EXPECT_EQ(entries[3].code, kHRNNetworkMessageCodeHTTPErrorStatus);
  EXPECT_EQ(entries[3].level, 5);
  EXPECT_EQ(entries[3].contextCount, 1u);

  // A released logger is simply not called.
  logger.reset();
  RecordedOutcome afterRelease;
  (void)network_->getURL(server.url("/fail"), {}, queue_, false, afterRelease.handler(queue_));
  runUntilIdle();
  EXPECT_EQ(afterRelease.calls, 1);
}

TEST_F(NetworkClientTest, TimeoutIntervalIsClampedAndDefaulted) {
  EXPECT_EQ(network_->timeoutInterval(), kHRNNetworkDefaultTimeoutInterval);
  network_->setTimeoutInterval(kHRNNetworkMinTimeoutInterval);
  EXPECT_EQ(network_->timeoutInterval(), kHRNNetworkMinTimeoutInterval);
  network_->setTimeoutInterval(kHRNNetworkMinTimeoutInterval / 2);
  EXPECT_EQ(network_->timeoutInterval(), kHRNNetworkMinTimeoutInterval);
  network_->setTimeoutInterval(kHRNNetworkMaxTimeoutInterval + 1);
  EXPECT_EQ(network_->timeoutInterval(), kHRNNetworkMaxTimeoutInterval);
  network_->setTimeoutInterval(0);
  EXPECT_EQ(network_->timeoutInterval(), kHRNNetworkDefaultTimeoutInterval);
  network_->setTimeoutInterval(std::nan(""));
  EXPECT_EQ(network_->timeoutInterval(), kHRNNetworkDefaultTimeoutInterval);
}

TEST_F(NetworkClientTest, BackgroundSessionEventsCompleteOnceOnTheQueue) {
  int calls = 0;
  bool onQueue = false;
  HRNNetwork::handleEventsForBackgroundURLSessionID(
      "session",
      [&] {
        ++calls;
        onQueue = queue_->isCurrent();
      },
      queue_);
  EXPECT_EQ(calls, 0);
  runUntilIdle();
  EXPECT_EQ(calls, 1);
  EXPECT_TRUE(onQueue);
}

TEST(NetworkProductionExecutorTest, CompletesOnTheGivenQueueOfAThreadPool) {
  LoopbackServer server;
  server.server().Get("/ping", [](const httplib::Request&, httplib::Response& response) {
    response.set_content("pong", "text/plain");
  });
  server.start();

  auto executor = makeThreadPoolExecutor(std::make_shared<SystemClock>(), 2);
  Dispatch dispatch(executor);
  auto queue = dispatch.createSerialQueue("test.network.pool");
  auto reachability = std::make_shared<Reachability>([] { return true; });
  auto network = HRNNetwork::initWithReachabilityHost("127.0.0.1", reachability, queue);
  ASSERT_NE(network, nullptr);

  auto delivered = std::make_shared<std::promise<std::tuple<bool, std::string, int, Bytes>>>();
  auto future = delivered->get_future();
  std::string id = network->getURL(
      server.url("/ping"), {}, queue, false,
      [delivered, queue](std::optional<HRNHTTPResponse> response, Bytes data,
                         std::optional<Error>) {
        delivered->set_value({queue->isCurrent(), currentQueueLabel(),
                              response ? response->statusCode() : -1, std::move(data)});
      });
  EXPECT_FALSE(id.empty());
  ASSERT_EQ(future.wait_for(std::chrono::seconds(10)), std::future_status::ready);
  auto [onQueue, label, status, body] = future.get();
  EXPECT_TRUE(onQueue);
  EXPECT_EQ(label, "test.network.pool");
  EXPECT_EQ(status, 200);
  EXPECT_EQ(body, bytesOf("pong"));
  network.reset();
}

}  // namespace
