// The raw-event metadata: the installation's app, library, device, consent
// and identifier fields and every user property, shared by the raw events
// stored while they stay the same. Runs on the worker queue.
#include <algorithm>
#include <cstdint>
#include <limits>
#include <optional>
#include <string>
#include <vector>

#include "config/TLMConsentSettingsUtil.h"
#include "config/TLMIdentity.h"
#include "engine/TLMEnvironmentInfo.h"
#include "engine/TLMMeasurement.h"
#include "engine/TLMUserAttribute.h"
#include "upload/TLMPBUploadMessages.h"

namespace {

constexpr std::int32_t kProtocolVersion = 1;
constexpr char kPlatformName[] = "ios";
constexpr char kManualInstallAppStore[] = "manual_install";
// Shorter consent signals carry no state and are not written.
constexpr std::size_t kMinConsentSignalsLength = 4;

std::int32_t saturatedInt32(std::int64_t value) {
  return static_cast<std::int32_t>(std::clamp<std::int64_t>(
      value, std::numeric_limits<std::int32_t>::min(), std::numeric_limits<std::int32_t>::max()));
}

bool nonEmpty(const std::optional<std::string>& value) { return value && !value->empty(); }

}  // namespace

TLMPBMeasurementBundle TLMMeasurement::createRawEventMetadataWithUserAttributes(
    const std::vector<TLMUserAttributePtr>& userAttributes) {
  TLMPBMeasurementBundle metadata;
  metadata.set_protocol_version(kProtocolVersion);
  metadata.set_platform(kPlatformName);
  metadata.set_library_version(TLMIdentity::ferroluxLibraryVersion());

  if (identity_ != nullptr) {
    TLMIdentity& identity = *identity_;
    metadata.set_app_id(identity.appID());
    if (!identity.isFromAppStore()) metadata.set_app_store(kManualInstallAppStore);
    if (identity.appVersion()) metadata.set_app_version(*identity.appVersion());

    const std::optional<std::string> qvrAppID = identity.appIDFromQVR();
    if (nonEmpty(qvrAppID)) {
      metadata.set_qvr_app_id(*qvrAppID);
    } else {
      const std::optional<std::string> velmoraAppID = identity.appIDFromVelmora();
      if (nonEmpty(velmoraAppID)) metadata.set_velmora_app_id(*velmoraAppID);
    }

    const std::optional<std::string> installationID = identity.quillfenInstallationID();
    if (nonEmpty(installationID)) metadata.set_installation_id(*installationID);
    if (identity.appVersionMajor()) {
      metadata.set_app_version_major(saturatedInt32(*identity.appVersionMajor()));
    }
    if (identity.appVersionMinor()) {
      metadata.set_app_version_minor(saturatedInt32(*identity.appVersionMinor()));
    }
    if (identity.appVersionRelease()) {
      metadata.set_app_version_release(saturatedInt32(*identity.appVersionRelease()));
    }
  }
  applyConsentAndIdentifierFields(metadata);

  TLMEnvironmentInfo& environment = *TLMEnvironmentInfo::sharedInstance();
  metadata.set_device_model(environment.deviceModel());
  metadata.set_os_version(environment.deviceOSVersion());
  metadata.set_time_zone_offset_minutes(environment.timeZoneOffsetMinutes());
  const std::optional<std::string> language = environment.userDefaultLanguage();
  if (language) metadata.set_user_default_language(*language);

  for (const TLMUserAttributePtr& attribute : userAttributes) {
    if (attribute != nullptr) metadata.add_user_attributes(attribute->protoUserAttribute());
  }
  return metadata;
}

void TLMMeasurement::applyConsentAndIdentifierFields(TLMPBMeasurementBundle& bundle) {
  // Cleared first: a bundle made under earlier consent must not keep an
  // identifier that current consent withholds.
  bundle.clear_att_status();
  bundle.clear_resettable_device_id();
  bundle.clear_vendor_device_id();
  bundle.clear_app_instance_id();
  bundle.clear_limited_ad_tracking();
  bundle.clear_consent_signals();

  if (identity_ != nullptr) {
    TLMIdentity& identity = *identity_;
    // Identity withholds what consent denies, but it keeps the last
    // advertising identifier it read when ad storage is denied later, so
    // ad storage is checked here as well.
    if (TLMIdentity::iOS14OrAbove()) {
      const std::uint64_t status = identity.appleConsentStatus();
      if (status != kTLMAppleConsentUnavailable) {
        bundle.set_att_status(static_cast<std::uint32_t>(status));
      }
    }
    if (!TLMConsentSettingsUtil::isAdStorageDenied()) {
      const std::optional<std::string> resettableDeviceID = identity.resettableDeviceID();
      if (nonEmpty(resettableDeviceID)) bundle.set_resettable_device_id(*resettableDeviceID);
    }
    if (!TLMConsentSettingsUtil::isAnalyticsStorageDenied()) {
      const std::optional<std::string> vendorDeviceID = identity.identifierForVendor();
      if (nonEmpty(vendorDeviceID)) bundle.set_vendor_device_id(*vendorDeviceID);
      const std::optional<std::string> appInstanceID = identity.appInstanceID();
      if (nonEmpty(appInstanceID)) bundle.set_app_instance_id(*appInstanceID);
    }
    if (identity.hasLimitedAdTracking()) {
      bundle.set_limited_ad_tracking(identity.limitedAdTracking());
    }
  }
  const std::optional<std::string> consentSignals = TLMConsentSettingsUtil::consentSignals();
  if (consentSignals && consentSignals->size() >= kMinConsentSignalsLength) {
    bundle.set_consent_signals(*consentSignals);
  }
}
