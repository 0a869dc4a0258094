// The worker-queue scheduler's protection, the main-thread check, the
// environment facts and the network report forwarding.
#include <gtest/gtest.h>

#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "engine/TLMAEU.h"
#include "engine/TLMEnvironmentInfo.h"
#include "engine/TLMMeasurement.h"
#include "engine/TLMScheduler.h"
#include "platform/Application.h"
#include "platform/DispatchQueue.h"
#include "platform/Platform.h"
#include "support/MonitorRecorder.h"
#include "support/TestPlatform.h"
#include "upload/TLMMonitor.h"

namespace {

class EngineSchedulerTest : public ::testing::Test {
 protected:
  void run() { platform_.executor().runUntilIdle(); }

  TestPlatform platform_;
  MonitorRecorder monitor_;
  std::shared_ptr<TLMScheduler> scheduler_ =
      TLMScheduler::initWithWorkerQueueLabel(kTLMWorkerQueueLabel);
};

TEST_F(EngineSchedulerTest, WorkerQueueHasTheEngineLabelAndTargetsTheBackgroundQueue) {
  ASSERT_NE(scheduler_->workerQueue(), nullptr);
  EXPECT_EQ(scheduler_->workerQueue()->label(), "com.tarvix.qlfa.worker");
  ASSERT_NE(scheduler_->workerQueue()->target(), nullptr);
  EXPECT_EQ(scheduler_->workerQueue()->target()->label(), "com.apple.root.background-qos");
}

TEST_F(EngineSchedulerTest, ExceptionInBlockIsReportedAndTheQueueKeepsWorking) {
  std::vector<int> ran;
  scheduler_->scheduleOnWorkerQueueBlockID("TLMMeasurement:1", [&] { ran.push_back(1); });
  scheduler_->scheduleOnWorkerQueueBlockID("TLMMeasurement:2", [&] {
    ran.push_back(2);
    throw std::runtime_error("disk on fire");
  });
  scheduler_->scheduleOnWorkerQueueBlockID("TLMMeasurement:3", [&] { ran.push_back(3); });
  scheduler_->scheduleOnWorkerQueueBlockID("TLMMeasurement:4", [] { throw 42; });
  scheduler_->scheduleOnWorkerQueueBlockID("TLMMeasurement:5", [&] { ran.push_back(5); });
  run();

  EXPECT_EQ(ran, (std::vector<int>{1, 2, 3, 5}));
  const std::vector<MonitorReport> reports = monitor_.withCode(30000);
  ASSERT_EQ(reports.size(), 2u);
  EXPECT_EQ(reports[0].level, 1);
  EXPECT_EQ(reports[0].message, "Exception on worker queue. Block ID=TLMMeasurement:2. Exception");
  ASSERT_EQ(reports[0].contexts.size(), 1u);
  EXPECT_EQ(reports[0].contexts[0].className(), "NSException");
  EXPECT_EQ(reports[0].contexts[0].description(), "disk on fire");
  EXPECT_EQ(reports[1].message, "Exception on worker queue. Block ID=TLMMeasurement:4. Exception");
}

TEST_F(EngineSchedulerTest, NilAsyncBlockIsReported) {
  scheduler_->scheduleOnWorkerQueueBlockID("TLMMeasurement:7", nullptr);
  run();
  const std::vector<MonitorReport> reports = monitor_.withCode(30005);
  ASSERT_EQ(reports.size(), 1u);
  EXPECT_EQ(reports[0].level, 1);
  EXPECT_EQ(reports[0].message,
            "Nil block dispatched asynchronously on worker queue. Block ID=TLMMeasurement:7.");
}

TEST_F(EngineSchedulerTest, SyncBlockRunsInOrderAfterQueuedWork) {
  std::vector<int> ran;
  scheduler_->scheduleOnWorkerQueueBlockID("TLMMeasurement:1", [&] { ran.push_back(1); });
  EXPECT_TRUE(
      scheduler_->dispatchSyncOnWorkerQueueBlockID("TLMMeasurement:2", [&] { ran.push_back(2); }));
  EXPECT_EQ(ran, (std::vector<int>{1, 2}));
  EXPECT_TRUE(monitor_.reports().empty());
}

TEST_F(EngineSchedulerTest, SyncExceptionIsReportedTwiceAndFails) {
  const bool finished = scheduler_->dispatchSyncOnWorkerQueueBlockID(
      "TLMMeasurement:3053", [] { throw std::logic_error("bad state"); });
  EXPECT_FALSE(finished);
  const std::vector<MonitorReport> exception = monitor_.withCode(30003);
  ASSERT_EQ(exception.size(), 1u);
  EXPECT_EQ(exception[0].level, 1);
  EXPECT_EQ(exception[0].message,
            "Exception on worker queue when processing sync block. Block ID=TLMMeasurement:3053. "
            "Exception");
  const std::vector<MonitorReport> failed = monitor_.withCode(30004);
  ASSERT_EQ(failed.size(), 1u);
  EXPECT_EQ(failed[0].level, 4);
  EXPECT_EQ(failed[0].message, "Synchronous task failed. Block ID=TLMMeasurement:3053");

  // The queue still serves later blocks.
  bool ran = false;
  EXPECT_TRUE(
      scheduler_->dispatchSyncOnWorkerQueueBlockID("TLMMeasurement:1", [&] { ran = true; }));
  EXPECT_TRUE(ran);
}

TEST_F(EngineSchedulerTest, NilSyncBlockIsReportedAndFails) {
  EXPECT_FALSE(scheduler_->dispatchSyncOnWorkerQueueBlockID("TLMMeasurement:9", nullptr));
  const std::vector<MonitorReport> reports = monitor_.withCode(30002);
  ASSERT_EQ(reports.size(), 1u);
  EXPECT_EQ(reports[0].level, 1);
  EXPECT_EQ(reports[0].message,
            "Nil block dispatched synchronously on worker queue. Block ID=TLMMeasurement:9.");
}

TEST_F(EngineSchedulerTest, BackgroundThreadCheckComplainsOnlyOnTheMainThread) {
  // The test thread is the deterministic platform's main thread.
  EXPECT_FALSE(
      TLMScheduler::checkOnBackgroundThreadWithMethodName("startMeasurementOnWorkerQueue"));
  EXPECT_FALSE(TLMScheduler::checkOnBackgroundThreadWithMethodName(""));
  bool onWorker = false;
  scheduler_->scheduleOnWorkerQueueBlockID("TLMMeasurement:1", [&] {
    onWorker = TLMScheduler::checkOnBackgroundThreadWithMethodName("fromWorker");
  });
  run();
  EXPECT_TRUE(onWorker);

  const std::vector<MonitorReport> reports = monitor_.withCode(30001);
  ASSERT_EQ(reports.size(), 2u);
  EXPECT_EQ(reports[0].level, 1);
  EXPECT_EQ(reports[0].message,
            "Method startMeasurementOnWorkerQueue should execute on background thread");
  EXPECT_EQ(reports[1].message, "Method <empty method name> should execute on background thread");
}

// Real pool threads: blocks from several threads, some throwing, all run in
// each thread's order and no exception escapes a pool thread.
TEST(EngineSchedulerThreads, ExceptionsOnPoolThreadsAreContained) {
  TestPlatform folders;  // for the folders; replaced by a production Platform
  std::shared_ptr<Platform> production = Platform::createProduction(folders.paths());
  Platform::install(production);
  {
    MonitorRecorder monitor;
    const std::shared_ptr<TLMScheduler> scheduler =
        TLMScheduler::initWithWorkerQueueLabel(kTLMWorkerQueueLabel);
    constexpr int kThreads = 4;
    constexpr int kBlocks = 50;
    std::vector<std::vector<int>> ran(kThreads);  // touched only on the worker queue
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
      threads.emplace_back([&, t] {
        for (int i = 0; i < kBlocks; ++i) {
          scheduler->scheduleOnWorkerQueueBlockID("TLMMeasurement:1", [&ran, t, i] {
            ran[t].push_back(i);
            if (i % 10 == 0) throw std::runtime_error("every tenth block fails");
          });
        }
      });
    }
    for (std::thread& thread : threads) thread.join();
    // Queued after every block, so it sees all of them.
    std::vector<std::vector<int>> seen;
    ASSERT_TRUE(
        scheduler->dispatchSyncOnWorkerQueueBlockID("TLMMeasurement:2", [&] { seen = ran; }));
    std::vector<int> expected(kBlocks);
    for (int i = 0; i < kBlocks; ++i) expected[i] = i;
    for (int t = 0; t < kThreads; ++t) EXPECT_EQ(seen[t], expected) << t;
    EXPECT_EQ(monitor.count(30000), static_cast<std::size_t>(kThreads * kBlocks / 10));
    // Lets the monitor's own queue finish with the reports before the
    // Platform goes.
    (void)TLMMeasurement::monitor().TEST_sampledEntry();
    TLMMeasurement::monitor().clearMonitoringData();
    (void)TLMMeasurement::monitor().TEST_sampledEntry();
  }
  TEST_resetSharedInstances();
  Platform::install(nullptr);
  production.reset();  // joins its threads
}

