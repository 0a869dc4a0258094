// The app bundle, the device profile, the capability registry, file
// attributes and atomic files.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <plist/plist.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <string>

#include "platform/AtomicFile.h"
#include "platform/Bundle.h"
#include "platform/CapabilityRegistry.h"
#include "platform/DeviceProfile.h"
#include "platform/FileAttributes.h"
#include "platform_test_support.h"

namespace {

const char* kInfoXML = R"(<?xml version="1.0" encoding="UTF-8"?>
<plist version="1.0">
<dict>
  <key>CFBundleIdentifier</key><string>com.example.game</string>
  <key>CFBundleShortVersionString</key><string>2.1</string>
  <key>CFBundleVersion</key><string>2.1.7</string>
  <key>UseCFPreferencesLibrary</key><false/>
  <key>TARVIX_ANALYTICS_IDFV_COLLECTION_ENABLED</key><integer>0</integer>
</dict>
</plist>
)";

void expectInfo(const Bundle& bundle) {
  EXPECT_FALSE(bundle.infoDictionaryError().has_value());
  EXPECT_EQ(bundle.bundleIdentifier(), "com.example.game");
  EXPECT_EQ(bundle.objectForInfoDictionaryKey("CFBundleShortVersionString"), Object("2.1"));
  OptionalObject flag = bundle.objectForInfoDictionaryKey("UseCFPreferencesLibrary");
  ASSERT_TRUE(flag.has_value());
  EXPECT_EQ(flag->numberKind(), Object::NumberKind::Boolean);  // kept as read
  EXPECT_FALSE(flag->boolValue());
  OptionalObject idfv =
      bundle.objectForInfoDictionaryKey("TARVIX_ANALYTICS_IDFV_COLLECTION_ENABLED");
  ASSERT_TRUE(idfv.has_value());
  EXPECT_EQ(idfv->numberKind(), Object::NumberKind::Integer);
  EXPECT_FALSE(bundle.objectForInfoDictionaryKey("Missing").has_value());
}

TEST(BundleTest, ReadsXMLAndBinaryInfoPlists) {
  TempFolder root;
  writeTextFile(root / "Game.app/Info.plist", kInfoXML);
  expectInfo(Bundle(root / "Game.app", root / "container"));
  // Made binary by libplist, an encoder independent of ours.
  plist_t parsed = nullptr;
  plist_from_xml(kInfoXML, static_cast<uint32_t>(std::strlen(kInfoXML)), &parsed);
  ASSERT_NE(parsed, nullptr);
  char* binary = nullptr;
  uint32_t length = 0;
  plist_to_bin(parsed, &binary, &length);
  plist_free(parsed);
  writeBytesFile(root / "Binary.app/Info.plist", Bytes(binary, binary + length));
  plist_to_bin_free(binary);
  expectInfo(Bundle(root / "Binary.app", root / "container"));
}

TEST(BundleTest, MissingOrBrokenInfoPlistGivesAnEmptyDictionary) {
  TempFolder root;
  Bundle missing(root / "None.app", root / "container");
  EXPECT_TRUE(missing.infoDictionaryError().has_value());
  EXPECT_EQ(missing.bundleIdentifier(), "");
  EXPECT_EQ(missing.infoDictionary(), Object::dictionary({}));

  writeTextFile(root / "Broken.app/Info.plist", "<plist><dict><key>a</key>");
  Bundle broken(root / "Broken.app", root / "container");
  EXPECT_TRUE(broken.infoDictionaryError().has_value());
  EXPECT_TRUE(broken.infoDictionary().isDictionary());
}

