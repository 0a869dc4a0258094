#include "upload/TLMMonitor.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <utility>
#include <vector>

#include "config/TLMUserDefaults.h"
#include "engine/TLMAEU.h"
#include "platform/CapabilityRegistry.h"
#include "platform/Clock.h"
#include "platform/Dispatch.h"
#include "platform/DispatchQueue.h"
#include "platform/Platform.h"
#include "upload/TLMErrors.h"
#include "upload/TLMException.h"

namespace {

constexpr int kMinTableLevel = 0;
constexpr int kMaxTableLevel = 8;
constexpr int kDebugLevel = 7;
constexpr int kVerboseLevel = 8;
// Bit n set: level n is never printed (2 and 5).
constexpr unsigned kSilentLevelMask = 36;
// Bit n set: level n is sampled (1, 2, 4 and 5).
constexpr unsigned kMonitorableLevelMask = 54;

constexpr long kDebugModeOnCode = 24000;
constexpr long kDebugModeOffCode = 24001;
constexpr long kVerboseLoggingOnCode = 24003;
constexpr long kVerboseLoggingOffCode = 24004;

constexpr std::int64_t kMaxDecadeStart = 1000000000000000000;  // 10^18

bool isTableLevel(int level) { return level >= kMinTableLevel && level <= kMaxTableLevel; }

std::string messageText(std::string_view message) {
  if (message.data() == nullptr) return "(Message was nil)";
  if (message.empty()) return "(Message was empty)";
  return std::string(message);
}

// "v" for |v| <= 99; otherwise the decade holding v, "low...high". The
// decade is found with integers: a floating logarithm misplaces values
// just below a power of ten (999999999999999999 rounds to 1e18). Decades
// that would reach past the 64-bit range end at its limits.
std::string encodeInteger(std::int64_t value) {
  const std::uint64_t magnitude =
      value < 0 ? 0 - static_cast<std::uint64_t>(value) : static_cast<std::uint64_t>(value);
  if (magnitude <= 99) return std::to_string(value);
  std::uint64_t power = 1;
  while (magnitude / power >= 10) power *= 10;
  const auto p = static_cast<std::int64_t>(power);  // at most 10^18
  std::int64_t low = 0;
  std::int64_t high = 0;
  if (value >= 0) {
    low = p;
    high = p == kMaxDecadeStart ? std::numeric_limits<std::int64_t>::max() : 10 * p - 1;
  } else {
    low = p == kMaxDecadeStart ? std::numeric_limits<std::int64_t>::min() : 1 - 10 * p;
    high = -p;
  }
  return std::to_string(low) + "..." + std::to_string(high);
}

std::string describeContext(const Object& context) {
  if (context.isNull()) return "(nil)";
  if (const auto* exception = context.asLibraryOf<TLMException>()) {
    if (std::optional<std::string> symbol = tlm_librarySymbolInCallStack(*exception)) {
      return *symbol + ": " + exception->description();
    }
  }
  return context.description();
}

bool hasArgument(const std::vector<std::string>& arguments, const char* argument) {
  return std::find(arguments.begin(), arguments.end(), argument) != arguments.end();
}

}  // namespace

std::shared_ptr<TLMMonitor> TLMMonitor::createWithLogLevel(int logLevel,
                                                           std::shared_ptr<TLMASLLogger> logger,
                                                           std::int64_t libraryVersion) {
  std::shared_ptr<TLMMonitor> monitor(new TLMMonitor(logLevel, std::move(logger), libraryVersion));
  monitor->start();
  return monitor;
}

std::shared_ptr<TLMMonitor> TLMMonitor::createWithLibraryVersion(std::int64_t libraryVersion) {
  return createWithLogLevel(kDefaultLogLevel, std::make_shared<TLMASLLogger>(), libraryVersion);
}

