// Debug mode and verbose logging: launch arguments, stored settings, the
// App Store installation, the console threshold, and the environment facts
// they depend on.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "config/TLMUserDefaults.h"
#include "engine/TLMAEU.h"
#include "monitor_test_support.h"
#include "platform/CapabilityRegistry.h"

namespace {

DeviceProfile appStoreDevice() {
  DeviceProfile device;
  device.setAppStoreInstallation(true);
  return device;
}

using MonitorSwitchesTest = MonitorTest;

TEST_F(MonitorSwitchesTest, DebugModeFromAnyEnablingArgumentIsStoredUntilTurnedOff) {
  for (const char* argument :
       {"-TLMAnalyticsDebugEnabled", "-QLFAnalyticsDebugEnabled", "-QLFDebugEnabled"}) {
    relaunch({"app", argument});
    TLMMonitor& monitor = startMonitor();
    EXPECT_TRUE(monitor.isDebugModeEnabled()) << argument;
    EXPECT_EQ(monitor.logLevel(), 7);
    EXPECT_EQ(HRNLoggerCurrentLevel(), HRNLoggerLevel::Debug);
    ASSERT_EQ(logger_->records().size(), 1u);
    EXPECT_EQ(logger_->records()[0].code, 24000);
    EXPECT_EQ(logger_->records()[0].message, "Debug mode is on");
    EXPECT_EQ(logger_->records()[0].level, 7);
    // Stored: the next launch without arguments keeps it.
    relaunch(std::vector<std::string>{});
    EXPECT_TRUE(startMonitor().isDebugModeEnabled());
    monitor_->setDebugModeEnabled(false);
    executor().runUntilIdle();
    EXPECT_FALSE(monitor_->isDebugModeEnabled());
    EXPECT_EQ(monitor_->logLevel(), 6);
    EXPECT_EQ(HRNLoggerCurrentLevel(), HRNLoggerLevel::Notice);
    EXPECT_EQ(TLMUserDefaults::standardUserDefaults().objectForKey(TLMMonitor::kDebugModeKey),
              std::nullopt);
  }
  // A disabling argument wins over an enabling one and the stored setting.
  for (const char* argument :
       {"-noTLMAnalyticsDebugEnabled", "-noQLFAnalyticsDebugEnabled", "-QLFDebugDisabled"}) {
    TLMUserDefaults::standardUserDefaults().setBool(true, TLMMonitor::kDebugModeKey);
    relaunch({argument, "-TLMAnalyticsDebugEnabled"});
    EXPECT_FALSE(startMonitor().isDebugModeEnabled()) << argument;
    EXPECT_EQ(TLMUserDefaults::standardUserDefaults().objectForKey(TLMMonitor::kDebugModeKey),
              std::nullopt)
        << argument;
  }
}

TEST_F(MonitorSwitchesTest, VerboseLoggingFromArgumentsAndStoredSetting) {
  relaunch({"-QLFAnalyticsVerboseLoggingEnabled"});
  TLMMonitor& monitor = startMonitor();
  EXPECT_TRUE(monitor.isVerboseLoggingEnabled());
  EXPECT_EQ(monitor.logLevel(), 8);
  EXPECT_EQ(HRNLoggerCurrentLevel(), HRNLoggerLevel::Debug);
  EXPECT_TRUE(TLMUserDefaults::standardUserDefaults().boolForKey(TLMMonitor::kVerboseLoggingKey));
  ASSERT_EQ(logger_->records().size(), 1u);
  EXPECT_EQ(logger_->records()[0].message, "Verbose logging is on");
  EXPECT_EQ(logger_->records()[0].code, 24003);

  relaunch(std::vector<std::string>{});
  EXPECT_TRUE(startMonitor().isVerboseLoggingEnabled());

  relaunch({"-TLMAnalyticsVerboseLoggingDisabled", "-TLMAnalyticsVerboseLoggingEnabled"});
  EXPECT_FALSE(startMonitor().isVerboseLoggingEnabled());
  EXPECT_EQ(monitor_->logLevel(), 6);
  EXPECT_EQ(HRNLoggerCurrentLevel(), HRNLoggerLevel::Notice);
  EXPECT_EQ(TLMUserDefaults::standardUserDefaults().objectForKey(TLMMonitor::kVerboseLoggingKey),
            std::nullopt);
}

TEST_F(MonitorSwitchesTest, VerboseOffFallsBackToDebugLevelWhenDebugIsOn) {
  relaunch({"-TLMAnalyticsDebugEnabled", "-TLMAnalyticsVerboseLoggingEnabled"});
  TLMMonitor& monitor = startMonitor();
  logger_->clear();
  monitor.setVerboseLoggingEnabled(false);
  executor().runUntilIdle();
  EXPECT_EQ(monitor.logLevel(), 7);
  EXPECT_EQ(HRNLoggerCurrentLevel(), HRNLoggerLevel::Debug);
  ASSERT_EQ(logger_->codes(), std::vector<long>{24004});
  EXPECT_EQ(logger_->records()[0].message, "Verbose logging is off");
}

TEST_F(MonitorSwitchesTest, AppStoreInstallationIgnoresArgumentsAndStoredSwitches) {
  relaunch({"-TLMAnalyticsDebugEnabled", "-TLMAnalyticsVerboseLoggingEnabled"});
  startMonitor();
  ASSERT_TRUE(TLMUserDefaults::standardUserDefaults().boolForKey(TLMMonitor::kDebugModeKey));

  relaunch(appStoreDevice(),
           {"-QLFDebugEnabled", "-TLMAnalyticsDebugEnabled", "-TLMAnalyticsVerboseLoggingEnabled"});
  ASSERT_TRUE(TLMAEU::isFAS());
  HRNSetLoggerLevel(HRNLoggerLevel::Notice);
  TLMMonitor& monitor = startMonitor();
  EXPECT_FALSE(monitor.isDebugModeEnabled());
  EXPECT_FALSE(monitor.isVerboseLoggingEnabled());
  EXPECT_EQ(monitor.logLevel(), 6);
  EXPECT_EQ(HRNLoggerCurrentLevel(), HRNLoggerLevel::Notice);
  EXPECT_TRUE(logger_->records().empty());

  monitor.setDebugModeEnabled(true);
  monitor.setVerboseLoggingEnabled(true);
  executor().runUntilIdle();
  EXPECT_FALSE(monitor.isDebugModeEnabled());
  EXPECT_FALSE(monitor.isVerboseLoggingEnabled());
  EXPECT_EQ(monitor.logLevel(), 6);
  EXPECT_EQ(HRNLoggerCurrentLevel(), HRNLoggerLevel::Notice);
  EXPECT_EQ(TLMUserDefaults::standardUserDefaults().objectForKey(TLMMonitor::kDebugModeKey),
            std::nullopt);
}

TEST_F(MonitorSwitchesTest, PlatformOwnsTheLoggerLevelWithQLFConfiguration) {
  relaunch({"-QLFDebugEnabled"});
  Platform::current().capabilities().setClass("QLFConfiguration", true);
  TLMMonitor& monitor = startMonitor();
  EXPECT_TRUE(monitor.platformOwnsLoggerLevel());
  EXPECT_TRUE(monitor.isDebugModeEnabled());
  EXPECT_EQ(HRNLoggerCurrentLevel(), HRNLoggerLevel::Notice);

  // Without the class the monitor sets the level itself.
  relaunch({"-QLFDebugEnabled"});
  EXPECT_FALSE(startMonitor().platformOwnsLoggerLevel());
  EXPECT_EQ(HRNLoggerCurrentLevel(), HRNLoggerLevel::Debug);

  // With the class but without either QLF argument, too.
  relaunch({"-TLMAnalyticsDebugEnabled"});
  Platform::current().capabilities().setClass("QLFConfiguration", true);
  EXPECT_FALSE(startMonitor().platformOwnsLoggerLevel());
}

TEST_F(MonitorSwitchesTest, EnvironmentFacts) {
  EXPECT_TRUE(TLMAEU::isOSSupported());
  EXPECT_EQ(TLMAEU::systemVersion(), DeviceProfile::kDefaultOSVersion);
  EXPECT_EQ(TLMAEU::deviceModel(), DeviceProfile::kDefaultDeviceModel);
  EXPECT_FALSE(TLMAEU::isNOD());
  EXPECT_FALSE(TLMAEU::isFAS());
  EXPECT_FALSE(TLMAEU::isAEX());

  DeviceProfile old = appStoreDevice();
  old.setOSVersion("7.1.2");
  relaunch(old);
  EXPECT_FALSE(TLMAEU::isOSSupported());
  EXPECT_TRUE(TLMAEU::isFAS());

  // Never an App Store installation on the simulator or in a sandbox one.
  for (const char* model : {"x86_64", "i386"}) {
    DeviceProfile simulator = appStoreDevice();
    simulator.setDeviceModel(model);
    relaunch(simulator);
    EXPECT_TRUE(TLMAEU::isNOD());
    EXPECT_FALSE(TLMAEU::isFAS());
  }
  DeviceProfile sandbox = appStoreDevice();
  sandbox.setSandboxInstallation(true);
  sandbox.setAppExtension(true);
  relaunch(sandbox);
  EXPECT_TRUE(TLMAEU::isASRS());
  EXPECT_FALSE(TLMAEU::isFAS());
  EXPECT_TRUE(TLMAEU::isAEX());
}

}  // namespace