// ---- Environment facts ----

class EngineEnvironmentTest : public ::testing::Test {
 protected:
  // A new process life with `device`.
  void useDevice(const DeviceProfile& device) {
    TEST_resetSharedInstances();
    platform_ = Platform::createDeterministic(platform_paths_.paths(), device);
    Platform::install(platform_);
  }

  TestPlatform platform_paths_;
  std::shared_ptr<Platform> platform_;
  MonitorRecorder monitor_;
};

TEST_F(EngineEnvironmentTest, AnswersFromTheDeviceProfile) {
  DeviceProfile device;
  device.setPreferredLanguages({"DE-AT", "en-us"});
  device.setTimeZoneOffsetSeconds(-(3 * 3600 + 30 * 60 + 59));
  useDevice(device);
  const std::shared_ptr<TLMEnvironmentInfo> info = TLMEnvironmentInfo::sharedInstance();
  EXPECT_EQ(info->deviceModel(), "iPhone15,2");
  EXPECT_EQ(info->deviceOSVersion(), "17.5");
  EXPECT_EQ(info->userDefaultLanguage(), "de-at");
  // -210.98 minutes truncates toward zero.
  EXPECT_EQ(info->timeZoneOffsetMinutes(), -210);
  EXPECT_TRUE(monitor_.reports().empty());
}