TLMMonitor::TLMMonitor(int logLevel, std::shared_ptr<TLMASLLogger> logger,
                       std::int64_t libraryVersion)
    : logLevel_(logLevel),
      logger_(logger != nullptr ? std::move(logger) : std::make_shared<TLMASLLogger>()),
      libraryVersion_(libraryVersion) {
  Dispatch& dispatch = Platform::current().dispatch();
  monitorQueue_ =
      dispatch.createSerialQueue(kQueueLabel, dispatch.globalQueue(QueuePriority::Background));
  userDefaults_ = std::make_unique<TLMUserDefaults>(kSuiteName);
}

TLMMonitor::~TLMMonitor() = default;

// Runs once the monitor is owned by a shared_ptr, so that queued work can
// hold it weakly. Reports made here go through this object, never through
// TLMMeasurement::monitor(), which is still building it.
void TLMMonitor::start() {
  std::weak_ptr<TLMMonitor> weak = weak_from_this();
  // Queued before any report of the switches below, so that samples are
  // inserted into the loaded sample, not overwritten by it.
  monitorQueue_->async([weak] {
    if (std::shared_ptr<TLMMonitor> self = weak.lock()) {
      self->migrateMonitorDataOnMonitorQueue();
      self->loadSampledDataOnMonitorQueue();
    }
  });
  // Developer switches are never honoured in an App Store installation.
  if (!TLMAEU::isFAS()) applyLaunchSwitches();
}

void TLMMonitor::applyLaunchSwitches() {
  Platform& platform = Platform::current();
  const std::vector<std::string>& arguments = platform.launchArguments();
  TLMUserDefaults& standard = TLMUserDefaults::standardUserDefaults();
  const bool storedDebugMode = standard.boolForKey(kDebugModeKey);
  const bool storedVerboseLogging = standard.boolForKey(kVerboseLoggingKey);

  platformOwnsLoggerLevel_ =
      (hasArgument(arguments, "-QLFDebugDisabled") || hasArgument(arguments, "-QLFDebugEnabled")) &&
      platform.capabilities().classExists("QLFConfiguration");

  if (hasArgument(arguments, "-noTLMAnalyticsDebugEnabled") ||
      hasArgument(arguments, "-noQLFAnalyticsDebugEnabled") ||
      hasArgument(arguments, "-QLFDebugDisabled")) {
    setDebugModeEnabled(false);
  } else if (storedDebugMode || hasArgument(arguments, "-TLMAnalyticsDebugEnabled") ||
             hasArgument(arguments, "-QLFAnalyticsDebugEnabled") ||
             hasArgument(arguments, "-QLFDebugEnabled")) {
    setDebugModeEnabled(true);
  }

  if (hasArgument(arguments, "-TLMAnalyticsVerboseLoggingDisabled") ||
      hasArgument(arguments, "-QLFAnalyticsVerboseLoggingDisabled")) {
    setVerboseLoggingEnabled(false);
  } else if (storedVerboseLogging || hasArgument(arguments, "-TLMAnalyticsVerboseLoggingEnabled") ||
             hasArgument(arguments, "-QLFAnalyticsVerboseLoggingEnabled")) {
    setVerboseLoggingEnabled(true);
  }
}

void TLMMonitor::setLoggerLevelUnlessOwned(int logLevel) {
  if (platformOwnsLoggerLevel_) return;
  HRNSetLoggerLevel(TLMASLLogger::HRNLoggerLevelFromLogLevel(logLevel));
}

void TLMMonitor::setDebugModeEnabled(bool enabled) {
  TLMUserDefaults& standard = TLMUserDefaults::standardUserDefaults();
  if (enabled && !TLMAEU::isFAS()) {
    logLevel_.store(kDebugLevel);
    setLoggerLevelUnlessOwned(kDebugLevel);
    standard.setBool(true, kDebugModeKey);
    logWithLevel(kDebugLevel, kDebugModeOnCode, "Debug mode is on");
    debugModeEnabled_.store(true);
  } else {
    logLevel_.store(kDefaultLogLevel);
    setLoggerLevelUnlessOwned(kDefaultLogLevel);
    standard.removeObjectForKey(kDebugModeKey);
    logWithLevel(kDebugLevel, kDebugModeOffCode, "Debug mode is off");
    debugModeEnabled_.store(false);
  }
}

