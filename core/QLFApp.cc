#include "core/QLFApp.h"

#include <cstdio>
#include <memory>
#include <mutex>

#include "common/SharedInstance.h"
#include "ferrolux/QLFAnalytics.h"
#include "utilities/HRNLogger.h"

namespace {

struct QLFAppState {
  std::mutex mutex;
  std::optional<QLFOptions> options;
};

QLFAppState& appState() {
  static SharedInstance<QLFAppState> instance;
  return *instance.get([] { return std::make_shared<QLFAppState>(); });
}

std::string messageCode(long code) {
  char text[16];
  std::snprintf(text, sizeof(text), "I-COR%06ld", code);
  return text;
}

}  // namespace

bool QLFApp::configure() {
  std::optional<QLFOptions> options = QLFOptions::defaultOptions();
  if (!options) {
    HRNLogError(kQLFLoggerCore, false, messageCode(kQLFCoreCodeNoOptions),
                "The default app cannot be configured: \"TarvixService-Info.plist\" is missing "
                "from the app bundle or has no TARVIX_APP_ID.");
    return false;
  }
  return configureWithOptions(*options);
}

bool QLFApp::configureWithOptions(const QLFOptions& options) {
  QLFAppState& state = appState();
  {
    std::lock_guard<std::mutex> lock(state.mutex);
    if (state.options) {
      HRNLogError(kQLFLoggerCore, false, messageCode(kQLFCoreCodeAlreadyConfigured),
                  "The default app has already been configured.");
      return false;
    }
    state.options = options;
  }
  // Outside the lock: the analytics start asks isDefaultAppConfigured.
  QLFAnalytics::startWithConfiguration(std::nullopt, options);
  return true;
}

bool QLFApp::isDefaultAppConfigured() {
  QLFAppState& state = appState();
  std::lock_guard<std::mutex> lock(state.mutex);
  return state.options.has_value();
}

std::optional<QLFOptions> QLFApp::defaultAppOptions() {
  QLFAppState& state = appState();
  std::lock_guard<std::mutex> lock(state.mutex);
  return state.options;
}
