// Reachability: loopback detection, forced answers, refresh and monitoring,
// and HRNNetwork forwarding changes to its reachability delegate.
#include <gtest/gtest.h>

#include <atomic>

#include "tests/utilities/network_test_support.h"

namespace {

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

TEST(ReachabilityTest, LoopbackIsReachableWithoutInterfacesAndRemoteFollowsThem) {
  std::atomic<bool> up{false};
  Reachability reachability([&] { return up.load(); });
  EXPECT_TRUE(reachability.isHostReachable("127.0.0.1:9000"));
  EXPECT_FALSE(reachability.isHostReachable("measurement.example.com"));

  int notified = 0;
  reachability.addObserver([&] { ++notified; });
  up = true;
  reachability.refresh();
  EXPECT_EQ(notified, 1);
  EXPECT_TRUE(reachability.isHostReachable("measurement.example.com"));
  reachability.refresh();  // nothing changed
  EXPECT_EQ(notified, 1);
  up = false;
  reachability.refresh();
  EXPECT_EQ(notified, 2);
  EXPECT_FALSE(reachability.isHostReachable("measurement.example.com"));
}

TEST(ReachabilityTest, OverrideWinsForEveryHostAndNotifiesOncePerChange) {
  Reachability reachability([] { return true; });
  int notified = 0;
  auto token = reachability.addObserver([&] { ++notified; });

  reachability.setOverride(false);
  EXPECT_EQ(notified, 1);
  EXPECT_FALSE(reachability.isHostReachable("example.com"));
  EXPECT_FALSE(reachability.isHostReachable("127.0.0.1"));
  reachability.setOverride(false);
  EXPECT_EQ(notified, 1);
  // Forcing the answer the machine already gives changes nothing.
  reachability.setOverride(std::nullopt);
  EXPECT_EQ(notified, 2);
  reachability.setOverride(true);
  EXPECT_EQ(notified, 2);
  EXPECT_EQ(reachability.currentOverride(), std::optional<bool>(true));

  reachability.removeObserver(token);
  reachability.setOverride(false);
  EXPECT_EQ(notified, 2);
}

TEST(ReachabilityTest, MonitoringRefreshesOnTheQueueUntilStopped) {
  auto clock = std::make_shared<FakeClock>();
  auto executor = std::make_shared<DeterministicExecutor>(clock);
  Dispatch dispatch(executor);
  auto queue = dispatch.createSerialQueue("test.reachability");
  std::atomic<bool> up{true};
  std::atomic<int> probes{0};
  Reachability reachability([&] {
    ++probes;
    return up.load();
  });
  int notified = 0;
  reachability.addObserver([&] { ++notified; });

  reachability.startMonitoring(queue, 5.0);
  up = false;
  executor->advance(4.0);
  EXPECT_EQ(notified, 0);
  executor->advance(1.0);
  EXPECT_EQ(notified, 1);
  EXPECT_FALSE(reachability.isHostReachable("example.com"));
  int probesBeforeStop = probes.load();
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

class NetworkReachabilityTest : public DeterministicNetworkTest {};

TEST_F(NetworkReachabilityTest, LoopbackHostIsConnected) {
  EXPECT_TRUE(network_->isNetworkConnected());
  auto offline = std::make_shared<Reachability>([] { return false; });
  auto local = HRNNetwork::initWithReachabilityHost("localhost:8080", offline, queue_);
  ASSERT_NE(local, nullptr);
  EXPECT_TRUE(local->isNetworkConnected());
  auto remote = HRNNetwork::initWithReachabilityHost("measurement.example.com", offline, queue_);
  ASSERT_NE(remote, nullptr);
  EXPECT_FALSE(remote->isNetworkConnected());
}

TEST_F(NetworkReachabilityTest, OverrideChangesReachTheDelegateOnceEachOnTheCallbackQueue) {
  auto delegate = std::make_shared<RecordingReachabilityDelegate>(queue_);
  network_->setReachabilityDelegate(delegate);

  reachability_->setOverride(false);
  EXPECT_EQ(delegate->calls, 0) << "delivered on the callback queue, not inline";
  runUntilIdle();
  EXPECT_EQ(delegate->calls, 1);
  EXPECT_FALSE(network_->isNetworkConnected());

  reachability_->setOverride(false);
  runUntilIdle();
  EXPECT_EQ(delegate->calls, 1);

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

TEST_F(NetworkReachabilityTest, InterfaceChangesReachTheDelegateOfARemoteHostOnly) {
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