void TLMMonitor::setVerboseLoggingEnabled(bool enabled) {
  TLMUserDefaults& standard = TLMUserDefaults::standardUserDefaults();
  if (enabled && !TLMAEU::isFAS()) {
    logLevel_.store(kVerboseLevel);
    setLoggerLevelUnlessOwned(kVerboseLevel);
    standard.setBool(true, kVerboseLoggingKey);
    // Switched on before the report: a level 8 report is dropped while
    // verbose logging is off, which would swallow this confirmation.
    verboseLoggingEnabled_.store(true);
    logWithLevel(kVerboseLevel, kVerboseLoggingOnCode, "Verbose logging is on");
  } else {
    const int level = isDebugModeEnabled() ? kDebugLevel : kDefaultLogLevel;
    logLevel_.store(level);
    setLoggerLevelUnlessOwned(level);
    standard.removeObjectForKey(kVerboseLoggingKey);
    logWithLevel(kVerboseLevel, kVerboseLoggingOffCode, "Verbose logging is off");
    verboseLoggingEnabled_.store(false);
  }
}

void TLMMonitor::setLogTag(std::string logTag) {
  std::lock_guard<std::mutex> lock(logTagMutex_);
  logTag_ = std::move(logTag);
}

std::string TLMMonitor::logTag() const {
  std::lock_guard<std::mutex> lock(logTagMutex_);
  return logTag_;
}

void TLMMonitor::logWithLevel(int level, long messageCode, std::string_view message) {
  logWithLevel(level, messageCode, message, ObjectArray{});
}

void TLMMonitor::logWithLevel(int level, long messageCode, std::string_view message,
                              OptionalObject context) {
  logWithLevel(level, messageCode, message, ObjectArray{context.value_or(Object::null())});
}

void TLMMonitor::logWithLevel(int level, long messageCode, std::string_view message,
                              OptionalObject c1, OptionalObject c2) {
  logWithLevel(level, messageCode, message,
               ObjectArray{c1.value_or(Object::null()), c2.value_or(Object::null())});
}

void TLMMonitor::logWithLevel(int level, long messageCode, std::string_view message,
                              OptionalObject c1, OptionalObject c2, OptionalObject c3) {
  logWithLevel(level, messageCode, message,
               ObjectArray{c1.value_or(Object::null()), c2.value_or(Object::null()),
                           c3.value_or(Object::null())});
}

namespace {

std::mutex& testObserverMutex() {
  static std::mutex* mutex = new std::mutex();
  return *mutex;
}

TLMMonitor::TEST_Observer& testObserver() {
  static TLMMonitor::TEST_Observer* observer = new TLMMonitor::TEST_Observer();
  return *observer;
}

// Keeps the observer's lock off the reporting path when no test watches.
std::atomic<bool> testObserverSet{false};

}  // namespace

void TLMMonitor::TEST_setObserver(TEST_Observer observer) {
  std::lock_guard<std::mutex> lock(testObserverMutex());
  testObserverSet.store(static_cast<bool>(observer));
  testObserver() = std::move(observer);
}