TEST(BundleTest, FindsResourcesInsideTheBundleOnly) {
  TempFolder root;
  writeTextFile(root / "Game.app/TarvixService-Info.plist", "<plist/>");
  writeTextFile(root / "secret.plist", "<plist/>");
  Bundle bundle(root / "Game.app", root / "container");
  EXPECT_EQ(bundle.pathForResource("TarvixService-Info", "plist"),
            root / "Game.app/TarvixService-Info.plist");
  EXPECT_EQ(bundle.pathForResource("Missing", "plist"), "");
  EXPECT_EQ(bundle.pathForResource("../secret", "plist"), "");
  EXPECT_EQ(bundle.frameworksPath(), root / "Game.app/Frameworks");
}

TEST(BundleTest, CreatesContainerFoldersOnDemand) {
  TempFolder root;
  Bundle bundle(root / "Game.app", root / "container");
  EXPECT_FALSE(std::filesystem::exists(root / "container"));
  std::string support = bundle.containerFolder(Bundle::ContainerFolder::ApplicationSupport);
  EXPECT_EQ(support, root / "container/Library/Application Support");
  EXPECT_TRUE(std::filesystem::is_directory(support));
  EXPECT_EQ(bundle.containerFolder(Bundle::ContainerFolder::Preferences),
            root / "container/Library/Preferences");
  EXPECT_EQ(bundle.containerFolder(Bundle::ContainerFolder::Temporary), root / "container/tmp");

  Bundle noContainer(root / "Game.app", "");
  Error error;
  EXPECT_EQ(noContainer.containerFolder(Bundle::ContainerFolder::Library, &error), "");
  EXPECT_FALSE(error.domain.empty());
}

// 8-4-4-4-12 upper-case hexadecimal digits, version 4, RFC 4122 variant.
bool isUpperCaseUUIDv4(const std::string& text) {
  if (text.size() != 36) return false;
  for (std::size_t i = 0; i < text.size(); ++i) {
    bool dash = i == 8 || i == 13 || i == 18 || i == 23;
    char c = text[i];
    if (dash != (c == '-')) return false;
    if (!dash && !((c >= '0' && c <= '9') || (c >= 'A' && c <= 'F'))) return false;
  }
  return text[14] == '4' && std::string("89AB").find(text[19]) != std::string::npos;
}

TEST(DeviceProfileTest, DefaultsDescribeASupportedPhoneWithItsOwnVendorIdentifier) {
  DeviceProfile profile;
  EXPECT_EQ(profile.osVersionComponents().major, 17);
  EXPECT_EQ(profile.deviceModel(), "iPhone15,2");
  EXPECT_TRUE(isUpperCaseUUIDv4(profile.vendorIdentifier())) << profile.vendorIdentifier();
  DeviceProfile copy = profile;
  EXPECT_EQ(copy.vendorIdentifier(), profile.vendorIdentifier());
  EXPECT_NE(DeviceProfile().vendorIdentifier(), profile.vendorIdentifier());
}

TEST(DeviceProfileTest, VersionComponentsAndAppExtension) {
  DeviceProfile profile;
  profile.setOSVersion("14.0.1");
  EXPECT_EQ(profile.osVersionComponents().minor, 0);
  EXPECT_EQ(profile.osVersionComponents().patch, 1);
  profile.setOSVersion("7");
  EXPECT_EQ(profile.osVersionComponents().major, 7);
  EXPECT_EQ(profile.osVersionComponents().minor, 0);
  profile.setOSVersion("garbage");
  EXPECT_EQ(profile.osVersionComponents().major, 0);

  EXPECT_FALSE(profile.isAppExtension("/apps/Game.app"));
  EXPECT_TRUE(profile.isAppExtension("/apps/Game.app/PlugIns/Share.appex"));
  EXPECT_TRUE(profile.isAppExtension("/apps/Share.appex/"));
  profile.setAppExtension(true);
  EXPECT_TRUE(profile.isAppExtension("/apps/Game.app"));
}

