// Shared pieces of the consent tests: a fixture on a test platform that
// records which monitor codes were printed, connects a recording wipe seam
// and can switch the two consent flags off.
#pragma once

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "api/TLMAnalytics.h"
#include "api/TLMConsentWipeSeam.h"
#include "config/TLMConsentSettingsUtil.h"
#include "config/TLMRemoteConfig.h"
#include "config/TLMSettingsKeys.h"
#include "config/TLMUserDefaults.h"
#include "support/TestPlatform.h"
#include "utilities/HRNLogger.h"

inline Object consent(std::map<std::string, Object> entries) {
  ObjectDictionary dictionary;
  for (auto& [key, value] : entries) dictionary[Object(key)] = value;
  return Object::dictionary(std::move(dictionary));
}

class ConsentTest : public ::testing::Test {
 protected:
  void SetUp() override {
    HRNLogger_TEST_setSink([this](const std::string& record) {
      std::lock_guard<std::mutex> lock(mutex_);
      printed_.push_back(record);
    });
    HRNSetLoggerLevel(HRNLoggerLevel::Debug);
    connectSeam();
  }
  void TearDown() override {
    platform_.executor().runUntilIdle();
    TLMConsentWipeSeam::connect({});
    HRNLogger_TEST_setSink(nullptr);
    HRNSetLoggerLevel(kHRNLoggerDefaultLevel);
  }

  void connectSeam() {
    TLMConsentWipeSeam::connect({[this] { return engineInitialized_; }, [this] { ++resets_; }});
  }

  // A new process life on the same files.
  void restart() {
    platform_.restart();
    HRNSetLoggerLevel(HRNLoggerLevel::Debug);
  }
  // Replaces the Info.plist entries and restarts so that the bundle reads
  // them.
  void restartWithInfoPlist(const std::string& entries) {
    std::ofstream(platform_.paths().bundlePath + "/Info.plist", std::ios::trunc)
        << "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\"><dict>"
        << "<key>CFBundleIdentifier</key><string>" << TestPlatform::kBundleIdentifier << "</string>"
        << entries << "</dict></plist>\n";
    restart();
  }

  // Connects a configuration whose consent switches are as given.
  void setSwitches(bool consentSettings, bool consentSettings3P) {
    auto config = std::make_shared<TLMRemoteConfig>("1:1234567890:ios:0123456789abcdef");
    config->cacheSettingValues(
        {{"measurement.api.consent_settings", consentSettings ? "1" : "0"},
         {"measurement.api.consent_settings_3p", consentSettings3P ? "1" : "0"}});
    TLMConsentSettingsUtil::setRemoteConfig(config);
  }

  // The consent codes printed so far, in order.
  std::vector<long> printedCodes() {
    platform_.executor().runUntilIdle();
    std::vector<long> codes;
    std::lock_guard<std::mutex> lock(mutex_);
    for (const std::string& record : printed_) {
      const std::size_t at = record.find("I-ACS");
      long code = 0;
      if (at != std::string::npos && std::sscanf(record.c_str() + at, "I-ACS%ld]", &code) == 1 &&
          code >= 25000 && code < 26000) {
        codes.push_back(code);
      }
    }
    return codes;
  }
  std::vector<std::string> printedLines() {
    platform_.executor().runUntilIdle();
    std::lock_guard<std::mutex> lock(mutex_);
    return printed_;
  }

  TLMUserDefaults& settings() { return *TLMAnalytics::settings(); }

  TestPlatform platform_;
  bool engineInitialized_ = true;
  int resets_ = 0;

 private:
  std::mutex mutex_;
  std::vector<std::string> printed_;
};
