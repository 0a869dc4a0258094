// HRNNetwork against a real loopback server: responses, bodies, statuses,
// identifiers, the in-progress flag, logging, the production executor, and
// reachability.
#include <gtest/gtest.h>

#include <atomic>
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
    std::size_t contextCount;
  };
  void HRNNetwork_logWithLevel(int level, long code, const std::string&) override {
    record({level, code, 0});
  }
  void HRNNetwork_logWithLevel(int level, long code, const std::string&,
                               const OptionalObject& context) override {
    record({level, code, context ? 1u : 0u});
  }
  void HRNNetwork_logWithLevel(int level, long code, const std::string&,
                               const ObjectArray& contexts) override {
    record({level, code, contexts.size()});
  }
  std::vector<Entry> entries() {
    std::lock_guard<std::mutex> lock(mutex_);
    return entries_;
  }

 private:
  void record(Entry entry) {
    std::lock_guard<std::mutex> lock(mutex_);
    entries_.push_back(entry);
  }
  std::mutex mutex_;
  std::vector<Entry> entries_;
};

using NetworkClientTest = DeterministicNetworkTest;

TEST_F(NetworkClientTest, GetDeliversStatusHeadersBodyAndLengthOnTheQueue) {
  LoopbackServer server;
  std::string seenModifiedSince, seenUserAgent;
  const std::string body("config\0bytes\xff", 13);
  server.server().Get("/config", [&](const httplib::Request& request, httplib::Response& response) {
    seenModifiedSince = request.get_header_value("If-Modified-Since");
    seenUserAgent = request.get_header_value("User-Agent");
    response.set_header("X-Config-Version", "v7");
    response.set_content(body, "application/x-protobuf");
  });
  server.start();

  auto outcome =
      get(server.url("/config"), {{"If-Modified-Since", "Tue, 20 Oct 2015 07:28:00 GMT"}});
  outcome->expectStatus(kHRNNetworkHTTPStatusOK);
  EXPECT_EQ(outcome->queueLabel, "test.network");
  EXPECT_EQ(outcome->response->valueForHTTPHeaderField("x-config-version"), "v7");
  EXPECT_EQ(outcome->response->valueForHTTPHeaderField("X-CONFIG-VERSION"), "v7");
  EXPECT_FALSE(outcome->response->valueForHTTPHeaderField("X-Absent").has_value());
  EXPECT_EQ(outcome->response->expectedContentLength(), 13);
  EXPECT_EQ(outcome->body, bytesOf(body));
  EXPECT_EQ(seenModifiedSince, "Tue, 20 Oct 2015 07:28:00 GMT");
  EXPECT_EQ(seenUserAgent.rfind(kHRNNetworkUserAgentProduct, 0), 0u) << seenUserAgent;
}

TEST_F(NetworkClientTest, PostSendsThePayloadByteExact) {
  LoopbackServer server;
  std::string received, method;
  server.server().Post("/a", [&](const httplib::Request& request, httplib::Response& response) {
    received = request.body;
    method = request.method;
    response.status = kHRNNetworkHTTPStatusNoContent;
  });
  server.start();

  // Large enough that curl would otherwise wait for "100 Continue".
  Bytes payload(1500 * 1024);
  for (std::size_t i = 0; i < payload.size(); ++i) {
    payload[i] = static_cast<std::uint8_t>((i * 7 + i / 256) & 0xFF);
  }
  post(server.url("/a"), payload)->expectStatus(kHRNNetworkHTTPStatusNoContent);
  EXPECT_EQ(method, "POST");
  EXPECT_EQ(Bytes(received.begin(), received.end()), payload);
  // An empty payload is an empty body, not a read from stdin.
  post(server.url("/a"), {})->expectStatus(kHRNNetworkHTTPStatusNoContent);
  EXPECT_TRUE(received.empty());
}