TEST_F(EngineEnvironmentTest, MissingModelAndLanguageAreReported) {
  DeviceProfile device;
  device.setDeviceModel("");
  device.setPreferredLanguages({});
  useDevice(device);
  const std::shared_ptr<TLMEnvironmentInfo> info = TLMEnvironmentInfo::sharedInstance();
  EXPECT_EQ(info->deviceModel(), "");
  EXPECT_EQ(info->deviceModel(), "");  // read once: one report
  EXPECT_EQ(info->userDefaultLanguage(), std::nullopt);

  const std::vector<MonitorReport> model = monitor_.withCode(14000);
  ASSERT_EQ(model.size(), 1u);
  EXPECT_EQ(model[0].level, 2);
  EXPECT_EQ(model[0].message, "Failed to get device model");
  const std::vector<MonitorReport> language = monitor_.withCode(14001);
  ASSERT_EQ(language.size(), 1u);
  EXPECT_EQ(language[0].level, 2);
  EXPECT_EQ(language[0].message, "Failed to get preferred language");
}

TEST_F(EngineEnvironmentTest, SimulatorSandboxAndExtensionFacts) {
  DeviceProfile device;
  device.setDeviceModel("x86_64");
  device.setAppStoreInstallation(true);
  useDevice(device);
  EXPECT_TRUE(TLMAEU::isNOD());
  EXPECT_FALSE(TLMAEU::isFAS());  // never on the simulator
  EXPECT_EQ(TLMAEU::sharedApplication(), &platform_->application());

  device.setDeviceModel("iPhone15,2");
  device.setSandboxInstallation(true);
  useDevice(device);
  EXPECT_TRUE(TLMAEU::isASRS());
  EXPECT_FALSE(TLMAEU::isFAS());  // never in a sandbox installation

  device.setSandboxInstallation(false);
  device.setAppExtension(true);
  useDevice(device);
  EXPECT_TRUE(TLMAEU::isFAS());
  EXPECT_TRUE(TLMAEU::isAEX());
  EXPECT_EQ(TLMAEU::sharedApplication(), nullptr);

  device.setOSVersion("7.1");
  useDevice(device);
  EXPECT_FALSE(TLMAEU::isOSSupported());
}

// ---- Network reports ----

TEST(EngineNetworkReportForwarding, LevelsAreMappedForTheMonitor) {
  const std::vector<std::pair<int, int>> mapping = {{3, 1}, {4, 4}, {5, 3}, {6, 6},
                                                    {7, 7}, {0, 3}, {1, 3}, {8, 3}};
  for (const auto& [network, monitor] : mapping) {
    EXPECT_EQ(TLMMeasurement::monitorLevelForNetworkLevel(network), monitor) << network;
  }
}

}  // namespace
