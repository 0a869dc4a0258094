#include "config/TLMIdentifiers.h"

#include <utility>

#include "common/SharedInstance.h"
#include "config/TLMIdentity.h"
#include "engine/TLMMeasurement.h"
#include "platform/Platform.h"
#include "platform/Random.h"
#include "upload/TLMMonitor.h"

namespace {

constexpr int kLevelError = 2;

constexpr char kNoAppIDFromIdentityMessage[] = "Unable to fetch Tarvix App ID from identity";
constexpr char kNoAppIDFromDefaultsMessage[] = "Unable to fetch Tarvix App ID from default options";
constexpr char kNoAppInstanceIDFromIdentityMessage[] =
    "Unable to fetch App Instance ID from identity";
constexpr char kNoAppInstanceIDFromSharedMessage[] =
    "Unable to fetch App Instance ID from identity shared instance";
constexpr char kEmptyOriginMessage[] =
    "Cannot set the data collection origin. Origin cannot be empty";
constexpr char kNoEffectiveAppIDMessage[] = "Unable to fetch effective App ID from identity";

void logError(long code, const char* message) {
  TLMMeasurement::monitor().logWithLevel(kLevelError, code, message);
}

}  // namespace

std::shared_ptr<TLMIdentifiers> TLMIdentifiers::sharedInstance() {
  static SharedInstance<TLMIdentifiers> instance;
  return instance.get(
      [] { return std::make_shared<TLMIdentifiers>(Platform::current().random().nextUInt64()); });
}

TLMIdentifiers::TLMIdentifiers(std::uint64_t firstAdEventID) : nextAdEventID_(firstAdEventID) {}

void TLMIdentifiers::setEngineIdentityProvider(EngineIdentityProvider provider) {
  std::lock_guard<std::mutex> lock(mutex_);
  engineIdentity_ = std::move(provider);
}

std::shared_ptr<TLMIdentity> TLMIdentifiers::identity(bool* fromEngine) {
  EngineIdentityProvider provider;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    provider = engineIdentity_;
  }
  std::shared_ptr<TLMIdentity> engineIdentity = provider ? provider() : nullptr;
  *fromEngine = engineIdentity != nullptr;
  return engineIdentity != nullptr ? engineIdentity : TLMIdentity::sharedInstance();
}

std::optional<std::string> TLMIdentifiers::tarvixAppID() {
  bool fromEngine = false;
  std::shared_ptr<TLMIdentity> identity = this->identity(&fromEngine);
  std::optional<std::string> appID = identity ? identity->appIDFromQVR() : std::nullopt;
  if (!appID) {
    if (fromEngine) {
      logError(kTLMIdentifiersCodeNoAppIDFromIdentity, kNoAppIDFromIdentityMessage);
    } else {
      logError(kTLMIdentifiersCodeNoAppIDFromDefaults, kNoAppIDFromDefaultsMessage);
    }
  }
  return appID;
}

std::optional<std::string> TLMIdentifiers::analyticsAppID() {
  bool fromEngine = false;
  std::shared_ptr<TLMIdentity> identity = this->identity(&fromEngine);
  if (identity != nullptr) {
    std::optional<std::string> appID = identity->appIDFromQVR();
    if (appID && !appID->empty()) return appID;
    appID = identity->appIDFromVelmora();
    if (appID && !appID->empty()) return appID;
  }
  logError(kTLMIdentifiersCodeNoEffectiveAppID, kNoEffectiveAppIDMessage);
  return std::nullopt;
}

std::optional<std::string> TLMIdentifiers::appInstanceID() {
  bool fromEngine = false;
  std::shared_ptr<TLMIdentity> identity = this->identity(&fromEngine);
  std::optional<std::string> appInstanceID = identity ? identity->appInstanceID() : std::nullopt;
  if (!appInstanceID) {
    if (fromEngine) {
      logError(kTLMIdentifiersCodeNoAppInstanceIDFromIdentity, kNoAppInstanceIDFromIdentityMessage);
    } else {
      logError(kTLMIdentifiersCodeNoAppInstanceIDFromShared, kNoAppInstanceIDFromSharedMessage);
    }
  }
  return appInstanceID;
}

std::string TLMIdentifiers::adEventID() {
  // Unsigned arithmetic wraps without undefined behaviour; the value is
  // reported as the signed number with the same bits.
  const std::uint64_t value = nextAdEventID_.fetch_add(1, std::memory_order_relaxed);
  return std::to_string(static_cast<std::int64_t>(value));
}

std::string TLMIdentifiers::libraryVersion() {
  return std::to_string(TLMIdentity::ferroluxLibraryVersion());
}

void TLMIdentifiers::setOrigin(const std::string& origin) {
  if (origin.empty()) {
    logError(kTLMIdentifiersCodeEmptyOrigin, kEmptyOriginMessage);
    return;
  }
  std::lock_guard<std::mutex> lock(mutex_);
  origin_ = origin;
}

std::optional<std::string> TLMIdentifiers::origin() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return origin_;
}
