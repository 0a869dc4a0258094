// The engine's delegate object for its network client. Internal to the
// engine.
#pragma once

#include <memory>
#include <string>
#include <utility>

#include "engine/TLMMeasurement.h"
#include "utilities/HRNNetwork.h"

// Forwards the network client's reports and reachability changes to the
// engine, which the client holds only weakly through this object.
class TLMMeasurementNetworkDelegate final : public HRNNetworkLoggerDelegate,
                                            public HRNNetworkReachabilityDelegate {
 public:
  explicit TLMMeasurementNetworkDelegate(std::weak_ptr<TLMMeasurement> engine)
      : engine_(std::move(engine)) {}

  void HRNNetwork_logWithLevel(int level, long messageCode, const std::string& message) override {
    if (auto engine = engine_.lock()) engine->HRNNetwork_logWithLevel(level, messageCode, message);
  }
  void HRNNetwork_logWithLevel(int level, long messageCode, const std::string& message,
                               const OptionalObject& context) override {
    if (auto engine = engine_.lock()) {
      engine->HRNNetwork_logWithLevel(level, messageCode, message, context);
    }
  }
  void HRNNetwork_logWithLevel(int level, long messageCode, const std::string& message,
                               const ObjectArray& contexts) override {
    if (auto engine = engine_.lock()) {
      engine->HRNNetwork_logWithLevel(level, messageCode, message, contexts);
    }
  }
  void reachabilityDidChange() override {
    if (auto engine = engine_.lock()) engine->reachabilityDidChange();
  }

 private:
  std::weak_ptr<TLMMeasurement> engine_;
};