void TLMMonitor::logWithLevel(int level, long messageCode, std::string_view message,
                              const ObjectArray& contexts) {
  if (testObserverSet.load(std::memory_order_relaxed)) {
    std::lock_guard<std::mutex> lock(testObserverMutex());
    if (testObserver()) testObserver()(level, messageCode, message, contexts);
  }
  const bool loggable =
      !isSilentLevel(level) && HRNIsLoggableLevel(TLMASLLogger::HRNLoggerLevelFromLogLevel(level));
  const bool sampled = isMonitorableLevel(level);
  if (!loggable && !sampled) return;
  if (level == kVerboseLevel && !isVerboseLoggingEnabled()) return;

  std::weak_ptr<TLMMonitor> weak = weak_from_this();
  if (loggable) {
    std::string text = stringWithLogMessage(message, level, contexts, encodeContexts());
    monitorQueue_->async([weak, text = std::move(text), tag = logTag(), messageCode, level] {
      if (std::shared_ptr<TLMMonitor> self = weak.lock()) {
        self->logger_->logMessage(text, tag, messageCode, level);
      }
    });
  }
  if (sampled) {
    std::string encoded = encodedStringWithContextArray(contexts, false);
    std::string errorContexts;
    for (const Object& context : contexts) {
      const Error* error = context.asError();
      if (error == nullptr) continue;
      const std::string monitorContext = tlm_monitorContextOfError(*error);
      if (monitorContext.empty()) continue;
      if (!errorContexts.empty()) errorContexts += ",";
      errorContexts += monitorContext;
    }
    if (!errorContexts.empty()) encoded += "," + errorContexts;
    std::string key = monitoringDataKeyWithMessage(message, level, libraryVersion_);
    pendingSampleUpdates_.fetch_add(1);
    monitorQueue_->async([weak, key = std::move(key), encoded = std::move(encoded)] {
      std::shared_ptr<TLMMonitor> self = weak.lock();
      if (self == nullptr) return;
      Platform& platform = Platform::current();
      self->monitoringSampledData_.insertOrUpdateSampledDataWithKey(
          key, encoded, platform.clock().now(), platform.random());
      // A burst of reports flushes the suite once, after its last update,
      // instead of writing the file once per report.
      const bool lastPending = self->pendingSampleUpdates_.fetch_sub(1) == 1;
      self->saveSampledDataOnMonitorQueue(lastPending);
    });
  }
}

std::optional<std::string> TLMMonitor::monitoringDataForDispatchWithSamplePeriod(
    double samplePeriod, double lastSampledTimestamp) {
  std::optional<std::string> result;
  monitorQueue_->sync([&] {
    const double now = Platform::current().clock().now();
    result = monitoringSampledData_.takeMonitoringData(samplePeriod, lastSampledTimestamp, now);
    if (result.has_value()) saveSampledDataOnMonitorQueue(true);
  });
  return result;
}

void TLMMonitor::clearMonitoringData() {
  monitorQueue_->sync([&] {
    TLMUserDefaults& standard = TLMUserDefaults::standardUserDefaults();
    standard.removeObjectForKey(kDebugModeKey);
    standard.removeObjectForKey(kHealthMonitorKey);
    userDefaults_->removeObjectForKey(kHealthMonitorKey);
    // Flushed so that a crash cannot bring the wiped sample back.
    (void)userDefaults_->synchronize();
    loadSampledDataOnMonitorQueue();
  });
}

OptionalObject TLMMonitor::TEST_sampledEntry() {
  OptionalObject entry;
  monitorQueue_->sync([&] { entry = monitoringSampledData_.arrayRepresentation(); });
  return entry;
}

void TLMMonitor::migrateMonitorDataOnMonitorQueue() {
  TLMUserDefaults& standard = TLMUserDefaults::standardUserDefaults();
  std::int64_t state = userDefaults_->integerForKey(kMigrationStateKey);
  if (state == 0) {
    OptionalObject old = standard.objectForKey(kHealthMonitorKey);
    if (old.has_value() && old->isArray() &&
        !userDefaults_->objectForKey(kHealthMonitorKey).has_value()) {
      userDefaults_->setObject(old, kHealthMonitorKey);
    }
    userDefaults_->setInteger(1, kMigrationStateKey);
    (void)userDefaults_->synchronize();
    state = 1;
  }
  if (state == 1) {
    standard.removeObjectForKey(kHealthMonitorKey);
    (void)standard.synchronize();
    userDefaults_->setInteger(2, kMigrationStateKey);
    (void)userDefaults_->synchronize();
  }
}

