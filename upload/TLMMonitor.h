// The diagnostics monitor: every component reports what it does and what
// goes wrong through the one process-wide TLMMonitor
// (TLMMeasurement::monitor()).
//
// Each report has a level (see TLMMonitor::isSilentLevel and friends), a
// message code and a text with optional context objects. A report is
// printed through the console logger when its level is shown, and reports
// of the sampled levels feed a one-entry random sample that uploads carry
// as a "health" string. The monitor also owns the two developer switches,
// debug mode and verbose logging.
//
// Threading: reporting and the accessors may be called from any thread.
// Everything that touches the sample, the suite or the logger runs on the
// serial queue "TLMMonitorQueue"; printing and sample updates are queued
// asynchronously and hold the monitor weakly, dispatch and clearing run
// synchronously on that queue (never call them from it).
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

#include "config/TLMSettingsKeys.h"
#include "ferrolux/Object.h"
#include "upload/TLMASLLogger.h"
#include "upload/TLMMonitoringSampledData.h"

class DispatchQueue;
class TLMException;
class TLMUserDefaults;

class TLMMonitor : public std::enable_shared_from_this<TLMMonitor> {
 public:
  static constexpr int kDefaultLogLevel = 6;
  static constexpr const char* kQueueLabel = "TLMMonitorQueue";
  static constexpr const char* kSuiteName = kTLMMonitorSuiteName;
  static constexpr const char* kDefaultLogTag = "<Ferrolux>";
  // In the app's own domain.
  static constexpr const char* kDebugModeKey = kTLMDebugModeKey;
  static constexpr const char* kVerboseLoggingKey = kTLMVerboseLoggingKey;
  // In the monitor's suite; its old home was the app's own domain.
  static constexpr const char* kHealthMonitorKey = kTLMHealthMonitorKey;
  static constexpr const char* kMigrationStateKey = kTLMMonitorMigrationStateKey;

  // The designated initializer: sets up the fields, queues migration and
  // the loading of the stored sample, then (outside an App Store
  // installation) applies the debug and verbose switches from the launch
  // arguments and the stored settings. Needs an installed Platform.
  static std::shared_ptr<TLMMonitor> createWithLogLevel(int logLevel,
                                                        std::shared_ptr<TLMASLLogger> logger,
                                                        std::int64_t libraryVersion);
  // Level 6 and a new console logger.
  static std::shared_ptr<TLMMonitor> createWithLibraryVersion(std::int64_t libraryVersion);

  ~TLMMonitor();
  TLMMonitor(const TLMMonitor&) = delete;
  TLMMonitor& operator=(const TLMMonitor&) = delete;

  // Reports `message` with `messageCode`. A nil context becomes the null
  // kind. A message view with no data (std::string_view()) counts as nil.
  void logWithLevel(int level, long messageCode, std::string_view message);
  void logWithLevel(int level, long messageCode, std::string_view message, OptionalObject context);
  void logWithLevel(int level, long messageCode, std::string_view message, OptionalObject c1,
                    OptionalObject c2);
  void logWithLevel(int level, long messageCode, std::string_view message, OptionalObject c1,
                    OptionalObject c2, OptionalObject c3);
  void logWithLevel(int level, long messageCode, std::string_view message,
                    const ObjectArray& contexts);

  int logLevel() const { return logLevel_.load(); }
  void setLogLevel(int level) { logLevel_.store(level); }
  void setDebugModeEnabled(bool enabled);
  bool isDebugModeEnabled() const { return debugModeEnabled_.load(); }
  void setVerboseLoggingEnabled(bool enabled);
  bool isVerboseLoggingEnabled() const { return verboseLoggingEnabled_.load(); }
  // Printed texts carry encoded contexts instead of descriptions.
  void setEncodeContexts(bool encode) { encodeContexts_.store(encode); }
  bool encodeContexts() const { return encodeContexts_.load(); }
  void setLogTag(std::string logTag);
  std::string logTag() const;
  // When set, the monitor never changes the console logger's level.
  bool platformOwnsLoggerLevel() const { return platformOwnsLoggerLevel_; }
  std::int64_t libraryVersion() const { return libraryVersion_; }
  TLMASLLogger& logger() const { return *logger_; }
  const std::shared_ptr<DispatchQueue>& monitorQueue() const { return monitorQueue_; }

  // The health string to upload, or nothing. Both arguments are seconds.
  // Runs synchronously on the monitor queue.
  std::optional<std::string> monitoringDataForDispatchWithSamplePeriod(double samplePeriod,
                                                                       double lastSampledTimestamp);
  // Forgets the stored switches and the sample. Runs synchronously on the
  // monitor queue.
  void clearMonitoringData();

  // The level table. Levels outside 0...8 (negative or above 8) are
  // silent and sampled, print under the console's warning level and have
  // the letter '?'.
  static std::string logLevelDescriptionFromLogLevel(int level);  // "" when none
  static char sampleLetterFromLogLevel(int level);
  static bool isSilentLevel(int level);
  static bool isMonitorableLevel(int level);

  static std::string encodedStringWithContextArray(const ObjectArray& contexts, bool insertSpaces);
  static std::string encodedStringWithContextObject(const OptionalObject& context);
  // The printed text of a report; a view with no data counts as nil.
  static std::string stringWithLogMessage(std::string_view message, int logLevel,
                                          const ObjectArray& contexts, bool encodeContexts);
  static std::optional<std::string> lastTLMSymbolFromException(const TLMException* exception);
  // "1" + letter + "_" + version + ":" + message.
  static std::string monitoringDataKeyWithMessage(std::string_view message, int logLevel,
                                                  std::int64_t libraryVersion);

  // Test-only: the sampled entry as stored ([context, population, key,
  // date]) or nothing. Runs synchronously on the monitor queue.
  OptionalObject TEST_sampledEntry();
  // Test-only: sees every report as it is made (on the reporting thread),
  // before any level filtering. Empty stops it.
  using TEST_Observer = std::function<void(int level, long messageCode, std::string_view message,
                                           const ObjectArray& contexts)>;
  static void TEST_setObserver(TEST_Observer observer);

 private:
  TLMMonitor(int logLevel, std::shared_ptr<TLMASLLogger> logger, std::int64_t libraryVersion);

  void start();
  void applyLaunchSwitches();
  // Run on the monitor queue.
  void migrateMonitorDataOnMonitorQueue();
  void loadSampledDataOnMonitorQueue();
  // Writes the sample to the suite; `flush` also synchronizes the suite.
  void saveSampledDataOnMonitorQueue(bool flush);
  void setLoggerLevelUnlessOwned(int logLevel);

  std::atomic<int> logLevel_;
  const std::shared_ptr<TLMASLLogger> logger_;
  // Touched only on the monitor queue.
  TLMMonitoringSampledData monitoringSampledData_;
  std::shared_ptr<DispatchQueue> monitorQueue_;
  const std::int64_t libraryVersion_;
  std::unique_ptr<TLMUserDefaults> userDefaults_;
  bool platformOwnsLoggerLevel_ = false;  // written before the monitor is shared
  std::atomic<bool> debugModeEnabled_{false};
  std::atomic<bool> verboseLoggingEnabled_{false};
  std::atomic<bool> encodeContexts_{false};
  // Sample updates queued but not yet run.
  std::atomic<int> pendingSampleUpdates_{0};
  mutable std::mutex logTagMutex_;
  std::string logTag_ = kDefaultLogTag;
};
