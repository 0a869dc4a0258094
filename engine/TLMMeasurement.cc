#include "engine/TLMMeasurement.h"

#include <utility>

#include "common/SharedInstance.h"
#include "config/TLMMeasurementServiceAddress.h"
#include "config/TLMRemoteConfig.h"
#include "engine/TLMLibraryVersion.h"
#include "upload/TLMMonitor.h"

TLMMonitor& TLMMeasurement::monitor() {
  static SharedInstance<TLMMonitor> instance;
  return *instance.get(
      [] { return TLMMonitor::createWithLibraryVersion(kFerroluxLibraryVersion); });
}

TLMRemoteConfig& TLMMeasurement::remoteConfig() { return TLMRemoteConfig::defaultInstance(); }

namespace {

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

std::shared_ptr<TLMMeasurement> TLMMeasurement::create(TLMMeasurementComponents components,
                                                       TLMMeasurementHooks hooks) {
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
      hooks_(std::move(hooks)) {}

TLMMeasurement::~TLMMeasurement() = default;

void TLMMeasurement::report(int level, long code, std::string_view message, ObjectArray contexts) {
  if (reportObserver_) reportObserver_(level, code, message, contexts);
  monitor().logWithLevel(level, code, message, contexts);
}
