// The raw-event metadata (app, library, device, consent and identifier
// fields, user properties, fingerprint), the first-open keychain counter
// and the first open that waits for an advertising identifier.
#include <gtest/gtest.h>

#include <fstream>
#include <string>
#include <vector>

#include "common/DataHelpers.h"
#include "config/TLMConsentSettingsUtil.h"
#include "config/TLMIdentity.h"
#include "config/TLMKeychainWrapper.h"
#include "config/TLMPersistedConfig.h"
#include "engine/TLMUserAttribute.h"
#include "engine/store_test_support.h"
#include "platform/AdvertisingIdentifier.h"
#include "platform/CapabilityRegistry.h"

namespace {

constexpr char kQVRAppID[] = "1:1234567890:ios:0123456789abcdef";
constexpr char kAdvertisingID[] = "6D92078A-8246-4BA4-AE5B-76104861E7DC";

void writeFile(const std::string& path, const std::string& text) { std::ofstream(path) << text; }

std::string plist(const std::string& entries) {
  return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\"><dict>" + entries +
         "</dict></plist>\n";
}

std::string entry(const std::string& key, const std::string& value) {
  return "<key>" + key + "</key><string>" + value + "</string>";
}

class StoreMetadataTest : public StoreTest {
 protected:
  void SetUp() override {
    writeFile(
        platform_.paths().bundlePath + "/Info.plist",
        plist(entry("CFBundleIdentifier", TestPlatform::kBundleIdentifier) +
              entry("CFBundleShortVersionString", "3.4") + entry("CFBundleVersion", "3.4.5")));
    writeFile(platform_.paths().bundlePath + "/TarvixService-Info.plist",
              plist(entry("TARVIX_APP_ID", kQVRAppID)));
    restart();
    if (declareAdvertisingClasses_) declareAdvertisingClasses();
    StoreTest::SetUp();
  }

  // The advertising classes, authorised but without an identifier yet.
  // Identity looks the classes up when the engine starts.
  void declareAdvertisingClasses() {
    Platform& platform = Platform::current();
    platform.capabilities().setClass(
        kAdvertisingIdentifierManagerClassName, true,
        {kAdvertisingIdentifierManagerSharedManagerSelector, kAdvertisingIdentifierSelector,
         kAdvertisingTrackingEnabledSelector});
    platform.capabilities().setClass(kTrackingManagerClassName, true,
                                     {kTrackingAuthorizationStatusSelector});
    platform.trackingAuthorization().setTrackingAuthorizationStatus(
        TrackingAuthorizationStatus::Authorized);
    platform.advertisingIdentifier().setAdvertisingIdentifier(std::nullopt);
  }

  // The identifier becomes readable; moves past the identity's refresh
  // interval.
  void provideAdvertisingIdentifier() {
    Platform::current().advertisingIdentifier().setAdvertisingIdentifier(
        std::string(kAdvertisingID));
    platform_.executor().advance(2);
  }

  bool declareAdvertisingClasses_ = false;

  TLMPBMeasurementBundle lastMetadata() {
    const std::vector<StoredEvent> stored = storedEvents();
    EXPECT_FALSE(stored.empty());
    if (stored.empty()) return TLMPBMeasurementBundle();
    Error error;
    std::optional<TLMPBMeasurementBundle> metadata =
        database().queryRawEventsMetadataWithFingerprint(stored.back().metadataFingerprint, &error);
    EXPECT_TRUE(metadata.has_value()) << error.toString();
    return metadata.value_or(TLMPBMeasurementBundle());
  }

