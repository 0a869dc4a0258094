// A deterministic Platform in a temporary folder, installed for one test:
// an app bundle with an Info.plist, a container and a keychain folder, all
// removed afterwards.
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <string>

#include "common/SharedInstance.h"
#include "platform/DeterministicExecutor.h"
#include "platform/Platform.h"

class TestPlatform {
 public:
  static constexpr const char* kBundleIdentifier = "com.ferrolux.tests";

  explicit TestPlatform(std::uint64_t seed = 1) {
    std::string pattern =
        (std::filesystem::temp_directory_path() / "ferrolux-platform-XXXXXX").string();
    const char* made = ::mkdtemp(pattern.data());
    EXPECT_NE(made, nullptr);
    root_ = made != nullptr ? made : "";
    paths_.bundlePath = root_ + "/Test.app";
    paths_.containerPath = root_ + "/container";
    paths_.keychainPath = root_ + "/keychain";
    std::filesystem::create_directories(paths_.bundlePath);
    std::ofstream(paths_.bundlePath + "/Info.plist")
        << "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\"><dict>"
        << "<key>CFBundleIdentifier</key><string>" << kBundleIdentifier << "</string>"
        << "<key>CFBundleShortVersionString</key><string>1.0</string>"
        << "</dict></plist>\n";
    restart(seed);
  }

  ~TestPlatform() {
    endProcessLife();
    std::error_code ignored;
    if (!root_.empty()) std::filesystem::remove_all(root_, ignored);
  }
  TestPlatform(const TestPlatform&) = delete;
  TestPlatform& operator=(const TestPlatform&) = delete;

  // A new process life on the same files.
  void restart(std::uint64_t seed = 1) {
    endProcessLife();
    platform_ = Platform::createDeterministic(paths_, DeviceProfile(), seed);
    Platform::install(platform_);
  }

  // A new process life on the same files after the process died at once:
  // queued work and requests in flight are abandoned, not finished.
  void restartAfterCrash(std::uint64_t seed = 1) {
    TEST_resetSharedInstances();
    Platform::install(nullptr);
    platform_.reset();
    platform_ = Platform::createDeterministic(paths_, DeviceProfile(), seed);
    Platform::install(platform_);
  }

  Platform& platform() const { return *platform_; }
  DeterministicExecutor& executor() const { return *platform_->deterministicExecutor(); }
  const PlatformPaths& paths() const { return paths_; }
  const std::string& root() const { return root_; }

 private:
  // Lets queued work finish, then drops the library's shared instances and
  // the Platform, as the end of a process would.
  void endProcessLife() {
    if (platform_ != nullptr) platform_->deterministicExecutor()->runUntilIdle();
    TEST_resetSharedInstances();
    Platform::install(nullptr);
    platform_.reset();
  }

  std::string root_;
  PlatformPaths paths_;
  std::shared_ptr<Platform> platform_;
};
