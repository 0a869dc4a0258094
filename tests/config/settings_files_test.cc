#include <gtest/gtest.h>

#include <cerrno>
#include <filesystem>
#include <fstream>
#include <string>

#include "config/TLMFilePaths.h"
#include "config/TLMInfoPlistFileUtil.h"
#include "engine/TLMMeasurement.h"
#include "platform/FileAttributes.h"
#include "platform/Platform.h"
#include "platform/PreferenceStore.h"
#include "settings_test_support.h"
#include "support/MonitorReportsTest.h"
#include "upload/TLMErrors.h"
#include "upload/TLMMonitor.h"

namespace {

namespace fs = std::filesystem;

class FilePathsTest : public MonitorReportsTest {
 protected:
  TestPlatform& test_ = platform_;
};

TEST_F(FilePathsTest, PreferencesFilePathIsTheStoresFile) {
  const std::string path = tlm_preferencesFilePath("com.tarvix.qvr.measurement");
  EXPECT_EQ(path,
            test_.paths().containerPath + "/Library/Preferences/com.tarvix.qvr.measurement.plist");
  EXPECT_EQ(path, Platform::current().preferences().pathForDomain("com.tarvix.qvr.measurement"));
  EXPECT_EQ(tlm_preferencesFilePath(""), "");
  EXPECT_EQ(tlm_preferencesFilePathQuiet("suite"), tlm_preferencesFilePath("suite"));
}

TEST_F(FilePathsTest, MeasurementDataPathIsUnderApplicationSupport) {
  EXPECT_EQ(tlm_measurementDataPath("tarvix-ferrolux.sql"),
            test_.paths().containerPath +
                "/Library/Application Support/Tarvix/Measurement/tarvix-ferrolux.sql");
  EXPECT_EQ(tlm_measurementDataPath(""), "");
}

// A file where the container should be: no folder can be made in it.
void breakContainer(const TestPlatform& test) {
  fs::remove_all(test.paths().containerPath);
  std::ofstream(test.paths().containerPath) << "not a folder";
}

TEST_F(FilePathsTest, MissingFoldersGiveAnEmptyPathAndAMonitorReport) {
  breakContainer(test_);
  EXPECT_EQ(tlm_preferencesFilePathQuiet("suite"), "");
  EXPECT_EQ(sampledKey(), "");  // the quiet variant reports nothing
  EXPECT_EQ(tlm_preferencesFilePath("suite"), "");
  std::string message = sampledKey();
  EXPECT_NE(message.find(":NSSearchPath for Library directory is empty"), std::string::npos)
      << message;
  EXPECT_EQ(tlm_measurementDataPath("tarvix-ferrolux.sql"), "");
  message = sampledKey();
  EXPECT_NE(message.find(":NSSearchPath for ApplicationSupport directory is empty"),
            std::string::npos)
      << message;
  fs::remove(test_.paths().containerPath);
}

TEST_F(FilePathsTest, DeleteHelperRemovesFilesAndFoldersAndReportsMissingOrEmptyOnes) {
  Error error;
  EXPECT_FALSE(tlm_deleteFileAtPath("", &error));
  EXPECT_EQ(error.domain, kTLMErrorDomain);
  EXPECT_EQ(error.code, 1);
  EXPECT_EQ(error.description, "Received empty path for deleting file");
  EXPECT_FALSE(tlm_deleteFileAtPath("", nullptr));

  const std::string file = test_.root() + "/data.sql";
  const std::string folder = test_.root() + "/folder";
  std::ofstream(file) << "x";
  fs::create_directories(folder + "/inner");
  std::ofstream(folder + "/inner/file") << "y";
  EXPECT_TRUE(tlm_deleteFileAtPath(file, &error));
  EXPECT_FALSE(fs::exists(file));
  EXPECT_TRUE(tlm_deleteFileAtPath(folder, &error));
  EXPECT_FALSE(fs::exists(folder));

  EXPECT_FALSE(tlm_deleteFileAtPath(file, &error));
  EXPECT_EQ(error.domain, "NSPOSIXErrorDomain");
  EXPECT_EQ(error.code, ENOENT);
}

TEST_F(FilePathsTest, ExcludeFromBackupNeedsAnExistingFileAndReportsFailures) {
  const std::string file = test_.root() + "/data.sql";
  Error error;
  EXPECT_FALSE(tlm_excludeFileFromBackup(file, &error));
  std::ofstream(file) << "x";
  EXPECT_TRUE(tlm_excludeFileFromBackup(file, &error));
  Platform::current().fileAttributes().TEST_failNextSetCalls(1);
  EXPECT_FALSE(tlm_excludeFileFromBackup(file, &error));
  EXPECT_EQ(error.code, EIO);
  EXPECT_TRUE(tlm_excludeFileFromBackup(file, &error));
}

class InfoPlistFileUtilTest : public ::testing::Test {
 protected:
  std::string resourcePath() const {
    return test_.paths().bundlePath + "/TarvixService-Info.plist";
  }

  TestPlatform test_;
};

TEST_F(InfoPlistFileUtilTest, FindsAndReadsTheFileInTheMainBundle) {
  std::ofstream(resourcePath())
      << "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\"><dict>"
      << "<key>GOOGLE_APP_ID</key><string>1:123:ios:abc</string>"
      << "<key>IS_ANALYTICS_ENABLED</key><true/></dict></plist>\n";
  EXPECT_EQ(TLMInfoPlistFileUtil::tarvixServiceInfoPlistPath(), resourcePath());
  OptionalObject dictionary = TLMInfoPlistFileUtil::dictionaryFromTarvixServiceInfoPlist();
  ASSERT_TRUE(dictionary && dictionary->isDictionary());
  EXPECT_EQ(*dictionary->objectForKey("GOOGLE_APP_ID"), Object("1:123:ios:abc"));
  EXPECT_EQ(*dictionary->objectForKey("IS_ANALYTICS_ENABLED"), Object::boolean(true));
}

TEST_F(InfoPlistFileUtilTest, NoFileOrAFileWithoutADictionaryGivesNoDictionary) {
  EXPECT_FALSE(TLMInfoPlistFileUtil::tarvixServiceInfoPlistPath().has_value());
  EXPECT_FALSE(TLMInfoPlistFileUtil::dictionaryFromTarvixServiceInfoPlist().has_value());
  std::ofstream(resourcePath()) << "not a property list";
  EXPECT_EQ(TLMInfoPlistFileUtil::tarvixServiceInfoPlistPath(), resourcePath());
  EXPECT_FALSE(TLMInfoPlistFileUtil::dictionaryFromTarvixServiceInfoPlist().has_value());
  std::ofstream(resourcePath(), std::ios::trunc)
      << "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\"><array>"
      << "<string>a</string></array></plist>\n";
  EXPECT_FALSE(TLMInfoPlistFileUtil::dictionaryFromTarvixServiceInfoPlist().has_value());
}

}  // namespace
