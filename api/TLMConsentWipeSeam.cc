#include "api/TLMConsentWipeSeam.h"

#include <memory>
#include <mutex>
#include <utility>

namespace {

struct SeamState {
  std::mutex mutex;
  // Shared so that a call in progress keeps its hooks while another thread
  // reconnects.
  std::shared_ptr<const TLMConsentWipeSeam::Hooks> hooks;
};

// Leaked on purpose: consent may be set from pool threads while the
// process exits.
SeamState& seamState() {
  static SeamState* const instance = new SeamState();
  return *instance;
}

std::shared_ptr<const TLMConsentWipeSeam::Hooks> connectedHooks() {
  std::lock_guard<std::mutex> lock(seamState().mutex);
  return seamState().hooks;
}

}  // namespace

void TLMConsentWipeSeam::connect(Hooks hooks) {
  std::shared_ptr<const Hooks> connected;
  if (hooks.isEngineInitialized || hooks.resetAnalyticsData) {
    connected = std::make_shared<const Hooks>(std::move(hooks));
  }
  std::lock_guard<std::mutex> lock(seamState().mutex);
  seamState().hooks.swap(connected);
}

bool TLMConsentWipeSeam::isEngineInitialized() {
  const std::shared_ptr<const Hooks> hooks = connectedHooks();
  return hooks != nullptr && hooks->isEngineInitialized && hooks->isEngineInitialized();
}

bool TLMConsentWipeSeam::resetAnalyticsData() {
  const std::shared_ptr<const Hooks> hooks = connectedHooks();
  if (hooks == nullptr || !hooks->resetAnalyticsData) return false;
  hooks->resetAnalyticsData();
  return true;
}
