#include "platform/Platform.h"

#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <thread>

#include "platform/Application.h"
#include "platform/Bundle.h"
#include "platform/Dispatch.h"
#include "platform/Keychain.h"
#include "platform/PreferenceStore.h"
#include "platform/Random.h"
#include "platform/Semaphore.h"
#include "support/TestPlatform.h"

namespace {

TEST(PlatformAssembly, GoingToTheBackgroundSavesTheStandardPreferences) {
  TestPlatform test;
  Platform& platform = test.platform();
  auto defaults = platform.preferences().standardSuite();
  ASSERT_TRUE(defaults->setObject("launches", Object::integer(3)));

  Application& application = platform.application();
  ASSERT_TRUE(application.finishLaunching());
  ASSERT_TRUE(application.becomeActive());
  ASSERT_TRUE(application.resignActive());
  ASSERT_TRUE(application.enterBackground());

  // Saved by the notification alone: no explicit save, no time passed.
  const std::string file = test.paths().containerPath + "/Library/Preferences/" +
                           TestPlatform::kBundleIdentifier + ".plist";
  EXPECT_TRUE(std::filesystem::exists(file));
  test.restart();
  auto reread = test.platform().preferences().standardSuite()->objectForKey("launches");
  ASSERT_TRUE(reread.has_value());
  EXPECT_EQ(*reread, Object::integer(3));
}

TEST(PlatformAssembly, KeychainOutlivesTheAppContainer) {
  TestPlatform test;
  KeychainItem item;
  item.service = "ferrolux";
  item.account = "app_instance_id";
  item.data = Bytes{1, 2, 3};
  ASSERT_EQ(test.platform().keychain().add(item), kKeychainSuccess);

  std::filesystem::remove_all(test.paths().containerPath);
  test.restart();
  KeychainQuery query;
  query.service = "ferrolux";
  query.account = "app_instance_id";
  KeychainItem found;
  ASSERT_EQ(test.platform().keychain().copyMatching(query, &found), kKeychainSuccess);
  EXPECT_EQ(found.data, (Bytes{1, 2, 3}));
}

TEST(PlatformAssembly, SameSeedGivesTheSameRun) {
  TestPlatform first(42);
  EXPECT_EQ(Platform::installed().get(), &first.platform());
  EXPECT_TRUE(first.platform().isDeterministic());
  const std::uint64_t a = first.platform().random().nextUInt64();
  const double wall = first.platform().clock().now();
  first.restart(42);
  EXPECT_EQ(first.platform().random().nextUInt64(), a);
  EXPECT_EQ(first.platform().clock().now(), wall);
}

TEST(PlatformAssembly, ProductionPlatformRunsQueuesOnPoolThreadsAndShutsDown) {
  TestPlatform test;  // for the folders only
  auto platform = Platform::createProduction(test.paths());
  auto queue = platform->dispatch().createSerialQueue("ferrolux.tests.production");
  Semaphore done(platform->sharedExecutor());
  std::atomic<bool> onMain{true};
  std::thread::id worker;
  queue->async([&] {
    onMain = platform->dispatch().isMainThread();
    worker = std::this_thread::get_id();
    done.signal();
  });
  ASSERT_TRUE(done.wait(10.0));
  EXPECT_FALSE(onMain.load());
  EXPECT_NE(worker, std::this_thread::get_id());

  std::atomic<int> mainRuns{0};
  platform->dispatch().mainQueue()->async([&] { ++mainRuns; });
  for (int i = 0; i < 1000 && mainRuns.load() == 0; ++i) {
    platform->executor().waitForMainWork(0.01);
    platform->dispatch().drainMainQueue();
  }
  EXPECT_EQ(mainRuns.load(), 1);
  platform.reset();  // joins its threads
}

}  // namespace
