#include "engine/TLMEventAggregates.h"

#include <limits>
#include <utility>

#include "engine/TLMDataTypeValidator.h"
#include "engine/TLMMeasurement.h"
#include "ferrolux/Object.h"
#include "upload/TLMMonitor.h"

namespace {

constexpr std::int32_t kMaxCount = std::numeric_limits<std::int32_t>::max();

// Adds one; at INT32_MAX the count wraps to 0 and the overflow is reported.
void incrementWrapping(std::int32_t* count, long messageCode, std::string_view message) {
  if (*count >= kMaxCount) {
    *count = 0;
    TLMMeasurement::monitor().logWithLevel(5, messageCode, message);
    return;
  }
  ++*count;
}

}  // namespace

TLMEventAggregates::TLMEventAggregates(Token, std::string name, std::int32_t lifetimeCount,
                                       std::int32_t currentBundleCount,
                                       std::int32_t currentSessionCount, double lastFireTimestamp)
    : lifetimeCount_(lifetimeCount),
      currentBundleCount_(currentBundleCount),
      currentSessionCount_(currentSessionCount),
      name_(std::move(name)),
      lastFireTimestamp_(lastFireTimestamp) {}

TLMEventAggregatesPtr TLMEventAggregates::initWithName(const std::string& name,
                                                       std::int32_t lifetimeCount,
                                                       std::int32_t currentBundleCount,
                                                       std::int32_t currentSessionCount,
                                                       double lastFireTimestamp) {
  if (!TLMDataTypeValidator::isValidInternalEventName(Object(name), nullptr)) return nullptr;
  if (lifetimeCount < 0 || currentBundleCount < 0 || currentSessionCount < 0) {
    TLMMeasurement::monitor().logWithLevel(
        5, 17000, "Failed to create event aggregates object. Received negative count.");
    return nullptr;
  }
  return std::make_shared<TLMEventAggregates>(Token(), name, lifetimeCount, currentBundleCount,
                                              currentSessionCount, lastFireTimestamp);
}

void TLMEventAggregates::incrementLifetimeCount() {
  incrementWrapping(&lifetimeCount_, 17001, "Lifetime count overflow. Lifetime count reset to 0.");
}

void TLMEventAggregates::incrementCurrentBundleCount() {
  incrementWrapping(&currentBundleCount_, 17002, "Bundle count overflow. Bundle count reset to 0.");
}

void TLMEventAggregates::incrementCurrentSessionCount() {
  incrementWrapping(&currentSessionCount_, 17003,
                    "Session count overflow. Session count reset to 0.");
}

std::string TLMEventAggregates::description() const {
  std::string text = "TLMEventAggregates(name: " + name_ +
                     ", lifetime: " + std::to_string(lifetimeCount_) +
                     ", bundle: " + std::to_string(currentBundleCount_) +
                     ", session: " + std::to_string(currentSessionCount_) +
                     ", lastFire: " + Object::floating(lastFireTimestamp_).stringValue() +
                     ", samplingRate: " + std::to_string(lastSamplingRate_) +
                     ", exempt: " + (lastExemptFromSampling_ ? "YES" : "NO") +
                     ", bundledDay: " + std::to_string(lastBundledDay_) +
                     ", bundledTime: " + Object::floating(lastBundledTimestamp_).stringValue();
  if (lastSampledComplexEventID_) {
    text += ", sampledComplexEventID: " + std::to_string(*lastSampledComplexEventID_);
  }
  return text + ")";
}
