// The engine's process-wide part (monitor, remote flags, shared
// instance, load step), its constructors and the network client's
// delegate.
#include "engine/TLMMeasurement.h"

#include <mutex>
#include <utility>

#include "common/SharedInstance.h"
#include "config/TLMIdentifiers.h"
#include "config/TLMIdentity.h"
#include "config/TLMMeasurementServiceAddress.h"
#include "config/TLMRemoteConfig.h"
#include "engine/TLMAEU.h"
#include "engine/TLMAlarm.h"
#include "engine/TLMLibraryVersion.h"
#include "engine/TLMMeasurementNetworkDelegate.h"
#include "engine/TLMScheduler.h"
#include "engine/TLMStandIns.h"
#include "platform/Application.h"
#include "platform/CapabilityRegistry.h"
#include "platform/NotificationCenter.h"
#include "platform/Platform.h"
#include "upload/TLMMonitor.h"
#include "utilities/HRNLogger.h"
#include "utilities/HRNNetwork.h"

namespace {

// The shared engine and whether initialisation has happened, guarded
// together by `mutex`. `creation` makes initialisation happen once without
// holding `mutex` while the engine is built: building reports through
// components that ask for the engine's flags from their own queues.
struct EngineSlot {
  std::mutex creation;
  std::mutex mutex;
  bool initialized = false;
  std::shared_ptr<TLMMeasurement> engine;
};

EngineSlot& engineSlot() {
  static EngineSlot* slot = [] {
    auto* made = new EngineSlot();
    registerSharedInstanceReset([made] {
      std::shared_ptr<TLMMeasurement> dropped;  // destroyed outside the lock
      std::lock_guard<std::mutex> lock(made->mutex);
      dropped = std::move(made->engine);
      made->initialized = false;
    });
    return made;
  }();
  return *slot;
}

std::shared_ptr<TLMMeasurement> currentEngine() {
  EngineSlot& slot = engineSlot();
  std::lock_guard<std::mutex> lock(slot.mutex);
  return slot.engine;
}

constexpr char kLoggerService[] = "<Ferrolux>";
constexpr char kNotCreatedMessage[] =
    "Tarvix Analytics for Quillfen has not been created. Please, configure Quillfen by calling "
    "[QLFApp configure]";

// Identifies the load step's observation in the notification centre.
constexpr char kLoadObserverOwner = 0;

// Called on the main thread when the app finished launching.
void handleAppDidFinishLaunching(const Notification& notification) {
  TLMStandIns& standIns = TLMStandIns::current();
  standIns.createScreenViewReporter();
  if (notification.userInfo) standIns.handleStoredURLAfterAppLaunch(*notification.userInfo);
}

// The address given, normalised; else the configured one. Fills `problem`
// when the result is none.
std::optional<std::string> resolveServiceBaseURL(const std::optional<std::string>& given,
                                                 std::string* problem) {
  if (!given) return TLMMeasurementServiceAddress::configuredBaseURL(problem);
  if (given->empty()) {
    *problem = "no measurement service address was given";
    return std::nullopt;
  }
  return TLMMeasurementServiceAddress::normalizedBaseURL(*given, problem);
}

}  // namespace

// ---- Process-wide ----

TLMMonitor& TLMMeasurement::monitor() {
  static SharedInstance<TLMMonitor> instance;
  return *instance.get(
      [] { return TLMMonitor::createWithLibraryVersion(kFerroluxLibraryVersion); });
}

TLMRemoteConfig& TLMMeasurement::remoteConfig() {
  const std::shared_ptr<TLMMeasurement> engine = currentEngine();
  if (engine != nullptr) {
    // The engine keeps its flags object for its whole life.
    const std::shared_ptr<TLMRemoteConfig> flags = engine->publishedRemoteConfig();
    if (flags != nullptr) return *flags;
  }
  return TLMRemoteConfig::defaultInstance();
}

void TLMMeasurement::initializeSharedInstanceWithAppID(
    const std::string& appID, bool isAnalyticsCollectionEnabled,
    bool isAnalyticsCollectionDeactivated,
    const std::optional<std::vector<std::string>>& safelistedEvents) {
  EngineSlot& slot = engineSlot();
  std::lock_guard<std::mutex> creating(slot.creation);
  {
    std::lock_guard<std::mutex> lock(slot.mutex);
    if (slot.initialized) return;
    slot.initialized = true;
  }
  if (appID.empty()) return;
  // The shared experiment manager arrives with the experiments work.
  std::shared_ptr<TLMMeasurement> engine =
      initWithAppID(appID, isAnalyticsCollectionEnabled, isAnalyticsCollectionDeactivated,
                    safelistedEvents, nullptr);
  if (engine == nullptr) return;
  {
    std::lock_guard<std::mutex> lock(slot.mutex);
    slot.engine = std::move(engine);
  }
  // Identifier reads prefer the running engine's identity once it has one.
  TLMIdentifiers::sharedInstance()->setEngineIdentityProvider([]() -> std::shared_ptr<TLMIdentity> {
    const std::shared_ptr<TLMMeasurement> current = currentEngine();
    return current != nullptr ? current->publishedIdentity() : nullptr;
  });
}

bool TLMMeasurement::hasSharedInstance() {
  EngineSlot& slot = engineSlot();
  std::lock_guard<std::mutex> lock(slot.mutex);
  return slot.initialized && slot.engine != nullptr;
}

