// Typed accessors over the measurement settings suite
// "com.tarvix.qvr.measurement": the engine's small persistent state
// (identifiers, timestamps, counters, session state, default event
// parameters). Keys are in config/TLMPersistedConfigKeys.h.
//
// Every read and write runs synchronously on the serial queue
// "TLMPersistedConfig", so callers on any queue see one consistent store;
// never call an accessor from a block already running on that queue (that
// is fatal). Writes through the typed setters are flushed to disk once, one
// second after the last of a burst; the setters marked "direct" do not
// schedule a flush, their values reach disk with the next flush or the
// preference store's own save.
//
// Getters answer 0, false or none for an absent key and for a stored value
// of another type (an int64 getter with a string stored answers 0).
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "config/TLMUserDefaults.h"
#include "ferrolux/Object.h"
#include "platform/DispatchQueue.h"

class TLMPersistedConfig : public std::enable_shared_from_this<TLMPersistedConfig> {
 public:
  static constexpr const char* kQueueLabel = "TLMPersistedConfig";
  // Delay between the last typed write and the flush to disk.
  static constexpr double kSynchronizeDelaySeconds = 1.0;
  // The midnight offset is drawn in [0, kMidnightOffsetRangeMilliseconds) ms.
  static constexpr std::uint64_t kMidnightOffsetRangeMilliseconds = 86400000;

  // The shared instance on suite "com.tarvix.qvr.measurement". None (and
  // monitor code 27001) when it could not be made.
  static std::shared_ptr<TLMPersistedConfig> sharedInstance();

  // A config over `suiteName`; null for an empty name.
  static std::shared_ptr<TLMPersistedConfig> create(const std::string& suiteName);

  // Cancels a pending flush. Use create().
  explicit TLMPersistedConfig(const std::string& suiteName);
  ~TLMPersistedConfig();
  TLMPersistedConfig(const TLMPersistedConfig&) = delete;
  TLMPersistedConfig& operator=(const TLMPersistedConfig&) = delete;

  const std::string& name() const { return name_; }
  TLMUserDefaults& userDefaults() { return *userDefaults_; }

  // Typed primitives. An empty key reads as 0, false or none.
  bool boolForKey(const std::string& key);
  std::int64_t int64ForKey(const std::string& key);
  // Reads `userDefault` instead of this config's own store.
  std::int64_t int64ForKey(const std::string& key, TLMUserDefaults& userDefault);
  double doubleForKey(const std::string& key);
  std::optional<std::string> stringForKey(const std::string& key);
  // A dictionary object or none.
  OptionalObject dictionaryForKey(const std::string& key);

  // Each writes, then schedules the debounced flush. None removes the key.
  void setBool(bool value, const std::string& key);
  void setInt64(std::int64_t value, const std::string& key);
  void setDouble(double value, const std::string& key);
  void setString(const std::optional<std::string>& value, const std::string& key);
  // A value the store cannot hold (a null or a set inside, non-string keys)
  // is refused with monitor code 27002; the key keeps its old value.
  void setDictionary(const OptionalObject& value, const std::string& key);

