// A facade test: a deterministic platform, a recording monitor and the
// engine's stand-ins replaced by recorders, so that a test sees what the
// facade handed to the engine.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "api/TLMAnalytics.h"
#include "engine/TLMLogEventCall.h"
#include "engine/TLMMeasurement.h"
#include "engine/TLMStandIns.h"
#include "engine/TLMUserAttribute.h"
#include "ferrolux/Object.h"
#include "platform/Clock.h"
#include "platform/Platform.h"
#include "support/MonitorRecorder.h"
#include "support/TestPlatform.h"

inline constexpr char kFacadeTestAppID[] = "1:1234567890:ios:0123456789abcdef";

struct RecordedScreenView {
  OptionalObject parameters;
  double timestamp;
};

// What reached the engine's event entry and stand-ins. Screen calls come on the caller's
// thread, so everything is taken under the mutex.
class EngineRecorder {
 public:
  ~EngineRecorder() { TLMMeasurement::TEST_setLogEventCallObserver(nullptr); }

  void install() {
    TLMMeasurement::TEST_setLogEventCallObserver([this](const TLMLogEventCall& call) {
      std::lock_guard<std::mutex> lock(mutex_);
      events_.push_back(call);
    });
    TLMStandIns& standIns = TLMStandIns::current();
    standIns.setUserAttributeOnWorkerQueue = [this](const TLMUserAttributePtr& attribute) {
      std::lock_guard<std::mutex> lock(mutex_);
      setAttributes_.push_back(attribute);
    };
    standIns.removeUserAttributeOnWorkerQueue = [this](const TLMUserAttributePtr& attribute) {
      std::lock_guard<std::mutex> lock(mutex_);
      removedAttributes_.push_back(attribute);
    };
    standIns.trackScreenWithParameters = [this](const OptionalObject& parameters,
                                                double timestamp) {
      std::lock_guard<std::mutex> lock(mutex_);
      screenViews_.push_back(RecordedScreenView{parameters, timestamp});
    };
    standIns.screenParameters = [this]() -> OptionalObject {
      std::lock_guard<std::mutex> lock(mutex_);
      return currentScreen_;
    };
  }

  // Forgets what was recorded so far.
  void clear() {
    std::lock_guard<std::mutex> lock(mutex_);
    events_.clear();
    setAttributes_.clear();
    removedAttributes_.clear();
    screenViews_.clear();
  }

  void setCurrentScreen(OptionalObject screen) {
    std::lock_guard<std::mutex> lock(mutex_);
    currentScreen_ = std::move(screen);
  }

  std::vector<TLMLogEventCall> events() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return events_;
  }
  // Events other than error events, in arrival order.
  std::vector<TLMLogEventCall> eventsNamed(const std::string& name) const {
    std::vector<TLMLogEventCall> found;
    for (const TLMLogEventCall& call : events()) {
      if (call.name == name) found.push_back(call);
    }
    return found;
  }
  std::vector<TLMUserAttributePtr> setAttributes() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return setAttributes_;
  }
  std::vector<TLMUserAttributePtr> removedAttributes() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return removedAttributes_;
  }
  std::vector<RecordedScreenView> screenViews() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return screenViews_;
  }

 private:
  mutable std::mutex mutex_;
  std::vector<TLMLogEventCall> events_;
  std::vector<TLMUserAttributePtr> setAttributes_;
  std::vector<TLMUserAttributePtr> removedAttributes_;
  std::vector<RecordedScreenView> screenViews_;
  OptionalObject currentScreen_;
};

class FacadeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    engine_.install();
    TLMAnalytics::load();
  }

  void runUntilIdle() { platform_.executor().runUntilIdle(); }
  FakeClock& clock() { return *platform_.platform().fakeClock(); }

  // Starts with the given options and lets the start work run.
  void start(const std::string& appID = kFacadeTestAppID, const std::string& origin = kTLMOriginQA,
             const OptionalObject& options = {}) {
    TLMAnalytics::startWithAppID(appID, origin, options);
    runUntilIdle();
  }

  std::shared_ptr<TLMMeasurement> engineInstance() {
    return TLMMeasurement::hasSharedInstance() ? TLMMeasurement::sharedInstance() : nullptr;
  }

  // The "_err" events that reached the engine, as (code, reported name).
  std::vector<std::pair<std::int64_t, std::string>> errorEvents() const {
    std::vector<std::pair<std::int64_t, std::string>> found;
    for (const TLMLogEventCall& call : engine_.eventsNamed("_err")) {
      const Object* code = call.parameters ? call.parameters->objectForKey("_err") : nullptr;
      const Object* name = call.parameters ? call.parameters->objectForKey("_ev") : nullptr;
      found.emplace_back(code != nullptr ? code->int64Value() : -1,
                         name != nullptr && name->asString() ? *name->asString() : "");
    }
    return found;
  }

  TestPlatform platform_;
  MonitorRecorder monitor_;
  EngineRecorder engine_;
};

// Asserts one report with `code` and its level and exact message.
inline ::testing::AssertionResult ReportedOnce(const MonitorRecorder& recorder, long code,
                                               int level, const std::string& message) {
  const std::vector<MonitorReport> reports = recorder.withCode(code);
  if (reports.size() != 1) {
    return ::testing::AssertionFailure()
           << "code " << code << " reported " << reports.size() << " times";
  }
  if (reports[0].level != level) {
    return ::testing::AssertionFailure()
           << "code " << code << " at level " << reports[0].level << ", expected " << level;
  }
  if (reports[0].message != message) {
    return ::testing::AssertionFailure()
           << "code " << code << " message \"" << reports[0].message << "\"";
  }
  return ::testing::AssertionSuccess();
}