TEST_F(NetworkClientTest, ErrorStatusesAndRedirectsArriveAsResponses) {
  LoopbackServer server;
  int targetHits = 0;
  server.server().Get(R"(/status/(\d+))",
                      [](const httplib::Request& request, httplib::Response& response) {
                        response.status = std::stoi(request.matches[1]);
                        if (response.status != 204 && response.status != 304) {
                          response.set_content("status body", "text/plain");
                        }
                      });
  server.server().Get("/moved", [](const httplib::Request&, httplib::Response& response) {
    response.set_redirect("/target", 302);
  });
  server.server().Get("/target",
                      [&](const httplib::Request&, httplib::Response&) { ++targetHits; });
  server.start();

  for (int status : {kHRNNetworkHTTPStatusNoContent, kHRNNetworkHTTPStatusCodeNotModified,
                     kHRNNetworkHTTPStatusCodeNotFound, 500, kHRNNetworkHTTPStatusCodeUnavailable,
                     kHRNNetworkHTTPStatusCodeCannotAcceptTraffic}) {
    SCOPED_TRACE(status);
    auto outcome = get(server.url("/status/" + std::to_string(status)));
    outcome->expectStatus(status);
    if (status == 500) {
      EXPECT_EQ(outcome->body, bytesOf("status body"));
      EXPECT_EQ(outcome->response->expectedContentLength(), 11);
    }
  }
  // Redirects are delivered, never followed.
  auto moved = get(server.url("/moved"));
  moved->expectStatus(302);
  EXPECT_EQ(moved->response->valueForHTTPHeaderField("location"), "/target");
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
  outcome.expectStatus(200);
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
    identifiers.insert(network_->getURL(server.url("/item/" + std::to_string(i)), {}, queue_, false,
                                        outcomes.back()->handler(queue_)));
  }
  EXPECT_EQ(identifiers.size(), static_cast<std::size_t>(kCount));
  EXPECT_EQ(identifiers.count(""), 0u);
  runUntilIdle();
  for (int i = 0; i < kCount; ++i) {
    outcomes[i]->expectStatus(200);
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
  get(server.url("/ok"));
  EXPECT_TRUE(logger->entries().empty());
  network_->setIsDebugModeEnabled(true);
  get(server.url("/ok"));
  network_->setIsDebugModeEnabled(false);
  RecordedOutcome failed, refused;
  (void)network_->getURL(server.url("/fail"), {}, queue_, false, failed.handler(queue_));
  (void)network_->getURL("http://example.com/x", {}, queue_, false, refused.handler(queue_));
  runUntilIdle();
  const auto entries = logger->entries();
  ASSERT_EQ(entries.size(), 4u);
  EXPECT_EQ(entries[0].code, kHRNNetworkMessageCodeRequestStarted);
  EXPECT_EQ(entries[1].code, kHRNNetworkMessageCodeRequestFinished);
  // The refusal is logged at once, the status when the outcome arrives.
  EXPECT_EQ(entries[2].code, kHRNNetworkMessageCodeInsecureURL);
  EXPECT_EQ(entries[2].level, 3);
  EXPECT_EQ(entries[3].code, kHRNNetworkMessageCodeHTTPErrorStatus);
  EXPECT_EQ(entries[3].level, 5);
  EXPECT_EQ(entries[3].contextCount, 1u);

  // A released logger is simply not called.
  logger.reset();
  get(server.url("/fail"))->expectStatus(500);
}

TEST_F(NetworkClientTest, TimeoutIntervalIsClampedAndDefaulted) {
  EXPECT_EQ(network_->timeoutInterval(), kHRNNetworkDefaultTimeoutInterval);
  const std::pair<double, double> cases[] = {
      {kHRNNetworkMinTimeoutInterval, kHRNNetworkMinTimeoutInterval},
      {kHRNNetworkMinTimeoutInterval / 2, kHRNNetworkMinTimeoutInterval},
      {kHRNNetworkMaxTimeoutInterval + 1, kHRNNetworkMaxTimeoutInterval},
      {0, kHRNNetworkDefaultTimeoutInterval},
      {std::nan(""), kHRNNetworkDefaultTimeoutInterval},
  };
  for (const auto& [set, expected] : cases) {
    network_->setTimeoutInterval(set);
    EXPECT_EQ(network_->timeoutInterval(), expected) << set;
  }
}

