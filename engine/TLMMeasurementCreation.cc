// Creating the engine: the start messages, the network client, the
// scheduler and the alarm, then the designated initialiser in two phases.
#include <memory>
#include <string>
#include <utility>

#include "api/TLMAnalytics.h"
#include "config/TLMMeasurementServiceAddress.h"
#include "config/TLMPersistedConfig.h"
#include "engine/TLMAlarm.h"
#include "engine/TLMLibraryVersion.h"
#include "engine/TLMMeasurement.h"
#include "engine/TLMMeasurementNetworkDelegate.h"
#include "engine/TLMScheduler.h"
#include "platform/Application.h"
#include "platform/CapabilityRegistry.h"
#include "platform/DispatchQueue.h"
#include "platform/Platform.h"
#include "storage/TLMDatabase.h"
#include "upload/TLMMonitor.h"
#include "utilities/HRNNetwork.h"

namespace {

constexpr int kLevelFailure = 1;
constexpr int kLevelInfo = 6;
constexpr int kLevelDebug = 7;
constexpr int kLevelVerbose = 8;

constexpr char kTopLevelVersionSelector[] = "topLevelVersion";
constexpr char kHelpLink[] = "https://ferrolux.dev/help/logging";

// The launch arguments the developer hints name.
struct LaunchArguments {
  const char* debugEnabled;
  const char* debugDisabled;
  const char* verboseEnabled;
  const char* verboseDisabled;
};
constexpr LaunchArguments kPublicArguments = {
    "-QLFAnalyticsDebugEnabled", "-noQLFAnalyticsDebugEnabled",
    "-QLFAnalyticsVerboseLoggingEnabled", "-QLFAnalyticsVerboseLoggingDisabled"};
constexpr LaunchArguments kLibraryArguments = {
    "-TLMAnalyticsDebugEnabled", "-noTLMAnalyticsDebugEnabled",
    "-TLMAnalyticsVerboseLoggingEnabled", "-TLMAnalyticsVerboseLoggingDisabled"};

std::string hint(const char* lead, const char* argument) {
  return std::string(lead) + argument + " (see " + kHelpLink + ")";
}

// The public interface's version when it answers one, else the library's.
std::string startedVersion(const CapabilityRegistry& registry, bool publicInterfaceExists) {
  if (publicInterfaceExists &&
      registry.respondsToSelector(kTLMPublicAnalyticsClass, kTopLevelVersionSelector)) {
    const OptionalObject version =
        registry.invoke(kTLMPublicAnalyticsClass, kTopLevelVersionSelector);
    if (version && version->asString() != nullptr) return *version->asString();
    if (version && version->isNumber()) return version->description();
  }
  return kFerroluxLibraryVersionString;
}

void logStartMessages(TLMMonitor& monitor) {
  const CapabilityRegistry& registry = Platform::current().capabilities();
  const bool publicInterfaceExists = registry.classExists(kTLMPublicAnalyticsClass);
  monitor.logWithLevel(
      kLevelInfo, kTLMMeasurementCodeStarted,
      "Analytics v." + startedVersion(registry, publicInterfaceExists) + " started");
  if (publicInterfaceExists) {
    monitor.logWithLevel(kLevelVerbose, kTLMMeasurementCodeBuild,
                         "Build " + std::to_string(kFerroluxLibraryVersion));
  }
  const LaunchArguments& arguments = publicInterfaceExists ? kPublicArguments : kLibraryArguments;
  if (monitor.isDebugModeEnabled()) {
    monitor.logWithLevel(kLevelInfo, kTLMMeasurementCodeDebugHint,
                         hint("To disable debug logging set the following application argument: ",
                              arguments.debugDisabled));
  } else {
    monitor.logWithLevel(kLevelInfo, kTLMMeasurementCodeDebugHint,
                         hint("To enable debug logging set the following application argument: ",
                              arguments.debugEnabled));
  }
  monitor.logWithLevel(kLevelDebug, kTLMMeasurementCodeDebugLogging, "Debug logging enabled");
  if (monitor.isVerboseLoggingEnabled()) {
    monitor.logWithLevel(kLevelDebug, kTLMMeasurementCodeVerboseHint,
                         hint("To disable verbose logging set the following application argument: ",
                              arguments.verboseDisabled));
  } else {
    monitor.logWithLevel(kLevelDebug, kTLMMeasurementCodeVerboseHint,
                         hint("To enable verbose logging set the following application argument: ",
                              arguments.verboseEnabled));
  }
}

// The client for the measurement service's host, reporting reachability
// changes on `workerQueue`; null when there is no usable address or the
// client cannot start.
std::shared_ptr<HRNNetwork> makeNetwork(std::shared_ptr<DispatchQueue> workerQueue) {
  const std::optional<std::string> baseURL = TLMMeasurementServiceAddress::configuredBaseURL();
  if (!baseURL) return nullptr;
  return HRNNetwork::initWithReachabilityHost(TLMMeasurementServiceAddress::hostOfBaseURL(*baseURL),
                                              Platform::current().reachability(),
                                              std::move(workerQueue));
}

}  // namespace