TEST(DeviceProfileTest, LoadsOverridesFromJSONAndRejectsWrongTypes) {
  TempFolder root;
  writeTextFile(root / "device.json", R"({"os_version": "13.2", "device_model": "x86_64",
    "preferred_languages": ["de-de", "en-us"], "time_zone_offset_seconds": 3600,
    "app_store_installation": true, "originally_installed_version": "1.0",
    "vendor_identifier": "00000000-0000-4000-8000-000000000001", "unknown": 1})");
  DeviceProfile profile;
  Error error;
  ASSERT_TRUE(profile.loadOverrides(root / "device.json", &error)) << error.toString();
  EXPECT_EQ(profile.osVersion(), "13.2");
  EXPECT_EQ(profile.deviceModel(), "x86_64");
  EXPECT_EQ(profile.preferredLanguages(), (std::vector<std::string>{"de-de", "en-us"}));
  EXPECT_EQ(profile.timeZoneOffsetSeconds(), 3600);
  EXPECT_TRUE(profile.isAppStoreInstallation());
  EXPECT_EQ(profile.originallyInstalledVersion(), std::optional<std::string>("1.0"));
  EXPECT_EQ(profile.vendorIdentifier(), "00000000-0000-4000-8000-000000000001");

  writeTextFile(root / "bad.json", R"({"os_version": "9.0", "app_store_installation": "yes"})");
  EXPECT_FALSE(profile.loadOverrides(root / "bad.json", &error));
  EXPECT_EQ(profile.osVersion(), "13.2");  // nothing applied
  writeTextFile(root / "broken.json", "{");
  EXPECT_FALSE(profile.loadOverrides(root / "broken.json", &error));
  EXPECT_FALSE(profile.loadOverrides(root / "missing.json", &error));
}

TEST(CapabilityRegistryTest, AnswersClassesAndSelectorsAsSwitched) {
  CapabilityRegistry registry;
  EXPECT_FALSE(registry.classExists("ASIdentifierManager"));
  EXPECT_FALSE(registry.respondsToSelector("ASIdentifierManager", "sharedManager"));
  EXPECT_FALSE(registry.setInvocable("ASIdentifierManager", "sharedManager",
                                     [] { return OptionalObject(Object("manager")); }));

  registry.setClass("ATTrackingManager", true, {"trackingAuthorizationStatus"});
  EXPECT_TRUE(registry.classExists("ATTrackingManager"));
  EXPECT_TRUE(registry.respondsToSelector("ATTrackingManager", "trackingAuthorizationStatus"));
  EXPECT_FALSE(registry.respondsToSelector("ATTrackingManager", "other"));
  // Responds, but nothing to call.
  EXPECT_FALSE(registry.invoke("ATTrackingManager", "trackingAuthorizationStatus").has_value());

  ASSERT_TRUE(registry.setInvocable("ATTrackingManager", "trackingAuthorizationStatus",
                                    [] { return OptionalObject(Object::integer(3)); }));
  EXPECT_EQ(registry.invoke("ATTrackingManager", "trackingAuthorizationStatus"),
            Object::integer(3));

  registry.setClass("ATTrackingManager", false);
  EXPECT_FALSE(registry.classExists("ATTrackingManager"));
  EXPECT_FALSE(registry.invoke("ATTrackingManager", "trackingAuthorizationStatus").has_value());
  registry.setClass("ATTrackingManager", true);  // back, without its old selectors
  EXPECT_FALSE(registry.respondsToSelector("ATTrackingManager", "trackingAuthorizationStatus"));
  registry.removeClass("ATTrackingManager");
  EXPECT_FALSE(registry.classExists("ATTrackingManager"));
}

bool supportsAttributes(const std::string& path) {
  FileAttributes probe;
  return probe.setImmutable(path, true, nullptr) && probe.isImmutable(path) &&
         probe.setImmutable(path, false, nullptr);
}

