#include "audience/TLMConditionalUserProperty.h"

#include "engine/TLMNames.h"
#include "ferrolux/Object.h"

namespace {

std::string describeEvent(const TLMEventPtr& event) {
  return event != nullptr ? event->description() : std::string("(nil)");
}

std::string describeDouble(double value) { return Object::floating(value).stringValue(); }

}  // namespace

std::string TLMConditionalUserProperty::description() const {
  return "TLMConditionalUserProperty(active: " + std::string(active_ ? "YES" : "NO") +
         ", name: " + TLMNames::debugDisplayUserPropertyName(name_) + ", origin: " + origin_ +
         ", value: " + (value_ != nullptr ? value_->description() : std::string("(nil)")) +
         ", triggerEventName: " + TLMNames::debugDisplayEventName(triggerEventName_) +
         ", triggerTimeout: " + describeDouble(triggerTimeout_) +
         ", timeToLive: " + describeDouble(timeToLive_) +
         ", triggeredEvent: " + describeEvent(triggeredEvent_) +
         ", timedOutEvent: " + describeEvent(timedOutEvent_) +
         ", expiredEvent: " + describeEvent(expiredEvent_) +
         ", creationTimestamp: " + describeDouble(creationTimestamp_) +
         ", triggeredTimestamp: " + describeDouble(triggeredTimestamp_) + ")";
}