std::shared_ptr<TLMMeasurement> TLMMeasurement::initWithAppID(
    const std::string& appID, bool isAnalyticsCollectionEnabled,
    bool isAnalyticsCollectionDeactivated,
    const std::optional<std::vector<std::string>>& safelistedEvents,
    std::shared_ptr<TLMExperimentManagerSeam> experimentManager) {
  TLMMonitor& log = monitor();
  if (appID.empty()) {
    log.logWithLevel(kLevelFailure, kTLMMeasurementCodeEmptyAppID,
                     "Cannot start Measurement. App ID is empty.");
    return nullptr;
  }
  logStartMessages(log);

  // The scheduler comes first: its queue delivers the client's
  // reachability changes.
  std::shared_ptr<TLMScheduler> scheduler =
      TLMScheduler::initWithWorkerQueueLabel(kTLMWorkerQueueLabel);
  std::shared_ptr<HRNNetwork> network = makeNetwork(scheduler->workerQueue());
  if (network == nullptr) {
    log.logWithLevel(kLevelFailure, kTLMMeasurementCodeNoNetwork,
                     "Failed to initialize network component");
  }
  std::shared_ptr<TLMAlarm> alarm =
      TLMAlarm::initWithDispatchQueue(scheduler->workerQueue(), kTLMMeasurementAlarmName);
  return initWithDatabaseName(TLMDatabase::kDatabaseFileName, TLMPersistedConfig::sharedInstance(),
                              std::move(network), std::move(scheduler), std::move(alarm), appID,
                              isAnalyticsCollectionEnabled, isAnalyticsCollectionDeactivated,
                              safelistedEvents, std::move(experimentManager));
}

std::shared_ptr<TLMMeasurement> TLMMeasurement::initWithDatabaseName(
    const std::string& databaseName, std::shared_ptr<TLMPersistedConfig> persistedConfig,
    std::shared_ptr<HRNNetwork> network, std::shared_ptr<TLMScheduler> scheduler,
    std::shared_ptr<TLMAlarm> alarm, const std::string& appID, bool isAnalyticsCollectionEnabled,
    bool isAnalyticsCollectionDeactivated,
    const std::optional<std::vector<std::string>>& safelistedEvents,
    std::shared_ptr<TLMExperimentManagerSeam> experimentManager) {
  // Everything the engine does runs on the scheduler's queue and reads the
  // persisted configuration; neither can be made up here.
  if (scheduler == nullptr || persistedConfig == nullptr) return nullptr;
  std::shared_ptr<TLMMeasurement> engine(new TLMMeasurement(
      CreationTag{}, databaseName, std::move(persistedConfig), std::move(network),
      std::move(scheduler), std::move(alarm), appID, isAnalyticsCollectionEnabled,
      isAnalyticsCollectionDeactivated, safelistedEvents, std::move(experimentManager)));
  engine->finishInitialization();
  return engine;
}

void TLMMeasurement::finishInitialization() {
  if (network_ != nullptr) {
    networkDelegate_ = std::make_shared<TLMMeasurementNetworkDelegate>(weak_from_this());
    network_->setLoggerDelegate(networkDelegate_);
    // The reachability delegate is registered only while uploads wait for
    // the network (updateSchedule).
    network_->setIsDebugModeEnabled(monitor().isDebugModeEnabled());
  }

  // The first run's load timestamp survives every later run.
  const OptionalObject stored = persistedConfig_->loadTimestampValue();
  if (stored && stored->isNumber()) {
    initTimestamp_ = stored->doubleValue();
  } else {
    initTimestamp_ = TLMAnalytics::loadTimestamp();
    persistedConfig_->setLoadTimestampValue(Object::floating(initTimestamp_));
  }

  const bool enable = shouldEnableMeasurement();
  setEnabled(enable);
  wasEnabledDuringInitialization_ = enable;
  swapBackgroundTaskWithNewTaskID(kBackgroundTaskInvalid);
}
