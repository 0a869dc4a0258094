// The engine and the app's lifecycle: background tasks around the upload,
// the load step's launch observation and reachability.
#include <gtest/gtest.h>

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "api/TLMAnalytics.h"
#include "config/TLMPersistedConfig.h"
#include "engine/TLMMeasurement.h"
#include "engine/TLMStandIns.h"
#include "engine/lifecycle_test_support.h"
#include "platform/Application.h"
#include "platform/Dispatch.h"
#include "platform/Platform.h"

namespace {

class EngineAppLifecycleTest : public EngineLifecycleTest {
 protected:
  Application& app() { return platform_.platform().application(); }

  // Launches the app and brings it to the active state.
  void launch() {
    ASSERT_TRUE(app().finishLaunching());
    ASSERT_TRUE(app().becomeActive());
    run();
  }
};

TEST_F(EngineAppLifecycleTest, ResigningActiveStartsABackgroundTaskAndQueuesTheUpload) {
  const std::shared_ptr<TLMMeasurement> engine = makeEngine();
  launch();
  const int synchronizedBefore = TLMPersistedConfig::sharedInstance()->TEST_synchronizeCount();

  ASSERT_TRUE(app().resignActive());
  const std::vector<BackgroundTaskInfo> tasks = app().backgroundTasks();
  ASSERT_EQ(tasks.size(), 1u);
  EXPECT_EQ(tasks[0].name, "TLMAnalyticsMeasurementBackgroundTask");
  EXPECT_EQ(engine->backgroundUpdateTask(), tasks[0].identifier);
  EXPECT_GT(TLMPersistedConfig::sharedInstance()->TEST_synchronizeCount(), synchronizedBefore);

  ASSERT_EQ(monitor_.withCode(23144).size(), 1u);
  EXPECT_EQ(monitor_.withCode(23144)[0].level, 8);
  EXPECT_EQ(monitor_.withCode(23144)[0].message,
            "App will resign active state. Scheduling data upload");
  const std::vector<MonitorReport> started = monitor_.withCode(23145);
  ASSERT_EQ(started.size(), 1u);
  EXPECT_EQ(started[0].level, 8);
  EXPECT_EQ(started[0].message, "Background task started. Task ID");
  ASSERT_EQ(started[0].contexts.size(), 1u);
  EXPECT_EQ(started[0].contexts[0].int64Value(), static_cast<std::int64_t>(tasks[0].identifier));

  // The upload is a facade operation: it waits until the facade started.
  run();
  EXPECT_EQ(count("uploadData"), 0);
  TLMAnalytics::unsuspendOperationQueue();
  run();
  EXPECT_EQ(count("uploadData"), 1);
}

TEST_F(EngineAppLifecycleTest, EnteringTheForegroundEndsTheBackgroundTask) {
  const std::shared_ptr<TLMMeasurement> engine = makeEngine();
  launch();
  ASSERT_TRUE(app().resignActive());
  ASSERT_TRUE(app().enterBackground());
  const BackgroundTaskIdentifier task = engine->backgroundUpdateTask();
  ASSERT_NE(task, kBackgroundTaskInvalid);

  ASSERT_TRUE(app().enterForeground());
  EXPECT_TRUE(app().backgroundTasks().empty());
  EXPECT_EQ(engine->backgroundUpdateTask(), kBackgroundTaskInvalid);
  const std::vector<MonitorReport> cancelled = monitor_.withCode(23142);
  ASSERT_EQ(cancelled.size(), 1u);
  EXPECT_EQ(cancelled[0].level, 7);
  EXPECT_EQ(cancelled[0].message, "Cancelling background upload task. Task ID ");
  ASSERT_EQ(cancelled[0].contexts.size(), 1u);
  EXPECT_EQ(cancelled[0].contexts[0].int64Value(), static_cast<std::int64_t>(task));
}

TEST_F(EngineAppLifecycleTest, SecondResignEndsThePreviousTask) {
  const std::shared_ptr<TLMMeasurement> engine = makeEngine();
  launch();
  ASSERT_TRUE(app().resignActive());
  const BackgroundTaskIdentifier first = engine->backgroundUpdateTask();
  ASSERT_TRUE(app().becomeActive());
  ASSERT_TRUE(app().resignActive());
  const std::vector<BackgroundTaskInfo> tasks = app().backgroundTasks();
  ASSERT_EQ(tasks.size(), 1u);
  EXPECT_NE(tasks[0].identifier, first);
  EXPECT_EQ(engine->backgroundUpdateTask(), tasks[0].identifier);
}

TEST_F(EngineAppLifecycleTest, ExpiredBackgroundTaskIsEnded) {
  const std::shared_ptr<TLMMeasurement> engine = makeEngine();
  launch();
  ASSERT_TRUE(app().resignActive());
  ASSERT_TRUE(app().enterBackground());
  EXPECT_EQ(app().expireBackgroundTasks(), 1);
  run();
  platform_.platform().dispatch().drainMainQueue();
  EXPECT_TRUE(app().backgroundTasks().empty());
  EXPECT_EQ(engine->backgroundUpdateTask(), kBackgroundTaskInvalid);
}

TEST_F(EngineAppLifecycleTest, EngineWithoutComponentsDoesNotObserveTheApp) {
  const std::shared_ptr<TLMMeasurement> engine = makeEngine(/*enabled=*/false);
  launch();
  ASSERT_TRUE(app().resignActive());
  EXPECT_TRUE(app().backgroundTasks().empty());
  EXPECT_EQ(monitor_.count(23144), 0u);
}

TEST_F(EngineAppLifecycleTest, ReleasedEngineStopsObserving) {
  std::shared_ptr<TLMMeasurement> engine = makeEngine();
  engine.reset();
  launch();
  ASSERT_TRUE(app().resignActive());
  EXPECT_TRUE(app().backgroundTasks().empty());
}

TEST_F(EngineAppLifecycleTest, ReachabilityChangeUpdatesTheSchedule) {
  const std::shared_ptr<TLMMeasurement> engine = makeEngine();
  const long before = count("updateSchedule");
  engine->reachabilityDidChange();
  EXPECT_EQ(count("updateSchedule"), before);  // scheduled, not run inline
  run();
  EXPECT_EQ(count("updateSchedule"), before + 1);
}

// ---- The load step ----

TEST_F(EngineAppLifecycleTest, LoadStepReactsToTheAppFinishingLaunching) {
  int reporters = 0;
  std::vector<Object> launchOptions;
  TLMStandIns::current().createScreenViewReporter = [&] { ++reporters; };
  TLMStandIns::current().handleStoredURLAfterAppLaunch = [&](const Object& options) {
    launchOptions.push_back(options);
  };
  TLMMeasurement::load();
  const Object options = Application::launchOptionsWithURL("ferrolux://open");
  ASSERT_TRUE(app().finishLaunching(options));
  EXPECT_EQ(reporters, 1);
  ASSERT_EQ(launchOptions.size(), 1u);
  EXPECT_EQ(launchOptions[0], options);
}

TEST_F(EngineAppLifecycleTest, LaunchWithoutOptionsOnlyCreatesTheScreenReporter) {
  int reporters = 0;
  int storedURLs = 0;
  TLMStandIns::current().createScreenViewReporter = [&] { ++reporters; };
  TLMStandIns::current().handleStoredURLAfterAppLaunch = [&](const Object&) { ++storedURLs; };
  TLMMeasurement::load();
  TLMMeasurement::load();  // a second load step does not observe twice
  ASSERT_TRUE(app().finishLaunching());
  EXPECT_EQ(reporters, 1);
  EXPECT_EQ(storedURLs, 0);
}

}  // namespace
