#include "platform/Platform.h"

#include <atomic>
#include <mutex>
#include <utility>

#include "platform/AdNetwork.h"
#include "platform/AdvertisingIdentifier.h"
#include "platform/Application.h"
#include "platform/Bundle.h"
#include "platform/CapabilityRegistry.h"
#include "platform/ClassRuntime.h"
#include "platform/Clock.h"
#include "platform/DeterministicExecutor.h"
#include "platform/Dispatch.h"
#include "platform/FileAttributes.h"
#include "platform/Keychain.h"
#include "platform/NotificationCenter.h"
#include "platform/PaymentQueue.h"
#include "platform/PreferenceStore.h"
#include "platform/Random.h"
#include "platform/Reachability.h"
#include "platform/SearchAdsClient.h"
#include "platform/ThreadPoolExecutor.h"
#include "utilities/HRNAppDelegateSwizzler.h"
#include "utilities/HRNSwizzler.h"

namespace {

// How often production re-reads the network interfaces for reachability.
constexpr double kReachabilityPollSeconds = 5.0;
constexpr int kPoolThreads = 4;

// Both deliberately leaked: the installed Platform must outlive static
// destruction at exit, because pool threads may still run the library's
// queued work while the process exits.
std::mutex& installedMutex = *new std::mutex();
std::shared_ptr<Platform>& installedPlatform = *new std::shared_ptr<Platform>();
std::atomic<Platform*> installedRaw{nullptr};

}  // namespace

Platform::Platform(PlatformPaths paths, DeviceProfile device, std::shared_ptr<Clock> clock,
                   std::shared_ptr<Random> random, std::shared_ptr<Executor> executor)
    : paths_(std::move(paths)),
      device_(std::move(device)),
      clock_(std::move(clock)),
      random_(std::move(random)),
      executor_(std::move(executor)) {
  dispatch_ = std::make_unique<Dispatch>(executor_);
  notificationCenter_ = std::make_unique<NotificationCenter>();
  bundle_ = std::make_unique<Bundle>(paths_.bundlePath, paths_.containerPath);
  preferences_ = std::make_unique<PreferenceStore>(
      paths_.containerPath, *dispatch_, *notificationCenter_, bundle_->bundleIdentifier());
  keychain_ = std::make_unique<Keychain>(paths_.keychainPath);
  fileAttributes_ = std::make_unique<FileAttributes>();
  capabilities_ = std::make_unique<CapabilityRegistry>();
  reachability_ = std::make_shared<Reachability>();
  classRuntime_ = std::make_shared<ClassRuntime>();
  swizzler_ = std::make_unique<HRNSwizzler>(classRuntime_);
  application_ = std::make_unique<Application>(*notificationCenter_, *dispatch_);
  appDelegateSwizzler_ = std::make_shared<HRNAppDelegateSwizzler>(*application_);
  auto callbacks = dispatch_->globalQueue(QueuePriority::Default);
  trackingAuthorization_ = std::make_unique<TrackingAuthorization>(callbacks);
  advertisingIdentifier_ =
      std::make_unique<AdvertisingIdentifierManager>(trackingAuthorization_.get());
  paymentQueue_ = std::make_unique<PaymentQueue>(dispatch_->mainQueue());
  searchAdsClient_ = std::make_unique<SearchAdsClient>(callbacks);
  adNetwork_ = std::make_unique<AdNetwork>();
}

Platform::~Platform() {
  // Services that post to queues go before the dispatch service.
  adNetwork_.reset();
  searchAdsClient_.reset();
  paymentQueue_.reset();
  advertisingIdentifier_.reset();
  trackingAuthorization_.reset();
  appDelegateSwizzler_.reset();
  application_.reset();
  if (reachability_) reachability_->stopMonitoring();
  preferences_.reset();
}

std::shared_ptr<Platform> Platform::createProduction(const PlatformPaths& paths,
                                                     DeviceProfile device) {
  auto clock = std::make_shared<SystemClock>();
  auto executor = makeThreadPoolExecutor(clock, kPoolThreads);
  std::shared_ptr<Platform> platform(
      new Platform(paths, std::move(device), clock, std::make_shared<SystemRandom>(), executor));
  platform->reachability_->startMonitoring(
      platform->dispatch_->createSerialQueue("ferrolux.platform.reachability"),
      kReachabilityPollSeconds);
  return platform;
}

std::shared_ptr<Platform> Platform::createDeterministic(const PlatformPaths& paths,
                                                        DeviceProfile device, std::uint64_t seed,
                                                        double wall, double uptime) {
  auto clock = std::make_shared<FakeClock>(wall, uptime);
  auto executor = std::make_shared<DeterministicExecutor>(clock);
  std::shared_ptr<Platform> platform(new Platform(paths, std::move(device), clock,
                                                  std::make_shared<SeededRandom>(seed), executor));
  platform->deterministicExecutor_ = executor.get();
  platform->fakeClock_ = clock.get();
  return platform;
}

void Platform::install(std::shared_ptr<Platform> platform) {
  std::lock_guard<std::mutex> lock(installedMutex);
  installedRaw.store(platform.get(), std::memory_order_release);
  installedPlatform = std::move(platform);
}

Platform& Platform::current() {
  Platform* platform = installedRaw.load(std::memory_order_acquire);
  if (platform == nullptr) platformFatal("no Platform is installed");
  return *platform;
}

std::shared_ptr<Platform> Platform::installed() {
  std::lock_guard<std::mutex> lock(installedMutex);
  return installedPlatform;
}
