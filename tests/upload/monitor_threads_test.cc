// Real threads: reports from several threads while the switches and the
// log tag change keep every sampled report counted and every printed one
// delivered.
#include <gtest/gtest.h>

#include <thread>
#include <vector>

#include "monitor_test_support.h"

namespace {

TEST(MonitorThreadsTest, ConcurrentReportsAreAllCountedAndPrinted) {
  TestPlatform folders;  // for the folders; replaced by a production Platform
  std::shared_ptr<Platform> production = Platform::createProduction(folders.paths());
  Platform::install(production);
  {
    auto logger = std::make_shared<RecordingASLLogger>();
    std::shared_ptr<TLMMonitor> monitor =
        TLMMonitor::createWithLogLevel(TLMMonitor::kDefaultLogLevel, logger, kTestLibraryVersion);
    constexpr int kThreads = 4;
    constexpr int kReports = 100;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
      threads.emplace_back([&monitor, t] {
        for (int i = 0; i < kReports; ++i) {
          // Printed and sampled, then sampled only.
          monitor->logWithLevel(1, 100 + t, "printed", Object::integer(i));
          monitor->logWithLevel(5, 200 + t, "sampled", Object("s"));
        }
      });
    }
    for (int i = 0; i < 50; ++i) {
      monitor->setLogTag(i % 2 == 0 ? "<A>" : "<B>");
      monitor->setEncodeContexts(i % 2 == 0);
      monitor->setDebugModeEnabled(i % 2 == 0);
    }
    for (std::thread& thread : threads) thread.join();
    monitor->setDebugModeEnabled(false);

    // Queued after every report, so it sees all of them.
    const OptionalObject entry = monitor->TEST_sampledEntry();
    ASSERT_TRUE(entry.has_value());
    EXPECT_EQ(entry->asArray()->at(1).int64Value(), 2 * kThreads * kReports);
    int printed = 0;
    for (const LoggedRecord& record : logger->records()) {
      if (record.code >= 100 && record.code < 100 + kThreads) ++printed;
    }
    EXPECT_EQ(printed, kThreads * kReports);
    monitor->clearMonitoringData();
  }
  HRNSetLoggerLevel(kHRNLoggerDefaultLevel);
  TEST_resetSharedInstances();
  Platform::install(nullptr);
  production.reset();  // joins its threads
}

}  // namespace
