// The event counters of one day, behind the daily limits.
//
// Every update is given the current day number; an update for a day other
// than the stored one first switches to that day. Counts never go below 0
// and stop at INT32_MAX instead of overflowing. Used on the worker queue
// only.
#pragma once

#include <cstdint>
#include <string>

class TLMDailyCounts {
 public:
  static constexpr double kSecondsPerDay = 86400;

  TLMDailyCounts(std::int32_t day, std::int32_t conversionsCount, std::int32_t allEventsCount,
                 std::int32_t publicEventsCount, std::int32_t errorEventsCount,
                 std::int32_t realtimeCount);

  // The day number of a wall time: floor((now - midnightOffset) / 86400),
  // saturated to the 32-bit range.
  static std::int32_t dayForTime(double now, double midnightOffset);
  // dayForTime with the Platform clock's wall time.
  static std::int32_t currentDay(double midnightOffset);

  // Same day: conversions += 1 when a conversion, all += count, public +=
  // count when public. New day: the counts start over with this update.
  void incrementCountsForCurrentDay(std::int32_t currentDay, bool isPublicEvent, bool isConversion,
                                    std::int32_t byEffectiveEventCount);
  void incrementCountsForCurrentDay(std::int32_t currentDay, bool isPublicEvent, bool isConversion);
  // all += 1 and errors += 1 (on a new day: all 1, errors 1, the rest 0).
  void incrementErrorEventsCountForCurrentDay(std::int32_t currentDay);
  // realtime += 1 (on a new day: realtime 1, the rest 0).
  void incrementRealtimeCountsForCurrentDay(std::int32_t currentDay);
  // day = newDay, all counts 0.
  void resetWithNewDay(std::int32_t newDay);
  // all - 1, never below 0.
  void decrementAllEventsCount();

  std::int32_t day() const { return day_; }
  std::int32_t conversionsCount() const { return conversionsCount_; }
  std::int32_t allEventsCount() const { return allEventsCount_; }
  std::int32_t publicEventsCount() const { return publicEventsCount_; }
  std::int32_t errorEventsCount() const { return errorEventsCount_; }
  std::int32_t realtimeCount() const { return realtimeCount_; }

  std::string description() const;

  friend bool operator==(const TLMDailyCounts& a, const TLMDailyCounts& b) = default;

 private:
  std::int32_t day_;
  std::int32_t conversionsCount_;
  std::int32_t allEventsCount_;
  std::int32_t publicEventsCount_;
  std::int32_t errorEventsCount_;
  std::int32_t realtimeCount_;
};
