// The one environment every part of the library runs in. A Platform owns
// the stand-in services of the original mobile platform: time, randomness,
// queues, notifications, preferences, keychain, the application object,
// the app bundle and container, device facts, file attributes, the
// capability registry, reachability and the test doubles for platform
// frameworks this machine lacks.
//
// The host creates one (production or deterministic) and installs it
// before the library's load step; one-per-process library objects read
// their services from the installed Platform and from nowhere else. Tests
// create their own deterministic Platform and install it for the test.
// Services live as long as the Platform; the installed production Platform
// is never destroyed.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "platform/DeviceProfile.h"

class AdNetwork;
class AdvertisingIdentifierManager;
class Application;
class Bundle;
class CapabilityRegistry;
class ClassRuntime;
class HRNAppDelegateSwizzler;
class HRNSwizzler;
class Clock;
class DeterministicExecutor;
class Dispatch;
class Executor;
class FakeClock;
class FileAttributes;
class Keychain;
class NotificationCenter;
class PaymentQueue;
class PreferenceStore;
class Random;
class Reachability;
class SearchAdsClient;
class TrackingAuthorization;

// Where the app's files are.
struct PlatformPaths {
  // The app bundle: Info.plist, TarvixService-Info.plist, Frameworks/.
  std::string bundlePath;
  // The app's container: preferences, databases, caches.
  std::string containerPath;
  // The keychain store, outside the container so that it survives
  // deleting the app.
  std::string keychainPath;
};

class Platform {
 public:
  // Real threads, the system clock and secure randomness.
  static std::shared_ptr<Platform> createProduction(const PlatformPaths& paths,
                                                    DeviceProfile device = DeviceProfile());
  // One thread, a virtual clock starting at `wall`/`uptime` and a seeded
  // generator: the same inputs give the same run.
  static std::shared_ptr<Platform> createDeterministic(const PlatformPaths& paths,
                                                       DeviceProfile device = DeviceProfile(),
                                                       std::uint64_t seed = 1,
                                                       double wall = 1767225600.0,
                                                       double uptime = 1000.0);

  // Installs the process's Platform; null uninstalls (tests only).
  static void install(std::shared_ptr<Platform> platform);
  // The installed Platform. Calling this with none installed is a
  // programming error and is fatal.
  static Platform& current();
  static std::shared_ptr<Platform> installed();

  ~Platform();
  Platform(const Platform&) = delete;
  Platform& operator=(const Platform&) = delete;

  const PlatformPaths& paths() const { return paths_; }
  const DeviceProfile& device() const { return device_; }
  // The process's launch arguments (argv), set by the host before the
  // library starts and only read afterwards.
  const std::vector<std::string>& launchArguments() const { return launchArguments_; }
  void setLaunchArguments(std::vector<std::string> arguments) {
    launchArguments_ = std::move(arguments);
  }

  Clock& clock() const { return *clock_; }
  Random& random() const { return *random_; }
  Executor& executor() const { return *executor_; }
  std::shared_ptr<Executor> sharedExecutor() const { return executor_; }
  Dispatch& dispatch() const { return *dispatch_; }
  NotificationCenter& notificationCenter() const { return *notificationCenter_; }
  Bundle& bundle() const { return *bundle_; }
  PreferenceStore& preferences() const { return *preferences_; }
  Keychain& keychain() const { return *keychain_; }
  FileAttributes& fileAttributes() const { return *fileAttributes_; }
  CapabilityRegistry& capabilities() const { return *capabilities_; }
  std::shared_ptr<Reachability> reachability() const { return reachability_; }
  // The classes looked up by name and the method tables that appearance
  // hooks replace; the swizzlers of the utilities layer work on them.
  ClassRuntime& classRuntime() const { return *classRuntime_; }
  std::shared_ptr<ClassRuntime> sharedClassRuntime() const { return classRuntime_; }
  HRNSwizzler& swizzler() const { return *swizzler_; }
  HRNAppDelegateSwizzler& appDelegateSwizzler() const { return *appDelegateSwizzler_; }
  Application& application() const { return *application_; }
  AdvertisingIdentifierManager& advertisingIdentifier() const { return *advertisingIdentifier_; }
  TrackingAuthorization& trackingAuthorization() const { return *trackingAuthorization_; }
  PaymentQueue& paymentQueue() const { return *paymentQueue_; }
  SearchAdsClient& searchAdsClient() const { return *searchAdsClient_; }
  AdNetwork& adNetwork() const { return *adNetwork_; }

  // The deterministic executor and clock; null in production.
  DeterministicExecutor* deterministicExecutor() const { return deterministicExecutor_; }
  FakeClock* fakeClock() const { return fakeClock_; }
  bool isDeterministic() const { return deterministicExecutor_ != nullptr; }

 private:
  Platform(PlatformPaths paths, DeviceProfile device, std::shared_ptr<Clock> clock,
           std::shared_ptr<Random> random, std::shared_ptr<Executor> executor);

  PlatformPaths paths_;
  DeviceProfile device_;
  std::vector<std::string> launchArguments_;
  std::shared_ptr<Clock> clock_;
  std::shared_ptr<Random> random_;
  std::shared_ptr<Executor> executor_;
  DeterministicExecutor* deterministicExecutor_ = nullptr;
  FakeClock* fakeClock_ = nullptr;
  std::unique_ptr<Dispatch> dispatch_;
  std::unique_ptr<NotificationCenter> notificationCenter_;
  std::unique_ptr<Bundle> bundle_;
  std::unique_ptr<PreferenceStore> preferences_;
  std::unique_ptr<Keychain> keychain_;
  std::unique_ptr<FileAttributes> fileAttributes_;
  std::unique_ptr<CapabilityRegistry> capabilities_;
  std::shared_ptr<Reachability> reachability_;
  std::shared_ptr<ClassRuntime> classRuntime_;
  std::unique_ptr<HRNSwizzler> swizzler_;
  std::shared_ptr<HRNAppDelegateSwizzler> appDelegateSwizzler_;
  std::unique_ptr<Application> application_;
  std::unique_ptr<AdvertisingIdentifierManager> advertisingIdentifier_;
  std::unique_ptr<TrackingAuthorization> trackingAuthorization_;
  std::unique_ptr<PaymentQueue> paymentQueue_;
  std::unique_ptr<SearchAdsClient> searchAdsClient_;
  std::unique_ptr<AdNetwork> adNetwork_;
};