  std::optional<std::string> firstOpenCount() {
    return TLMKeychainWrapper::keychainValueWithIdentifier("_pfo", TestPlatform::kBundleIdentifier);
  }
  void setFirstOpenCount(const std::string& value) {
    ASSERT_TRUE(
        TLMKeychainWrapper::upsertKeychainValue(value, "_pfo", TestPlatform::kBundleIdentifier));
  }
  TLMEventPtr firstOpen() { return makeEvent("_f", {}, "auto"); }
};

class StoreAdvertisingTest : public StoreMetadataTest {
 protected:
  StoreAdvertisingTest() { declareAdvertisingClasses_ = true; }
};

// ---- Fields ----

TEST_F(StoreMetadataTest, MetadataCarriesTheAppLibraryDeviceAndIdentifierFields) {
  engine_->identity()->setQuillfenInstallationID(std::string("installation-1"));
  TLMUserAttributePtr property =
      TLMUserAttribute::initWithOrigin("app", "favorite_food", TLMValue::fromString("pie"), 1000);
  Error error;
  ASSERT_TRUE(database().updateUserAttribute(*property, &error));
  ASSERT_TRUE(store("level_up"));

  const TLMPBMeasurementBundle metadata = lastMetadata();
  EXPECT_EQ(metadata.protocol_version(), 1);
  EXPECT_EQ(metadata.platform(), "ios");
  EXPECT_EQ(metadata.app_id(), TestPlatform::kBundleIdentifier);
  EXPECT_EQ(metadata.app_store(), "manual_install");
  EXPECT_EQ(metadata.app_version(), "3.4");
  EXPECT_EQ(metadata.app_version_major(), 3);
  EXPECT_EQ(metadata.app_version_minor(), 4);
  EXPECT_EQ(metadata.app_version_release(), 5);
  EXPECT_EQ(metadata.qvr_app_id(), kQVRAppID);
  EXPECT_FALSE(metadata.has_velmora_app_id());
  EXPECT_EQ(metadata.library_version(), TLMIdentity::ferroluxLibraryVersion());
  EXPECT_EQ(metadata.library_version(), 80300);
  EXPECT_EQ(metadata.installation_id(), "installation-1");
  EXPECT_EQ(metadata.device_model(), "iPhone15,2");
  EXPECT_EQ(metadata.os_version(), "17.5");
  EXPECT_EQ(metadata.user_default_language(), "en-us");
  EXPECT_TRUE(metadata.has_time_zone_offset_minutes());
  EXPECT_EQ(metadata.time_zone_offset_minutes(),
            Platform::current().device().timeZoneOffsetSeconds() / 60);
  // No consent known; no advertising identifier, so the vendor's is used.
  EXPECT_EQ(metadata.consent_signals(), "G1--");
  EXPECT_FALSE(metadata.has_resettable_device_id());
  EXPECT_EQ(metadata.vendor_device_id(), Platform::current().device().vendorIdentifier());
  ASSERT_TRUE(engine_->identity()->appInstanceID().has_value());
  EXPECT_EQ(metadata.app_instance_id(), *engine_->identity()->appInstanceID());
  // Nothing assembly or upload fills.
  EXPECT_EQ(metadata.events_size(), 0u);
  EXPECT_FALSE(metadata.has_upload_timestamp_millis());
  EXPECT_FALSE(metadata.has_bundle_index());

  ASSERT_EQ(metadata.user_attributes_size(), 1u);
  EXPECT_EQ(metadata.user_attributes(0).name(), "favorite_food");
  EXPECT_EQ(metadata.user_attributes(0).string_value(), "pie");
  EXPECT_EQ(metadata.user_attributes(0).set_timestamp_millis(), 1000000);
}

TEST_F(StoreMetadataTest, TheRowFingerprintIsTheMetadataDigestAndEqualMetadataIsSharedOnce) {
  ASSERT_TRUE(store("level_up"));
  ASSERT_TRUE(store("select_content"));
  const std::vector<StoredEvent> stored = storedEvents();
  ASSERT_EQ(stored.size(), 2u);
  EXPECT_EQ(stored[0].metadataFingerprint, stored[1].metadataFingerprint);
  EXPECT_EQ(rowCount("raw_events_metadata"), 1);

  const TLMPBMeasurementBundle metadata = lastMetadata();
  std::optional<Bytes> bytes = metadata.protoBuffer();
  ASSERT_TRUE(bytes.has_value());
  EXPECT_EQ(stored[0].metadataFingerprint, tlm_64LSBMD5(*bytes));

  // A changed user property makes new metadata.
  TLMUserAttributePtr property =
      TLMUserAttribute::initWithOrigin("app", "favorite_food", TLMValue::fromString("pie"), 1000);
  Error error;
  ASSERT_TRUE(database().updateUserAttribute(*property, &error));
  ASSERT_TRUE(store("level_up"));
  EXPECT_EQ(rowCount("raw_events_metadata"), 2);
  EXPECT_NE(storedEvents()[2].metadataFingerprint, stored[0].metadataFingerprint);
}

TEST_F(StoreAdvertisingTest, ConsentWithholdsTheIdentifiersOfADeniedStorage) {
  provideAdvertisingIdentifier();
  ASSERT_TRUE(store("level_up"));
  TLMPBMeasurementBundle metadata = lastMetadata();
  EXPECT_EQ(metadata.resettable_device_id(), kAdvertisingID);
  EXPECT_FALSE(metadata.has_vendor_device_id()) << "only without an advertising identifier";
  EXPECT_EQ(metadata.att_status(), 3u);
  EXPECT_TRUE(metadata.has_limited_ad_tracking());
  EXPECT_FALSE(metadata.limited_ad_tracking());
  EXPECT_TRUE(metadata.has_app_instance_id());

  // Identity keeps the identifier it last read; the metadata must not.
  TLMConsentSettingsUtil::setConsentSettings(
      Object::dictionary({{Object("ad_storage"), Object("denied")},
                          {Object("analytics_storage"), Object("granted")}}));
  platform_.executor().advance(2);
  ASSERT_TRUE(store("level_up"));
  metadata = lastMetadata();
  EXPECT_FALSE(metadata.has_resettable_device_id());
  EXPECT_EQ(metadata.consent_signals(), "G101");
  EXPECT_TRUE(metadata.has_app_instance_id());

  TLMConsentSettingsUtil::setConsentSettings(
      Object::dictionary({{Object("ad_storage"), Object("granted")},
                          {Object("analytics_storage"), Object("denied")}}));
  platform_.executor().advance(2);
  ASSERT_TRUE(store("level_up"));
  metadata = lastMetadata();
  EXPECT_EQ(metadata.consent_signals(), "G110");
  EXPECT_FALSE(metadata.has_app_instance_id());
  EXPECT_FALSE(metadata.has_vendor_device_id());
}

// ---- First open ----

TEST_F(StoreMetadataTest, StoringFirstOpenRaisesTheKeychainCounter) {
  EXPECT_EQ(firstOpenCount(), std::nullopt);
  ASSERT_TRUE(store(firstOpen()));
  EXPECT_EQ(firstOpenCount(), std::string("1"));
  ASSERT_TRUE(store(firstOpen()));
  EXPECT_EQ(firstOpenCount(), std::string("2"));
  // Other events leave it alone.
  ASSERT_TRUE(store("level_up"));
  EXPECT_EQ(firstOpenCount(), std::string("2"));

  setFirstOpenCount("-5");
  ASSERT_TRUE(store(firstOpen()));
  EXPECT_EQ(firstOpenCount(), std::string("1")) << "a non-positive count counts as 0";
  setFirstOpenCount("not a number");
  ASSERT_TRUE(store(firstOpen()));
  EXPECT_EQ(firstOpenCount(), std::string("1"));
  setFirstOpenCount("9223372036854775806");
  ASSERT_TRUE(store(firstOpen()));
  EXPECT_EQ(firstOpenCount(), std::string("9223372036854775807"));
  ASSERT_TRUE(store(firstOpen()));
  EXPECT_EQ(firstOpenCount(), std::string("9223372036854775807")) << "saturates";
}

TEST_F(StoreMetadataTest, AFirstOpenThatIsNotStoredLeavesTheCounterAlone) {
  setFlags({{"measurement.upload.max_events_per_day", "0"}});
  ASSERT_TRUE(store(firstOpen()));
  EXPECT_EQ(rowCount("raw_events"), 0);
  EXPECT_EQ(firstOpenCount(), std::nullopt);
}

TEST_F(StoreAdvertisingTest, AFirstOpenWithoutAdvertisingIDIsFollowedByFxOnceOneIsKnown) {
  TLMEventPtr first = firstOpen();
  const double firstOpenTime = first->timestamp();
  ASSERT_TRUE(store(first));
  EXPECT_TRUE(engine_->persistedConfig()->unmatchedFirstOpenWithoutIDFA());

  // Without an identifier nothing more happens.
  ASSERT_TRUE(store("level_up"));
  EXPECT_EQ(storedNames(), std::vector<std::string>({"_f", "level_up"}));

  provideAdvertisingIdentifier();
  ASSERT_TRUE(store("select_content"));
  EXPECT_FALSE(engine_->persistedConfig()->unmatchedFirstOpenWithoutIDFA());
  const std::vector<StoredEvent> stored = storedEvents();
  ASSERT_EQ(stored.size(), 4u);
  EXPECT_EQ(stored[3].name, "_fx");
  EXPECT_EQ(stored[3].event->origin(), "auto");
  EXPECT_DOUBLE_EQ(stored[3].timestamp, stored[2].timestamp);
  EXPECT_NE(stored[3].timestamp, firstOpenTime);
  EXPECT_TRUE(stored[3].isRealtime);
  EXPECT_EQ(intParameter(stored[3].event, "_r"), 1);

  // Only once.
  ASSERT_TRUE(store("level_up"));
  EXPECT_EQ(rowCount("raw_events"), 5);
}

}  // namespace
