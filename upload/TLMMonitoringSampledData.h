// The monitor's one-entry sample of the reports of the current period
// (reservoir sampling of size one).
//
// The entry is [context, population, key, timestamp]: the encoded
// contexts (string), how many sampled reports arrived since the entry was
// made (integer), the report's monitoring key (string) and when the entry
// was made (date). The same four-item array is what the settings store
// keeps. Not thread-safe: the monitor uses it on its queue only.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "ferrolux/Object.h"

class Random;

class TLMMonitoringSampledData {
 public:
  TLMMonitoringSampledData() = default;
  // From a stored value; anything but a four-item array of string,
  // number (a whole number of at least 1), string and date gives no entry.
  explicit TLMMonitoringSampledData(const OptionalObject& stored);

  bool hasEntry() const { return entry_.has_value(); }
  // Meaningful only with an entry.
  const std::string& context() const { return entry_->context; }
  std::int64_t population() const { return entry_->population; }
  const std::string& key() const { return entry_->key; }
  double timestamp() const { return entry_->timestamp; }

  // With no entry makes [encodedContext, 1, key, now]. Otherwise counts
  // the report and, with probability 1/population, takes its key and
  // context; the timestamp stays. Nothing when either is nil.
  void insertOrUpdateSampledDataWithKey(const std::optional<std::string>& key,
                                        const std::optional<std::string>& encodedContext,
                                        double now, Random& random);

  // The health string of an entry older than `samplePeriod` (which is then
  // dropped): "<population>:<key>:<context>", or "<population>:<key>" with
  // an empty context. Nothing for a younger entry. With no entry, "0:" when
  // `lastSampledTimestamp` is positive and more than `samplePeriod` away
  // from `now`, else nothing. Seconds throughout.
  std::optional<std::string> takeMonitoringData(double samplePeriod, double lastSampledTimestamp,
                                                double now);

  // The four-item array, or nothing without an entry.
  OptionalObject arrayRepresentation() const;
  void clear() { entry_.reset(); }

 private:
  struct Entry {
    std::string context;
    std::int64_t population = 0;
    std::string key;
    double timestamp = 0;
  };
  std::optional<Entry> entry_;
};
