// A user property that is set when a trigger event is logged and removed
// again after a while: what to set, when it becomes active, how long it
// waits and lives, and the events to log when it is triggered, times out
// or expires.
//
// A plain value: copies are independent records that share the event
// objects, which are not changed once set here. Not thread-safe; used on
// the worker queue once handed to the engine.
#pragma once

#include <memory>
#include <string>
#include <utility>

#include "engine/TLMEvent.h"
#include "engine/TLMValue.h"

class TLMConditionalUserProperty;
using TLMConditionalUserPropertyPtr = std::shared_ptr<TLMConditionalUserProperty>;

class TLMConditionalUserProperty {
 public:
  TLMConditionalUserProperty() = default;

  static TLMConditionalUserPropertyPtr create() {
    return std::make_shared<TLMConditionalUserProperty>();
  }
  // A new record with the same fields.
  TLMConditionalUserPropertyPtr copy() const {
    return std::make_shared<TLMConditionalUserProperty>(*this);
  }

  // Triggered: its user property is set.
  bool active() const { return active_; }
  const std::string& name() const { return name_; }
  const std::string& origin() const { return origin_; }
  // Null means "remove".
  const TLMValuePtr& value() const { return value_; }
  // Empty: active at once.
  const std::string& triggerEventName() const { return triggerEventName_; }
  // Seconds an inactive property waits for its trigger.
  double triggerTimeout() const { return triggerTimeout_; }
  // Seconds an active property lives.
  double timeToLive() const { return timeToLive_; }
  // Events to log when it is triggered, times out or expires (each may be
  // null). A clear request carries its clear event as the expired event.
  const TLMEventPtr& triggeredEvent() const { return triggeredEvent_; }
  const TLMEventPtr& timedOutEvent() const { return timedOutEvent_; }
  const TLMEventPtr& expiredEvent() const { return expiredEvent_; }
  // Seconds since 1970.
  double creationTimestamp() const { return creationTimestamp_; }
  double triggeredTimestamp() const { return triggeredTimestamp_; }

  void setActive(bool value) { active_ = value; }
  void setName(std::string value) { name_ = std::move(value); }
  void setOrigin(std::string value) { origin_ = std::move(value); }
  void setValue(TLMValuePtr value) { value_ = std::move(value); }
  void setTriggerEventName(std::string value) { triggerEventName_ = std::move(value); }
  void setTriggerTimeout(double value) { triggerTimeout_ = value; }
  void setTimeToLive(double value) { timeToLive_ = value; }
  void setTriggeredEvent(TLMEventPtr value) { triggeredEvent_ = std::move(value); }
  void setTimedOutEvent(TLMEventPtr value) { timedOutEvent_ = std::move(value); }
  void setExpiredEvent(TLMEventPtr value) { expiredEvent_ = std::move(value); }
  void setCreationTimestamp(double value) { creationTimestamp_ = value; }
  void setTriggeredTimestamp(double value) { triggeredTimestamp_ = value; }

  std::string description() const;

 private:
  bool active_ = false;
  std::string name_;
  std::string origin_;
  TLMValuePtr value_;
  std::string triggerEventName_;
  double triggerTimeout_ = 0;
  double timeToLive_ = 0;
  TLMEventPtr triggeredEvent_;
  TLMEventPtr timedOutEvent_;
  TLMEventPtr expiredEvent_;
  double creationTimestamp_ = 0;
  double triggeredTimestamp_ = 0;
};