TEST(FileAttributesTest, SetsAndClearsBothFlags) {
  TempFolder root;
  const std::string path = root / "db.sqlite";
  writeTextFile(path, "x");
  if (!supportsAttributes(path)) GTEST_SKIP() << "no extended attributes here";
  FileAttributes attributes;
  EXPECT_FALSE(attributes.isExcludedFromBackup(path));
  ASSERT_TRUE(attributes.setExcludedFromBackup(path, true, nullptr));
  EXPECT_TRUE(attributes.isExcludedFromBackup(path));
  EXPECT_FALSE(attributes.isImmutable(path));
  ASSERT_TRUE(attributes.setImmutable(path, true, nullptr));
  EXPECT_TRUE(attributes.isImmutable(path));
  ASSERT_TRUE(attributes.setImmutable(path, false, nullptr));
  EXPECT_FALSE(attributes.isImmutable(path));
  EXPECT_TRUE(attributes.isExcludedFromBackup(path));
  // Clearing a flag that is not set is fine.
  EXPECT_TRUE(attributes.setImmutable(path, false, nullptr));
}

TEST(FileAttributesTest, FlagsNeverMakeAnOpenOrDeleteFail) {
  TempFolder root;
  const std::string path = root / "db.sqlite";
  writeTextFile(path, "x");
  FileAttributes attributes;
  ASSERT_TRUE(attributes.setImmutable(path, true, nullptr));
  ASSERT_TRUE(attributes.setExcludedFromBackup(path, true, nullptr));
  int fd = ::open(path.c_str(), O_WRONLY | O_APPEND);
  ASSERT_GE(fd, 0);
  EXPECT_EQ(::write(fd, "y", 1), 1);
  ::close(fd);
  EXPECT_EQ(readTextFile(path), "xy");
  EXPECT_EQ(::unlink(path.c_str()), 0);
}

TEST(FileAttributesTest, FailuresReportTheSystemErrorAndChangeNothing) {
  TempFolder root;
  FileAttributes attributes;
  Error error;
  EXPECT_FALSE(attributes.setExcludedFromBackup(root / "missing", true, &error));
  EXPECT_EQ(error.domain, kPOSIXErrorDomain);
  EXPECT_EQ(error.code, ENOENT);
  EXPECT_FALSE(attributes.isExcludedFromBackup(root / "missing"));

  // The failure switch fails the next set calls only.
  const std::string path = root / "prefs.plist";
  writeTextFile(path, "x");
  attributes.TEST_failNextSetCalls(2);
  EXPECT_FALSE(attributes.setExcludedFromBackup(path, true, &error));
  EXPECT_EQ(error.code, EIO);
  EXPECT_FALSE(attributes.setImmutable(path, false, &error));
  EXPECT_FALSE(attributes.isExcludedFromBackup(path));                // nothing changed
  EXPECT_TRUE(attributes.setExcludedFromBackup(path, true, &error));  // the retry succeeds
}

TEST(AtomicFileTest, ReplacesTheFileAndLeavesNoTemporaryFiles) {
  TempFolder root;
  const std::string path = root / "data.bin";
  ASSERT_TRUE(AtomicFile::write(path, Bytes{1, 2, 3}, 0600, nullptr));
  ASSERT_TRUE(AtomicFile::write(path, Bytes{4, 5}, 0640, nullptr));
  Bytes read;
  ASSERT_TRUE(AtomicFile::read(path, &read, nullptr));
  EXPECT_EQ(read, (Bytes{4, 5}));
  struct stat info {};
  ASSERT_EQ(::stat(path.c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0640u);
  int files = 0;
  for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator(root.path())) {
    ++files;
  }
  EXPECT_EQ(files, 1);

  Error error;
  EXPECT_FALSE(AtomicFile::write(root / "no/such/folder/x", Bytes{1}, 0600, &error));
  EXPECT_EQ(error.code, ENOENT);
  EXPECT_FALSE(AtomicFile::read(root / "missing", &read, &error));
  EXPECT_EQ(error.code, ENOENT);
}

}  // namespace
