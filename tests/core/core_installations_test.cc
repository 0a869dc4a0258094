// The installation ID: made once, kept across launches, announced when it
// changes, and failures answered as errors.
#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "core/QLFInstallations.h"
#include "platform/NotificationCenter.h"
#include "support/TestPlatform.h"

namespace {

struct Answer {
  std::optional<std::string> installationID;
  std::optional<Error> error;
  bool onCallerThread = false;
};

class InstallationsTest : public ::testing::Test {
 protected:
  void SetUp() override { observe(); }

  void observe() {
    platform_.platform().notificationCenter().addObserver(
        this, QLFInstallationIDDidChangeNotification, nullptr,
        [this](const Notification&) { ++changes_; });
  }

  Answer request() {
    Answer answer;
    bool answered = false;
    QLFInstallations::installations()->installationIDWithCompletion(
        [&](const std::optional<std::string>& installationID, const std::optional<Error>& error) {
          answer.installationID = installationID;
          answer.error = error;
          answered = true;
        });
    answer.onCallerThread = answered;
    platform_.executor().runUntilIdle();
    EXPECT_TRUE(answered);
    return answer;
  }

  TestPlatform platform_;
  int changes_ = 0;
};

TEST_F(InstallationsTest, TheFirstRequestMakesAnIDThatLaterRequestsAndLaunchesKeep) {
  const Answer first = request();
  EXPECT_FALSE(first.onCallerThread);
  ASSERT_TRUE(first.installationID.has_value());
  EXPECT_FALSE(first.error.has_value());
  EXPECT_EQ(first.installationID->size(), 22u);
  EXPECT_EQ(first.installationID->find_first_not_of(
                "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_"),
            std::string::npos);
  EXPECT_EQ(changes_, 1);

  EXPECT_EQ(request().installationID, first.installationID);
  EXPECT_EQ(changes_, 1);

  platform_.restart(/*seed=*/99);
  observe();
  changes_ = 0;
  EXPECT_EQ(request().installationID, first.installationID);
  EXPECT_EQ(changes_, 0);
}

TEST_F(InstallationsTest, DeletingMakesADifferentIDAndAnnouncesIt) {
  const Answer first = request();
  QLFInstallations::installations()->deleteInstallationID();
  const Answer second = request();
  ASSERT_TRUE(second.installationID.has_value());
  EXPECT_NE(second.installationID, first.installationID);
  EXPECT_EQ(changes_, 2);
}

TEST_F(InstallationsTest, AFailingStoreAnswersAnErrorAndStoresNothing) {
  QLFInstallations::installations()->TEST_setFailing(true);
  const Answer failed = request();
  EXPECT_FALSE(failed.installationID.has_value());
  ASSERT_TRUE(failed.error.has_value());
  EXPECT_EQ(failed.error->domain, kQLFInstallationsErrorDomain);
  EXPECT_EQ(failed.error->code, kQLFInstallationsErrorUnavailable);
  EXPECT_EQ(changes_, 0);

  QLFInstallations::installations()->TEST_setFailing(false);
  EXPECT_TRUE(request().installationID.has_value());
  EXPECT_EQ(changes_, 1);
}

}  // namespace
