// An engine on a deterministic platform with every stand-in recording its
// calls, for the lifecycle tests.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "api/TLMAnalytics.h"
#include "config/TLMPersistedConfig.h"
#include "engine/TLMMeasurement.h"
#include "engine/TLMStandIns.h"
#include "platform/DispatchQueue.h"
#include "support/MonitorRecorder.h"
#include "support/TestPlatform.h"

inline constexpr char kTestAppID[] = "1:1234567890:ios:0123456789abcdef";

class EngineLifecycleTest : public ::testing::Test {
 protected:
  EngineLifecycleTest() { recordStandIns(); }

  // Replaces the stand-ins with recording ones (again after a restart).
  void recordStandIns() {
    TLMStandIns& s = TLMStandIns::current();
    s.createAudience = [this] {
      calls_.push_back("createAudience");
      return audienceSucceeds_;
    };
    s.wipeoutAnalyticsDataAndResetComponents = [this] {
      calls_.push_back("wipe");
      return wipeSucceeds_;
    };
    s.backfillSessionNumber = [this] { calls_.push_back("backfillSessionNumber"); };
    s.createSessionReporter = [this] { calls_.push_back("createSessionReporter"); };
    s.setSessionReportingEnabled = [this](bool on) {
      calls_.push_back(on ? "sessionReporting:on" : "sessionReporting:off");
    };
    s.reportFirstOpenOnWorkerQueue = [this] { calls_.push_back("reportFirstOpen"); };
    s.reportAppUpdateOnWorkerQueue = [this] { calls_.push_back("reportAppUpdate"); };
    s.reportOSUpdateOnWorkerQueue = [this] { calls_.push_back("reportOSUpdate"); };
    s.reportStoredCampaignEventOnWorkerQueue = [this] {
      calls_.push_back("reportStoredCampaignEvent");
    };
    s.shouldAllowRequestDeferredDeepLink = [this] {
      calls_.push_back("shouldAllowRequestDeferredDeepLink");
      return true;
    };
    s.requestDeferredDeepLink = [this] { calls_.push_back("requestDeferredDeepLink"); };
    s.dropStaleStoredDeepLink = [this] { calls_.push_back("dropStaleStoredDeepLink"); };
    s.createAndStartSearchAdReporter = [this] { calls_.push_back("createAndStartSearchAds"); };
    s.setSearchAdReportingEnabled = [this](bool on) {
      calls_.push_back(on ? "searchAds:on" : "searchAds:off");
    };
    TLMMeasurement::TEST_setUploadCallObserver(
        [this](std::string_view method) { calls_.emplace_back(method); });
  }
  ~EngineLifecycleTest() override { TLMMeasurement::TEST_setUploadCallObserver(nullptr); }

  std::shared_ptr<TLMMeasurement> makeEngine(bool enabled = true, bool deactivated = false) {
    std::shared_ptr<TLMMeasurement> engine =
        TLMMeasurement::initWithAppID(kTestAppID, enabled, deactivated, std::nullopt, nullptr);
    run();
    return engine;
  }

  void run() { platform_.executor().runUntilIdle(); }

  // A new process life on the same files.
  void restart() {
    platform_.restart();
    calls_.clear();
    recordStandIns();
  }

  std::optional<long> deferredCollection() const {
    const OptionalObject value = TLMAnalytics::deferredAnalyticsCollection();
    if (!value || !value->isNumber()) return std::nullopt;
    return static_cast<long>(value->int64Value());
  }

  // The recorded calls whose name is one of `names`, in order.
  std::vector<std::string> callsAmong(const std::vector<std::string>& names) const {
    std::vector<std::string> found;
    for (const std::string& call : calls_) {
      for (const std::string& name : names) {
        if (call == name) found.push_back(call);
      }
    }
    return found;
  }
  long count(const std::string& name) const { return static_cast<long>(callsAmong({name}).size()); }

  TestPlatform platform_;
  MonitorRecorder monitor_;
  std::vector<std::string> calls_;
  bool audienceSucceeds_ = true;
  bool wipeSucceeds_ = true;
};