  // Named accessors, one pair per key.
  double lastDeleteStaleBundlesTimestamp();
  void setLastDeleteStaleBundlesTimestamp(double seconds);
  // Raw object.
  OptionalObject searchAdCampaignValue();
  // Direct, and without the queue: stores only a number, ignores anything
  // else.
  void setSearchAdCampaignValue(const OptionalObject& value);
  double lastSearchAdLookUpTimestamp();
  void setLastSearchAdLookUpTimestamp(double seconds);
  std::int64_t searchAdRetryCount();
  void setSearchAdRetryCount(std::int64_t count);
  std::optional<std::string> appInstanceID();
  void setAppInstanceID(const std::optional<std::string>& value);
  std::optional<std::string> appIDFromQVR();
  void setAppIDFromQVR(const std::optional<std::string>& value);
  std::optional<std::string> appIDFromVelmora();
  void setAppIDFromVelmora(const std::optional<std::string>& value);
  std::optional<std::string> hashedResettableDeviceID();
  void setHashedResettableDeviceID(const std::optional<std::string>& value);
  double lastBackoffTimestamp();
  void setLastBackoffTimestamp(double seconds);
  double lastSuccessfulUploadTimestamp();
  void setLastSuccessfulUploadTimestamp(double seconds);
  double lastFailedUploadTimestamp();
  void setLastFailedUploadTimestamp(double seconds);
  std::optional<std::string> appVersion();
  void setAppVersion(const std::optional<std::string>& value);
  std::optional<std::string> osVersion();
  void setOSVersion(const std::optional<std::string>& value);
  // Seconds in [0, 86400) with millisecond resolution, drawn at random on
  // the first read after installation or clearValues, then kept.
  double midnightOffset();
  double lastMonitorDataSampledTimestamp();
  void setLastMonitorDataSampledTimestamp(double seconds);
  std::int64_t firstOpenTimestampMilliseconds();
  void setFirstOpenTimestampMilliseconds(std::int64_t milliseconds);
  // Raw object.
  OptionalObject configServerLastModifiedString();
  void setConfigServerLastModifiedString(const std::optional<std::string>& value);
  // Raw object; setter direct.
  OptionalObject loadTimestampValue();
  void setLoadTimestampValue(const OptionalObject& value);
  // Raw object; setter direct.
  OptionalObject allowPersonalizedAds();
  void setAllowPersonalizedAds(const OptionalObject& value);
  std::optional<std::string> quillfenFeatureRollouts();
  void setQuillfenFeatureRollouts(const std::optional<std::string>& value);
  // Raw object; setter direct.
  OptionalObject deferredDeepLinkRetrievalComplete();
  void setDeferredDeepLinkRetrievalComplete(const OptionalObject& value);
  std::int64_t deferredDeepLinkRetryCount();
  void setDeferredDeepLinkRetryCount(std::int64_t count);
  // Stored as int64, read as non-zero.
  bool shouldSetLastAdvertisingIDResetUserProperty();
  void setShouldSetLastAdvertisingIDResetUserProperty(bool value);
  bool unmatchedFirstOpenWithoutIDFA();
  void setUnmatchedFirstOpenWithoutIDFA(bool value);
  bool startNewSession();
  void setStartNewSession(bool value);
  double lastSessionActivityClockTime();
  void setLastSessionActivityClockTime(double seconds);
  double engagementTimeBeforeSessionStart();
  void setEngagementTimeBeforeSessionStart(double value);
  std::int64_t sessionNumber();
  void setSessionNumber(std::int64_t value);
  OptionalObject defaultEventParameters();
  void setDefaultEventParameters(const OptionalObject& value);

  // The collection switch, kept in the app's own domain: 0 = not set,
  // 1 = enabled, 2 = disabled. The setter writes that store to disk at once.
  std::int64_t measurementEnabledState();
  void setMeasurementEnabledState(std::int64_t state);

  // Empties the whole suite.
  void clearValues();

  // Runs on the serial queue: replaces any pending flush with one
  // kSynchronizeDelaySeconds from now.
  void scheduleSynchronizeToDisk();
  void cancelScheduledSynchronize();
  // Writes the store to disk now.
  void synchronizeToDisk();

  // How many times synchronizeToDisk ran.
  int TEST_synchronizeCount() const { return synchronizeCount_.load(); }

 private:
  // Runs `block` synchronously on the serial queue.
  template <typename Block>
  void onQueue(Block&& block);
  void setObjectAndSchedule(const OptionalObject& value, const std::string& key);
  void setObjectDirect(const OptionalObject& value, const std::string& key);
  OptionalObject rawObjectForKey(const std::string& key);

  const std::string name_;
  const std::unique_ptr<TLMUserDefaults> userDefaults_;
  const std::shared_ptr<DispatchQueue> serialQueue_;
  DelayedBlock synchronizeBlock_;  // touched only on the serial queue
  std::atomic<int> synchronizeCount_{0};
};