void TLMMonitor::loadSampledDataOnMonitorQueue() {
  monitoringSampledData_ = TLMMonitoringSampledData(userDefaults_->objectForKey(kHealthMonitorKey));
}

void TLMMonitor::saveSampledDataOnMonitorQueue(bool flush) {
  // No entry removes the key.
  userDefaults_->setObject(monitoringSampledData_.arrayRepresentation(), kHealthMonitorKey);
  if (flush) (void)userDefaults_->synchronize();
}

std::string TLMMonitor::logLevelDescriptionFromLogLevel(int level) {
  switch (level) {
    case 0:
    case 1:
    case 2:
      return "ERROR";
    case 3:
    case 4:
    case 5:
      return "WARNING";
    case 6:
      return "NOTICE";
    case 7:
      return "DEBUG";
    default:
      return "";
  }
}

char TLMMonitor::sampleLetterFromLogLevel(int level) {
  if (level >= 0 && level <= 2) return 'E';
  if (level >= 3 && level <= 5) return 'W';
  return '?';
}

// Shifting by a negative amount or by the type's width is undefined, so
// the masks are tested only inside the table; every other level is silent
// and sampled.
bool TLMMonitor::isSilentLevel(int level) {
  if (!isTableLevel(level)) return true;
  return ((kSilentLevelMask >> level) & 1u) != 0;
}

bool TLMMonitor::isMonitorableLevel(int level) {
  if (!isTableLevel(level)) return true;
  return ((kMonitorableLevelMask >> level) & 1u) != 0;
}

std::string TLMMonitor::encodedStringWithContextArray(const ObjectArray& contexts,
                                                      bool insertSpaces) {
  std::string result;
  const char* separator = insertSpaces ? ", " : ",";
  for (std::size_t i = 0; i < contexts.size(); ++i) {
    if (i > 0) result += separator;
    result += encodedStringWithContextObject(contexts[i]);
  }
  return result;
}

std::string TLMMonitor::encodedStringWithContextObject(const OptionalObject& context) {
  if (!context.has_value()) return "";
  switch (context->kind()) {
    case Object::Kind::Null:
      return "";
    case Object::Kind::String:
      return "-";
    case Object::Kind::Number:
      // NaN has no decade; it is not a value a report can be placed by.
      // Infinities and out-of-range doubles saturate to the 64-bit limits.
      if (context->isFloatingNumber() && std::isnan(context->doubleValue())) return "?";
      return encodeInteger(context->int64Value());
    case Object::Kind::Error: {
      const Error* error = context->asError();
      return error->domain.empty() ? "-" : error->domain;
    }
    case Object::Kind::Library:
      if (const auto* exception = context->asLibraryOf<TLMException>()) {
        return tlm_librarySymbolInCallStack(*exception).value_or("-");
      }
      return "?";
    default:
      return "?";
  }
}

std::string TLMMonitor::stringWithLogMessage(std::string_view message, int /*logLevel*/,
                                             const ObjectArray& contexts, bool encodeContexts) {
  std::string text = messageText(message);
  if (contexts.empty()) return text;
  text += ": ";
  if (encodeContexts) return text + encodedStringWithContextArray(contexts, true);
  for (std::size_t i = 0; i < contexts.size(); ++i) {
    if (i > 0) text += ", ";
    text += describeContext(contexts[i]);
  }
  return text;
}

std::optional<std::string> TLMMonitor::lastTLMSymbolFromException(const TLMException* exception) {
  return ::lastTLMSymbolFromException(exception);
}

std::string TLMMonitor::monitoringDataKeyWithMessage(std::string_view message, int logLevel,
                                                     std::int64_t libraryVersion) {
  std::string key = "1";
  key += sampleLetterFromLogLevel(logLevel);
  key += "_" + std::to_string(libraryVersion) + ":";
  key.append(message.data() != nullptr ? message : std::string_view());
  return key;
}
