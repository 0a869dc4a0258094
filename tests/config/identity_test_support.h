// Shared pieces of the identity tests: a deterministic platform with the
// advertising classes declared, switchable consent and remote flags, and
// an identity built on the shared persisted config.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <optional>
#include <string>

#include "common/SharedInstance.h"
#include "config/TLMDefaultIdentitySupport.h"
#include "config/TLMIdentity.h"
#include "config/TLMPersistedConfig.h"
#include "config/TLMPlatformIdentitySupport.h"
#include "platform/AdvertisingIdentifier.h"
#include "platform/CapabilityRegistry.h"
#include "platform/Clock.h"
#include "platform/DeterministicExecutor.h"
#include "platform/Platform.h"
#include "support/TestPlatform.h"

inline constexpr char kFirstAdvertisingID[] = "6D92078A-8246-4BA4-AE5B-76104861E7DC";
inline constexpr char kSecondAdvertisingID[] = "1E2DFA89-496A-47FD-9941-DF1FC4E6484A";
// MD5 of kFirstAdvertisingID's UTF-8 bytes.
inline constexpr char kFirstAdvertisingIDHash[] = "f2d1311ca5c1ecb214c19a26e9ddbad0";

class IdentityTest : public ::testing::Test {
 protected:
  void SetUp() override { declarePlatformClasses(); }

  void TearDown() override {
    if (otherPlatform_ != nullptr) {
      otherPlatform_->deterministicExecutor()->runUntilIdle();
      TEST_resetSharedInstances();
      // Stays installed; TestPlatform's teardown uninstalls (and frees) it.
    }
  }

  // Declares the advertising and tracking classes (each can be left out)
  // and lets tracking be authorised with `identifier`.
  void declarePlatformClasses(bool adSupport = true, bool trackingManager = true,
                              std::optional<std::string> identifier = kFirstAdvertisingID) {
    Platform& platform = Platform::current();
    if (adSupport) {
      platform.capabilities().setClass(
          kAdvertisingIdentifierManagerClassName, true,
          {kAdvertisingIdentifierManagerSharedManagerSelector, kAdvertisingIdentifierSelector,
           kAdvertisingTrackingEnabledSelector});
    } else {
      platform.capabilities().removeClass(kAdvertisingIdentifierManagerClassName);
    }
    if (trackingManager) {
      platform.capabilities().setClass(kTrackingManagerClassName, true,
                                       {kTrackingAuthorizationStatusSelector});
    } else {
      platform.capabilities().removeClass(kTrackingManagerClassName);
    }
    platform.trackingAuthorization().setTrackingAuthorizationStatus(
        TrackingAuthorizationStatus::Authorized);
    platform.advertisingIdentifier().setAdvertisingIdentifier(std::move(identifier));
  }

  // A new process life on the same files, with the classes declared again.
  // Each life draws other random numbers, as real processes do.
  void restart() {
    test_.executor().advance(5);  // lets the persisted config reach disk
    test_.restart(++seed_);
    declarePlatformClasses();
  }

  // Replaces the installed platform with one on the same files but another
  // device (for the OS-version rules). Undone in TearDown.
  void installDevice(const DeviceProfile& device) {
    test_.executor().runUntilIdle();
    TEST_resetSharedInstances();
    otherPlatform_ = Platform::createDeterministic(test_.paths(), device);
    Platform::install(otherPlatform_);
  }

  DeterministicExecutor& executor() { return *Platform::current().deterministicExecutor(); }
  void setAdID(std::optional<std::string> id) {
    Platform::current().advertisingIdentifier().setAdvertisingIdentifier(std::move(id));
  }
  void setTracking(TrackingAuthorizationStatus status) {
    Platform::current().trackingAuthorization().setTrackingAuthorizationStatus(status);
  }

  TLMIdentityHooks hooks() {
    TLMIdentityHooks hooks;
    hooks.isAdStorageDenied = [this] { return adDenied_.load(); };
    hooks.isAnalyticsStorageDenied = [this] { return analyticsDenied_.load(); };
    hooks.adIDCacheTime = [this] { return cacheTime_.load(); };
    hooks.gateIDFAOnATTMASEnabled = [this] { return gate_.load(); };
    hooks.lastAdvertisingIDResetFeatureEnabled = [this] { return resetFeature_.load(); };
    return hooks;
  }

  std::shared_ptr<TLMPersistedConfig> persisted() { return TLMPersistedConfig::sharedInstance(); }

  std::shared_ptr<TLMIdentity> makeIdentity() {
    auto support = std::make_shared<TLMDefaultIdentitySupport>(
        std::make_shared<TLMPlatformIdentitySupport>(Platform::installed()));
    return TLMIdentity::initWithPersistedConfig(persisted(), support, hooks());
  }

  std::atomic<bool> adDenied_{false};
  std::atomic<bool> analyticsDenied_{false};
  std::atomic<double> cacheTime_{1.0};
  std::atomic<bool> gate_{false};
  std::atomic<bool> resetFeature_{true};
  std::uint64_t seed_ = 1;
  TestPlatform test_;

 private:
  std::shared_ptr<Platform> otherPlatform_;
};