std::shared_ptr<TLMMeasurement> TLMMeasurement::sharedInstance() {
  if (!TLMAEU::isOSSupported()) return nullptr;
  EngineSlot& slot = engineSlot();
  std::lock_guard<std::mutex> lock(slot.mutex);
  if (!slot.initialized &&
      Platform::current().capabilities().classExists(kTLMPublicAnalyticsClass)) {
    HRNLogWarning(kLoggerService, false, "I-ACS023147", kNotCreatedMessage);
  }
  return slot.engine;
}

void TLMMeasurement::load() {
  if (!TLMAEU::isOSSupported()) return;
  NotificationCenter& center = Platform::current().notificationCenter();
  center.removeObserver(&kLoadObserverOwner);
  center.addObserver(&kLoadObserverOwner, UIApplicationDidFinishLaunchingNotification, nullptr,
                     handleAppDidFinishLaunching);
}

// ---- Construction ----

std::shared_ptr<TLMMeasurement> TLMMeasurement::TEST_createWithComponents(
    TLMMeasurementComponents components, TLMMeasurementHooks hooks) {
  if (components.database == nullptr || components.remoteConfig == nullptr ||
      components.persistedConfig == nullptr || components.network == nullptr ||
      components.workerQueue == nullptr) {
    return nullptr;
  }
  installDefaultHooks(hooks);
  return std::shared_ptr<TLMMeasurement>(
      new TLMMeasurement(std::move(components), std::move(hooks)));
}

TLMMeasurement::TLMMeasurement(TLMMeasurementComponents components, TLMMeasurementHooks hooks)
    : database_(std::move(components.database)),
      remoteConfig_(std::move(components.remoteConfig)),
      persistedConfig_(std::move(components.persistedConfig)),
      network_(std::move(components.network)),
      workerQueue_(std::move(components.workerQueue)),
      serviceBaseURL_(resolveServiceBaseURL(components.serviceBaseURL, &serviceAddressProblem_)),
      hooks_(std::move(hooks)) {
  installUploadHooks();
}

TLMMeasurement::TLMMeasurement(CreationTag, const std::string& databaseName,
                               std::shared_ptr<TLMPersistedConfig> persistedConfig,
                               std::shared_ptr<HRNNetwork> network,
                               std::shared_ptr<TLMScheduler> scheduler,
                               std::shared_ptr<TLMAlarm> alarm, const std::string& appID,
                               bool isAnalyticsCollectionEnabled,
                               bool isAnalyticsCollectionDeactivated,
                               const std::optional<std::vector<std::string>>& safelistedEvents,
                               std::shared_ptr<TLMExperimentManagerSeam> experimentManager)
    : persistedConfig_(std::move(persistedConfig)),
      network_(std::move(network)),
      scheduler_(std::move(scheduler)),
      alarm_(std::move(alarm)),
      workerQueue_(scheduler_->workerQueue()),
      databaseName_(databaseName),
      appID_(appID),
      safelistedEvents_(safelistedEvents),
      isAnalyticsCollectionEnabled_(isAnalyticsCollectionEnabled),
      isAnalyticsCollectionDeactivated_(isAnalyticsCollectionDeactivated),
      experimentManager_(std::move(experimentManager)),
      serviceBaseURL_(resolveServiceBaseURL(std::nullopt, &serviceAddressProblem_)) {
  installDefaultHooks(hooks_);
  installUploadHooks();
}

TLMMeasurement::~TLMMeasurement() {
  if (const std::shared_ptr<Platform> platform = observedPlatform_.lock()) {
    platform->notificationCenter().removeObserver(this);
  }
}

void TLMMeasurement::report(int level, long code, std::string_view message, ObjectArray contexts) {
  if (reportObserver_) reportObserver_(level, code, message, contexts);
  monitor().logWithLevel(level, code, message, contexts);
}

// ---- Published components ----

void TLMMeasurement::publishComponents() {
  std::lock_guard<std::mutex> lock(publishedMutex_);
  publishedRemoteConfig_ = remoteConfig_;
  publishedIdentity_ = identity_;
}

std::shared_ptr<TLMRemoteConfig> TLMMeasurement::publishedRemoteConfig() const {
  std::lock_guard<std::mutex> lock(publishedMutex_);
  return publishedRemoteConfig_;
}

std::shared_ptr<TLMIdentity> TLMMeasurement::publishedIdentity() const {
  std::lock_guard<std::mutex> lock(publishedMutex_);
  return publishedIdentity_;
}

// ---- Network log forwarding ----

int TLMMeasurement::monitorLevelForNetworkLevel(int networkLevel) {
  switch (networkLevel) {
    case 3:
      return 1;
    case 4:
      return 4;
    case 5:
      return 3;
    case 6:
      return 6;
    case 7:
      return 7;
    default:
      return 3;
  }
}

void TLMMeasurement::HRNNetwork_logWithLevel(int level, long messageCode,
                                             const std::string& message) {
  HRNNetwork_logWithLevel(level, messageCode, message, ObjectArray());
}

void TLMMeasurement::HRNNetwork_logWithLevel(int level, long messageCode,
                                             const std::string& message,
                                             const OptionalObject& context) {
  HRNNetwork_logWithLevel(level, messageCode, message,
                          ObjectArray{context ? *context : Object::null()});
}

void TLMMeasurement::HRNNetwork_logWithLevel(int level, long messageCode,
                                             const std::string& message,
                                             const ObjectArray& contexts) {
  report(monitorLevelForNetworkLevel(level), messageCode, message, contexts);
}
