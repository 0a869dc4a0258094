#include "ferrolux/FerroluxLibrary.h"

#include <memory>
#include <mutex>
#include <set>
#include <string>

#include "api/TLMAnalytics.h"
#include "engine/TLMLibraryVersion.h"
#include "engine/TLMMeasurement.h"
#include "ferrolux/QLFAnalytics.h"
#include "platform/CapabilityRegistry.h"
#include "platform/Platform.h"

namespace {

constexpr char kQLFAnalyticsClassName[] = "QLFAnalytics";
constexpr char kTopLevelVersionSelector[] = "topLevelVersion";

// The class methods of QLFAnalytics that sibling components look up.
const std::set<std::string>& publicSelectors() {
  static const std::set<std::string>* selectors = new std::set<std::string>{
      "logEventWithName:parameters:",
      "logEventWithOrigin:name:parameters:",
      "logInternalEventWithOrigin:name:parameters:",
      "logEventWithOrigin:isPublicEvent:name:parameters:timestamp:ignoreEnabled:"
      "ignoreInterceptor:",
      "setUserPropertyString:forName:",
      "setUserID:",
      "setAnalyticsCollectionEnabled:",
      "setSessionTimeoutInterval:",
      "appInstanceID",
      "resetAnalyticsData",
      "setConsent:",
      "setDefaultEventParameters:",
      "setLogEventInterceptor:",
      "addLogEventListener:",
      "removeLogEventListener:",
      "notifyEventListeners:",
      "setOpenURLListener:",
      "userPropertiesIncludingInternal:queue:callback:",
      "handleOpenURL:",
      "handleUserActivity:",
      "handleEventsForBackgroundURLSession:completionHandler:",
      "dispatchAsyncOnSerialQueue:",
      "queueOperationWithBlock:",
      "unsuspendOperationQueue",
      "loadTimestamp",
      kTopLevelVersionSelector,
      "startWithConfiguration:options:",
      "updateQuillfenInstallationID",
      "observeQuillfenInstallationIDChanges",
      "notCalled",
      "sharedInstance",
  };
  return *selectors;
}

// The alias classes whose base classes exist, with what they answer.
void registerAliasClasses(CapabilityRegistry& registry) {
  registry.setClass("QLFAMeasurement", true, {"sharedInstance", "userAttributeWithName:callback:"});
  registry.setClass("QLFAEvent", true);
  registry.setClass("QLFAIdentifiers", true);
  registry.setClass("QLFAUserAttribute", true);
  registry.setClass("QLFAValue", true);
}

}  // namespace

std::string FerroluxLibrary::versionMismatchReason(std::string_view facadeVersion,
                                                   std::string_view engineVersion) {
  return "Tarvix Analytics for Quillfen version (" + std::string(facadeVersion) +
         ") does not match with Tarvix Ferrolux (" + std::string(engineVersion) +
         ") version. Please update.";
}

void FerroluxLibrary::checkVersions(std::string_view facadeVersion,
                                    std::string_view engineVersion) {
  if (facadeVersion != engineVersion) {
    throw QLFAnalyticsVersionMismatch(versionMismatchReason(facadeVersion, engineVersion));
  }
}

void FerroluxLibrary::load() {
  static std::mutex* mutex = new std::mutex();
  static std::weak_ptr<Platform>* loadedFor = new std::weak_ptr<Platform>();
  std::shared_ptr<Platform> platform = Platform::installed();
  {
    std::lock_guard<std::mutex> lock(*mutex);
    if (platform != nullptr && loadedFor->lock() == platform) return;
    checkVersions(kQLFAnalyticsVersion, kFerroluxLibraryVersionString);
    *loadedFor = platform;
  }
  CapabilityRegistry& registry = Platform::current().capabilities();
  registry.setClass(kQLFAnalyticsClassName, true, publicSelectors());
  (void)registry.setInvocable(kQLFAnalyticsClassName, kTopLevelVersionSelector, [] {
    return OptionalObject(Object(QLFAnalytics::topLevelVersion()));
  });
  registerAliasClasses(registry);
  TLMAnalytics::load();
  TLMMeasurement::load();
}
