// TLMRemoteConfig's side of the experiments: the experiment flags, the
// client delegate, snapshot activation and the random generator study.
#include <cstdio>
#include <utility>

#include "config/TLMRemoteConfig.h"
#include "engine/TLMLibraryVersion.h"
#include "engine/TLMMeasurement.h"
#include "platform/DeviceProfile.h"
#include "platform/Platform.h"
#include "platform/Random.h"
#include "upload/TLMMonitor.h"

namespace {

constexpr int kLevelError = 2;

constexpr char kRandomUUIDProperty[] = "random_uuid";
constexpr char kRandomSecurityProperty[] = "random_security";
constexpr std::size_t kRandomSecurityByteCount = 16;

// 32 upper-case hexadecimal digits; nothing when the generator gave fewer
// bytes than asked for.
std::optional<std::string> randomSecurityString() {
  const std::vector<std::uint8_t> bytes =
      Platform::current().random().secureBytes(kRandomSecurityByteCount);
  if (bytes.size() != kRandomSecurityByteCount) return std::nullopt;
  std::string text;
  text.reserve(2 * bytes.size());
  for (const std::uint8_t byte : bytes) {
    char digits[3];
    std::snprintf(digits, sizeof digits, "%02X", byte);
    text += digits;
  }
  return text;
}

}  // namespace

std::shared_ptr<TLMExperimentClientSeam> TLMRemoteConfig::experimentClient() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return experimentClient_;
}

std::optional<bool> TLMRemoteConfig::experimentFlagValue(std::string_view flagName) const {
  const std::shared_ptr<TLMExperimentClientSeam> client = experimentClient();
  if (client == nullptr) return std::nullopt;
  const std::optional<Object> value = client->valueForFlag(flagName);
  if (!value) return std::nullopt;
  return value->boolValue();
}

std::vector<std::int64_t> TLMRemoteConfig::experimentIDs() const {
  std::shared_ptr<TLMExperimentManagerSeam> manager;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    manager = experimentManager_;
  }
  if (manager == nullptr) return {};
  return manager->experimentIDs();
}

void TLMRemoteConfig::registerWithExperimentManager(
    std::shared_ptr<TLMExperimentManagerSeam> experimentManager) {
  if (experimentManager == nullptr) return;
  const std::map<std::string, Object> defaultFlags = {
      {std::string(kTLMExperimentFlagEfficientEngagementReporting), Object::integer(0)},
      {std::string(kTLMExperimentFlagRandomGeneratorStudy), Object::integer(0)},
      {std::string(kTLMExperimentFlagRedundantEngagementRemoval), Object::integer(0)},
      {std::string(kTLMExperimentFlagNetworkBackgroundSession), Object::integer(0)},
  };
  std::shared_ptr<TLMExperimentClientSeam> client = experimentManager->registerSDKProperty(
      kTLMExperimentSDKName, kFerroluxLibraryVersion, defaultFlags,
      std::weak_ptr<TLMExperimentClientDelegate>(weak_from_this()));
  std::lock_guard<std::mutex> lock(mutex_);
  experimentManager_ = std::move(experimentManager);
  experimentClient_ = std::move(client);
}

void TLMRemoteConfig::clientDidReceiveNewSnapshot() {
  std::lock_guard<std::mutex> lock(snapshotMutex_);
  hasNewSnapshot_ = true;
  ++snapshotGeneration_;
}

bool TLMRemoteConfig::activateNewSnapshot() {
  std::uint64_t generation = 0;
  {
    std::lock_guard<std::mutex> lock(snapshotMutex_);
    if (!hasNewSnapshot_) return false;
    generation = snapshotGeneration_;
  }
  const std::shared_ptr<TLMExperimentClientSeam> client = experimentClient();
  if (client == nullptr) return false;
  // The client works synchronously on the manager's queue, which may be
  // announcing the next snapshot: no lock is held across the call.
  Error error;
  if (!client->activateLatestSnapshot(&error)) {
    TLMMeasurement::monitor().logWithLevel(
        kLevelError, kTLMRemoteConfigCodeSnapshotActivation, "Cannot activate snapshot. Error",
        error.domain.empty() ? std::nullopt : std::optional<Object>(Object::error(error)));
    return false;
  }
  {
    std::lock_guard<std::mutex> lock(snapshotMutex_);
    // A snapshot announced while this one was activated still waits.
    if (snapshotGeneration_ == generation) hasNewSnapshot_ = false;
  }
  setRandomGeneratorStudyEnabled(currentRandomGeneratorStudyEnabledFlag());
  return true;
}

void TLMRemoteConfig::clientDidReceiveFetchError(const Error* error) {
  if (error == nullptr) return;
  TLMMeasurement::monitor().logWithLevel(kLevelError, kTLMRemoteConfigCodeExperimentFetch,
                                         "Cannot fetch experiment. Error", Object::error(*error));
}

bool TLMRemoteConfig::shouldFetchExperimentsForClient() {
  return hooks_.isMeasurementEnabled ? hooks_.isMeasurementEnabled() : false;
}

bool TLMRemoteConfig::randomGeneratorStudyEnabled() const {
  return randomGeneratorsEnabled_.load();
}

void TLMRemoteConfig::setRandomGeneratorStudyEnabled(bool enabled) {
  randomGeneratorsEnabled_.store(enabled);
}

bool TLMRemoteConfig::currentRandomGeneratorStudyEnabledFlag() const {
  return experimentFlagValue(kTLMExperimentFlagRandomGeneratorStudy).value_or(false);
}

std::optional<std::map<std::string, std::string>>
TLMRemoteConfig::dynamicCustomPropertiesForSDKProperty() {
  if (!randomGeneratorStudyEnabled()) return std::nullopt;
  std::string uuid = DeviceProfile::makeUUIDString();
  std::erase(uuid, '-');
  std::map<std::string, std::string> properties = {{kRandomUUIDProperty, std::move(uuid)}};
  if (std::optional<std::string> security = randomSecurityString()) {
    properties.emplace(kRandomSecurityProperty, std::move(*security));
  }
  return properties;
}
