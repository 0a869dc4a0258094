// The running counters kept per event name in the database.
//
// Used on the worker queue only.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

class TLMEventAggregates;
using TLMEventAggregatesPtr = std::shared_ptr<TLMEventAggregates>;

class TLMEventAggregates {
 public:
  // Nil when `name` is not a valid internal event name (the validator
  // reports why) or, with a monitor report (code 17000), when a count is
  // negative. Starts with sampling rate 1, not exempt from sampling, no
  // bundled time and no sampled complex event ID.
  static TLMEventAggregatesPtr initWithName(const std::string& name, std::int32_t lifetimeCount,
                                            std::int32_t currentBundleCount,
                                            std::int32_t currentSessionCount,
                                            double lastFireTimestamp);

  // Add one; a count at INT32_MAX wraps to 0 with a monitor report
  // (codes 17001, 17002, 17003).
  void incrementLifetimeCount();
  void incrementCurrentBundleCount();
  void incrementCurrentSessionCount();

  bool lastExemptFromSampling() const { return lastExemptFromSampling_; }
  std::int32_t lifetimeCount() const { return lifetimeCount_; }
  std::int32_t currentBundleCount() const { return currentBundleCount_; }
  std::int32_t currentSessionCount() const { return currentSessionCount_; }
  std::int32_t lastSamplingRate() const { return lastSamplingRate_; }
  std::int32_t lastBundledDay() const { return lastBundledDay_; }
  const std::string& name() const { return name_; }
  double lastFireTimestamp() const { return lastFireTimestamp_; }
  double lastBundledTimestamp() const { return lastBundledTimestamp_; }
  const std::optional<std::int64_t>& lastSampledComplexEventID() const {
    return lastSampledComplexEventID_;
  }

  void setLastExemptFromSampling(bool value) { lastExemptFromSampling_ = value; }
  void setLifetimeCount(std::int32_t value) { lifetimeCount_ = value; }
  void setCurrentBundleCount(std::int32_t value) { currentBundleCount_ = value; }
  void setCurrentSessionCount(std::int32_t value) { currentSessionCount_ = value; }
  void setLastSamplingRate(std::int32_t value) { lastSamplingRate_ = value; }
  void setLastBundledDay(std::int32_t value) { lastBundledDay_ = value; }
  void setName(std::string value) { name_ = std::move(value); }
  void setLastFireTimestamp(double value) { lastFireTimestamp_ = value; }
  void setLastBundledTimestamp(double value) { lastBundledTimestamp_ = value; }
  void setLastSampledComplexEventID(std::optional<std::int64_t> value) {
    lastSampledComplexEventID_ = value;
  }

  std::string description() const;

  // Use initWithName; public only for std::make_shared.
  struct Token {
    explicit Token() = default;
  };
  TLMEventAggregates(Token, std::string name, std::int32_t lifetimeCount,
                     std::int32_t currentBundleCount, std::int32_t currentSessionCount,
                     double lastFireTimestamp);

 private:
  bool lastExemptFromSampling_ = false;
  std::int32_t lifetimeCount_;
  std::int32_t currentBundleCount_;
  std::int32_t currentSessionCount_;
  std::int32_t lastSamplingRate_ = 1;
  std::int32_t lastBundledDay_ = 0;
  std::string name_;
  double lastFireTimestamp_;
  double lastBundledTimestamp_ = 0;
  std::optional<std::int64_t> lastSampledComplexEventID_;
};
