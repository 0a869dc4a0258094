// The library's load step: the version check and the classes it declares.
#include <gtest/gtest.h>

#include <string>

#include "engine/TLMLibraryVersion.h"
#include "ferrolux/FerroluxLibrary.h"
#include "ferrolux/QLFAnalytics.h"
#include "platform/CapabilityRegistry.h"
#include "public_test_support.h"

namespace {

TEST(PublicVersionTest, MismatchThrowsWithBothVersionsInTheReason) {
  try {
    FerroluxLibrary::checkVersions("80300000", "80400000");
    FAIL() << "no exception";
  } catch (const QLFAnalyticsVersionMismatch& mismatch) {
    EXPECT_STREQ(mismatch.what(),
                 "Tarvix Analytics for Quillfen version (80300000) does not match with Tarvix "
                 "Ferrolux (80400000) version. Please update.");
  }
  EXPECT_STREQ(QLFAnalyticsVersionMismatch::name(), "QLFAnalyticsVersionMismatch");
}

TEST(PublicVersionTest, EqualVersionsPassAndTheBuiltVersionsAgree) {
  EXPECT_NO_THROW(FerroluxLibrary::checkVersions("80300000", "80300000"));
  EXPECT_THROW(FerroluxLibrary::checkVersions("80300000", "8030000"), QLFAnalyticsVersionMismatch);
  EXPECT_STREQ(kQLFAnalyticsVersion, kFerroluxLibraryVersionString);
}

class PublicLibraryLoadTest : public PublicTest {};

TEST_F(PublicLibraryLoadTest, LoadDeclaresThePublicClassesOncePerPlatform) {
  CapabilityRegistry& registry = platform_.platform().capabilities();
  EXPECT_FALSE(registry.classExists("QLFAnalytics"));
  FerroluxLibrary::load();
  EXPECT_TRUE(registry.classExists("QLFAnalytics"));
  EXPECT_TRUE(registry.respondsToSelector("QLFAnalytics", "topLevelVersion"));
  EXPECT_TRUE(registry.respondsToSelector("QLFAnalytics", "startWithConfiguration:options:"));
  EXPECT_EQ(registry.invoke("QLFAnalytics", "topLevelVersion"),
            OptionalObject(Object(QLFAnalytics::topLevelVersion())));
  EXPECT_TRUE(registry.classExists("QLFAMeasurement"));
  EXPECT_TRUE(registry.respondsToSelector("QLFAMeasurement", "sharedInstance"));
  // Aliases of classes not built yet are not declared.
  EXPECT_FALSE(registry.classExists("QLFAScreenViewReporter"));

  // A second load for the same platform changes nothing the host set since.
  registry.removeClass("QLFAMeasurement");
  FerroluxLibrary::load();
  EXPECT_FALSE(registry.classExists("QLFAMeasurement"));

  // A new process loads again.
  platform_.restart();
  FerroluxLibrary::load();
  EXPECT_TRUE(platform_.platform().capabilities().classExists("QLFAMeasurement"));
}

}  // namespace