TEST_F(NetworkClientTest, BackgroundSessionEventsCompleteOnceOnTheQueue) {
  int calls = 0;
  bool onQueue = false;
  HRNNetwork::handleEventsForBackgroundURLSessionID(
      "session", [&] { onQueue = ++calls == 1 && queue_->isCurrent(); }, queue_);
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
  auto network = HRNNetwork::initWithReachabilityHost(
      "127.0.0.1", std::make_shared<Reachability>([] { return true; }), queue);
  ASSERT_NE(network, nullptr);

  auto delivered = std::make_shared<std::promise<std::tuple<bool, std::string, int, Bytes>>>();
  auto future = delivered->get_future();
  EXPECT_FALSE(network
                   ->getURL(server.url("/ping"), {}, queue, false,
                            [delivered, queue](std::optional<HRNHTTPResponse> response, Bytes data,
                                               std::optional<Error>) {
                              delivered->set_value({queue->isCurrent(), currentQueueLabel(),
                                                    response ? response->statusCode() : -1,
                                                    std::move(data)});
                            })
                   .empty());
  ASSERT_EQ(future.wait_for(std::chrono::seconds(10)), std::future_status::ready);
  EXPECT_EQ(future.get(),
            std::make_tuple(true, std::string("test.network.pool"), 200, bytesOf("pong")));
  network.reset();
}

// --- Reachability ---------------------------------------------------------------------------

TEST(ReachabilityTest, RecognisesLoopbackHostsOnly) {
  for (const char* host : {"localhost", "LocalHost", "localhost:8080", "127.0.0.1", "127.1.2.3",
                           "127.255.255.255:443", "::1", "[::1]", "[::1]:8443", "localhost."}) {
    EXPECT_TRUE(Reachability::isLoopbackHost(host)) << host;
  }
  for (const char* host : {"", "example.com", "127.0.0.1.example.com", "localhost.example.com",
                           "128.0.0.1", "0.0.0.0", "10.0.0.1", "::2", "[::1", "[::1]x",
                           "127.0.0.1:port", "126.255.255.255", "::ffff:8.8.8.8"}) {
    EXPECT_FALSE(Reachability::isLoopbackHost(host)) << host;
  }
}

TEST(ReachabilityTest, RemoteHostsFollowInterfacesAndOverridesNotifyingOncePerChange) {
  std::atomic<bool> up{false};
  Reachability reachability([&] { return up.load(); });
  EXPECT_TRUE(reachability.isHostReachable("127.0.0.1:9000"));
  EXPECT_FALSE(reachability.isHostReachable("measurement.example.com"));
  int notified = 0;
  auto token = reachability.addObserver([&] { ++notified; });
  up = true;
  reachability.refresh();
  reachability.refresh();  // nothing changed
  EXPECT_EQ(notified, 1);
  EXPECT_TRUE(reachability.isHostReachable("measurement.example.com"));

  // An override wins for every host, loopback included.
  reachability.setOverride(false);
  reachability.setOverride(false);
  EXPECT_EQ(notified, 2);
  EXPECT_FALSE(reachability.isHostReachable("127.0.0.1"));
  // Forcing the answer the machine already gives changes nothing.
  reachability.setOverride(std::nullopt);
  reachability.setOverride(true);
  EXPECT_EQ(notified, 3);
  EXPECT_EQ(reachability.currentOverride(), std::optional<bool>(true));
  reachability.removeObserver(token);
  reachability.setOverride(false);
  EXPECT_EQ(notified, 3);
}

