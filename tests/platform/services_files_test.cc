#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <string>

#include "platform/AtomicFile.h"
#include "platform/FileAttributes.h"
#include "services_test_support.h"

namespace {

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

TEST(FileAttributesTest, MissingFileFailsWithTheSystemError) {
  TempFolder root;
  FileAttributes attributes;
  Error error;
  EXPECT_FALSE(attributes.setExcludedFromBackup(root / "missing", true, &error));
  EXPECT_EQ(error.domain, kPOSIXErrorDomain);
  EXPECT_EQ(error.code, ENOENT);
  EXPECT_FALSE(attributes.isExcludedFromBackup(root / "missing"));
}

TEST(FileAttributesTest, FailureSwitchFailsTheNextSetCallsOnly) {
  TempFolder root;
  const std::string path = root / "prefs.plist";
  writeTextFile(path, "x");
  FileAttributes attributes;
  attributes.TEST_failNextSetCalls(2);
  Error error;
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
