#include "launcher/Launcher.h"

#include <dlfcn.h>
#include <gtest/gtest.h>
#include <stdlib.h>

#include <string>

#include "tests/launcher/RecordingEngine.h"

namespace {

RecordedLaunch* recordOfLoadedEngine() {
  const std::string path = std::string(RECORDING_BUNDLE) + kEngineFrameworkPath + "/" +
                           kEngineFrameworkExecutable;
  void* handle = dlopen(path.c_str(), RTLD_NOW | RTLD_NOLOAD);
  if (handle == nullptr) return nullptr;
  auto function = reinterpret_cast<RecordFunction>(dlsym(handle, "kelvoTestRecord"));
  return function != nullptr ? function() : nullptr;
}

class LauncherTest : public ::testing::Test {
 protected:
  void SetUp() override {
    unsetenv("KELVO_TEST_HAS_CONTROLLER");
    unsetenv("KELVO_TEST_NO_INSTANCE");
    if (RecordedLaunch* record = recordOfLoadedEngine()) *record = RecordedLaunch();
  }
  char arg0[8] = "game";
  char arg1[8] = "-flag";
  char* argv[3] = {arg0, arg1, nullptr};
  const int header = 0;
};

TEST_F(LauncherTest, WithoutAppControllerSendsExecuteHeaderThenRunsMainLoop) {
  EXPECT_EQ(launchEngineFramework(RECORDING_BUNDLE, 2, argv, &header), 0);
  RecordedLaunch* record = recordOfLoadedEngine();
  ASSERT_NE(record, nullptr);
  EXPECT_EQ(record->messages,
            "getInstance;appController;setExecuteHeader;runUIApplicationMain;");
  EXPECT_TRUE(record->sameInstance);
  EXPECT_EQ(record->header, &header);
  EXPECT_EQ(record->argc, 2);
  EXPECT_EQ(record->argv, argv);
}

TEST_F(LauncherTest, WithAppControllerDoesNotSendExecuteHeader) {
  setenv("KELVO_TEST_HAS_CONTROLLER", "1", 1);
  EXPECT_EQ(launchEngineFramework(RECORDING_BUNDLE, 2, argv, &header), 0);
  RecordedLaunch* record = recordOfLoadedEngine();
  ASSERT_NE(record, nullptr);
  EXPECT_EQ(record->messages, "getInstance;appController;runUIApplicationMain;");
  EXPECT_EQ(record->header, nullptr);
}

TEST_F(LauncherTest, NilEngineObjectLeavesEveryMessageWithoutEffect) {
  setenv("KELVO_TEST_NO_INSTANCE", "1", 1);
  EXPECT_EQ(launchEngineFramework(RECORDING_BUNDLE, 2, argv, &header), 0);
  RecordedLaunch* record = recordOfLoadedEngine();
  ASSERT_NE(record, nullptr);
  EXPECT_EQ(record->messages, "getInstance;");
}

TEST_F(LauncherTest, MissingFrameworkOrPrincipalClassReturnsZero) {
  EXPECT_EQ(launchEngineFramework("/nonexistent/Bundle.app", 2, argv, &header), 0);
  EXPECT_EQ(launchEngineFramework(NO_PRINCIPAL_BUNDLE, 2, argv, &header), 0);
  EXPECT_EQ(launchEngineFramework("", 0, nullptr, nullptr), 0);
}

}  // namespace
