#include "engine/TLMDailyCounts.h"

#include <cmath>
#include <limits>

#include "platform/Clock.h"
#include "platform/Platform.h"

namespace {

constexpr std::int32_t kMaxCount = std::numeric_limits<std::int32_t>::max();

// Counts stop at INT32_MAX: a wrapped (negative) count would read as
// "under the limit" and let a flood of events through.
std::int32_t addSaturating(std::int32_t count, std::int32_t amount) {
  const std::int64_t sum = static_cast<std::int64_t>(count) + amount;
  if (sum > kMaxCount) return kMaxCount;
  if (sum < 0) return 0;
  return static_cast<std::int32_t>(sum);
}

std::int32_t nonNegative(std::int32_t count) { return count < 0 ? 0 : count; }

}  // namespace

TLMDailyCounts::TLMDailyCounts(std::int32_t day, std::int32_t conversionsCount,
                               std::int32_t allEventsCount, std::int32_t publicEventsCount,
                               std::int32_t errorEventsCount, std::int32_t realtimeCount)
    : day_(day),
      conversionsCount_(conversionsCount),
      allEventsCount_(allEventsCount),
      publicEventsCount_(publicEventsCount),
      errorEventsCount_(errorEventsCount),
      realtimeCount_(realtimeCount) {}

std::int32_t TLMDailyCounts::dayForTime(double now, double midnightOffset) {
  const double day = std::floor((now - midnightOffset) / kSecondsPerDay);
  if (std::isnan(day)) return 0;
  if (day >= static_cast<double>(std::numeric_limits<std::int32_t>::max())) {
    return std::numeric_limits<std::int32_t>::max();
  }
  if (day <= static_cast<double>(std::numeric_limits<std::int32_t>::min())) {
    return std::numeric_limits<std::int32_t>::min();
  }
  return static_cast<std::int32_t>(day);
}

std::int32_t TLMDailyCounts::currentDay(double midnightOffset) {
  return dayForTime(Platform::current().clock().now(), midnightOffset);
}

void TLMDailyCounts::incrementCountsForCurrentDay(std::int32_t currentDay, bool isPublicEvent,
                                                  bool isConversion,
                                                  std::int32_t byEffectiveEventCount) {
  const std::int32_t count = nonNegative(byEffectiveEventCount);
  if (currentDay != day_) {
    resetWithNewDay(currentDay);
    conversionsCount_ = isConversion ? 1 : 0;
    allEventsCount_ = count;
    publicEventsCount_ = isPublicEvent ? count : 0;
    return;
  }
  if (isConversion) conversionsCount_ = addSaturating(conversionsCount_, 1);
  allEventsCount_ = addSaturating(allEventsCount_, count);
  if (isPublicEvent) publicEventsCount_ = addSaturating(publicEventsCount_, count);
}

void TLMDailyCounts::incrementCountsForCurrentDay(std::int32_t currentDay, bool isPublicEvent,
                                                  bool isConversion) {
  incrementCountsForCurrentDay(currentDay, isPublicEvent, isConversion, 1);
}

void TLMDailyCounts::incrementErrorEventsCountForCurrentDay(std::int32_t currentDay) {
  if (currentDay != day_) {
    resetWithNewDay(currentDay);
    allEventsCount_ = 1;
    errorEventsCount_ = 1;
    return;
  }
  allEventsCount_ = addSaturating(allEventsCount_, 1);
  errorEventsCount_ = addSaturating(errorEventsCount_, 1);
}

void TLMDailyCounts::incrementRealtimeCountsForCurrentDay(std::int32_t currentDay) {
  if (currentDay != day_) {
    resetWithNewDay(currentDay);
    realtimeCount_ = 1;
    return;
  }
  realtimeCount_ = addSaturating(realtimeCount_, 1);
}

void TLMDailyCounts::resetWithNewDay(std::int32_t newDay) {
  day_ = newDay;
  conversionsCount_ = 0;
  allEventsCount_ = 0;
  publicEventsCount_ = 0;
  errorEventsCount_ = 0;
  realtimeCount_ = 0;
}

void TLMDailyCounts::decrementAllEventsCount() {
  if (allEventsCount_ > 0) --allEventsCount_;
}

std::string TLMDailyCounts::description() const {
  return "TLMDailyCounts(day: " + std::to_string(day_) +
         ", conversions: " + std::to_string(conversionsCount_) +
         ", all: " + std::to_string(allEventsCount_) +
         ", public: " + std::to_string(publicEventsCount_) +
         ", errors: " + std::to_string(errorEventsCount_) +
         ", realtime: " + std::to_string(realtimeCount_) + ")";
}