TEST(ReachabilityTest, MonitoringRefreshesOnTheQueueUntilStopped) {
  auto executor = std::make_shared<DeterministicExecutor>(std::make_shared<FakeClock>());
  Dispatch dispatch(executor);
  std::atomic<bool> up{true};
  std::atomic<int> probes{0};
  Reachability reachability([&] {
    ++probes;
    return up.load();
  });
  int notified = 0;
  reachability.addObserver([&] { ++notified; });

  reachability.startMonitoring(dispatch.createSerialQueue("test.reachability"), 5.0);
  up = false;
  executor->advance(4.0);
  EXPECT_EQ(notified, 0);
  executor->advance(1.0);
  EXPECT_EQ(notified, 1);
  const int probesBeforeStop = probes.load();
  executor->advance(5.0);
  EXPECT_EQ(probes.load(), probesBeforeStop + 1);
  reachability.stopMonitoring();
  up = true;
  executor->advance(20.0);
  EXPECT_EQ(probes.load(), probesBeforeStop + 1);
  EXPECT_EQ(notified, 1);
}

class RecordingReachabilityDelegate : public HRNNetworkReachabilityDelegate {
 public:
  explicit RecordingReachabilityDelegate(std::shared_ptr<DispatchQueue> queue)
      : queue_(std::move(queue)) {}
  void reachabilityDidChange() override {
    ++calls;
    allOnQueue = allOnQueue && queue_->isCurrent();
  }
  int calls = 0;
  bool allOnQueue = true;

 private:
  std::shared_ptr<DispatchQueue> queue_;
};

TEST_F(NetworkClientTest, OverrideChangesReachTheDelegateOnceEachOnTheCallbackQueue) {
  auto offline = std::make_shared<Reachability>([] { return false; });
  EXPECT_TRUE(HRNNetwork::initWithReachabilityHost("localhost:8080", offline, queue_)
                  ->isNetworkConnected());
  EXPECT_FALSE(HRNNetwork::initWithReachabilityHost("measurement.example.com", offline, queue_)
                   ->isNetworkConnected());

  auto delegate = std::make_shared<RecordingReachabilityDelegate>(queue_);
  network_->setReachabilityDelegate(delegate);
  EXPECT_TRUE(network_->isNetworkConnected());
  reachability_->setOverride(false);
  EXPECT_EQ(delegate->calls, 0) << "delivered on the callback queue, not inline";
  runUntilIdle();
  EXPECT_EQ(delegate->calls, 1);
  EXPECT_FALSE(network_->isNetworkConnected());
  reachability_->setOverride(false);
  reachability_->setOverride(std::nullopt);
  runUntilIdle();
  EXPECT_EQ(delegate->calls, 2);
  EXPECT_TRUE(network_->isNetworkConnected());
  EXPECT_TRUE(delegate->allOnQueue);
  // An empty delegate unregisters.
  network_->setReachabilityDelegate({});
  reachability_->setOverride(false);
  runUntilIdle();
  EXPECT_EQ(delegate->calls, 2);
}

TEST_F(NetworkClientTest, InterfaceChangesReachTheDelegateOfARemoteHostOnly) {
  std::atomic<bool> up{true};
  auto reachability = std::make_shared<Reachability>([&] { return up.load(); });
  auto remote =
      HRNNetwork::initWithReachabilityHost("measurement.example.com", reachability, queue_);
  auto local = HRNNetwork::initWithReachabilityHost("127.0.0.1", reachability, queue_);
  auto remoteDelegate = std::make_shared<RecordingReachabilityDelegate>(queue_);
  auto localDelegate = std::make_shared<RecordingReachabilityDelegate>(queue_);
  remote->setReachabilityDelegate(remoteDelegate);
  local->setReachabilityDelegate(localDelegate);

  up = false;
  EXPECT_FALSE(remote->isNetworkConnected());  // refreshes
  runUntilIdle();
  EXPECT_EQ(remoteDelegate->calls, 1);
  EXPECT_EQ(localDelegate->calls, 0);
  // A change queued for a client that is then destroyed is dropped.
  up = true;
  reachability->refresh();
  remote.reset();
  runUntilIdle();
  EXPECT_EQ(remoteDelegate->calls, 1);
}

}  // namespace
