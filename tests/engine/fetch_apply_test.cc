// Applying a received configuration: one transaction with its audiences,
// so that any refusal leaves the configuration in force and the stored one
// as they were; and the first-open time.
#include "engine/TLMUserAttribute.h"
#include "engine/TLMValue.h"
#include "engine/fetch_test_support.h"

namespace {

using ApplyingAFetchedConfiguration = FetchTest;
using FirstOpenTime = FetchTest;

class ApplyingAfterAFirstConfiguration : public FetchTest {
 protected:
  void SetUp() override {
    FetchTest::SetUp();
    if (HasFatalFailure()) return;
    setReply(200, asText(fixtureBytes("fetch_config")));
    fetch();
    ASSERT_EQ(remoteConfig_->version(), 42);
    receivedAudiences_.clear();
    clock().setNow(kNow + 5000);
  }

  // The first configuration is still in force and stored; the fetch time
  // is the new one.
  void expectFirstConfigurationKept() {
    EXPECT_EQ(remoteConfig_->version(), 42);
    EXPECT_EQ(remoteConfig_->uploadingInterval(), 60.0);
    const auto stored = storedConfig();
    ASSERT_TRUE(stored.has_value());
    EXPECT_EQ(stored->version(), 42);
    EXPECT_EQ(lastFetchTime(), kNow + 5000);
    EXPECT_EQ(uploadOrAlarmCalls_, 2);
  }
};

TEST_F(ApplyingAfterAFirstConfiguration, ForAnotherAppChangesNothingButTheFetchTime) {
  setReply(200, asText(fixtureBytes("fetch_config_other_app")));
  fetch();
  const FetchReport* wrong = reportWithCode(kTLMFetchCodeWrongAppID);
  ASSERT_NE(wrong, nullptr);
  EXPECT_EQ(wrong->level, 2);
  EXPECT_EQ(wrong->message, "Configuration does not have valid Tarvix App ID.");
  EXPECT_TRUE(receivedAudiences_.empty());
  expectFirstConfigurationKept();
}

TEST_F(ApplyingAfterAFirstConfiguration, WithoutAStoredAppIDNothingIsApplied) {
  appIDFromQVR_ = std::nullopt;
  setReply(200, asText(fixtureBytes("fetch_config")));
  fetch();
  EXPECT_NE(reportWithCode(kTLMFetchCodeWrongAppID), nullptr);
  expectFirstConfigurationKept();
}

TEST_F(ApplyingAfterAFirstConfiguration, UndecodableBytesChangeNothing) {
  setReply(200, std::string("\xff\xff\xff\x0a\x05", 5));
  fetch();
  const FetchReport* invalid = reportWithCode(kTLMFetchCodeInvalidData);
  ASSERT_NE(invalid, nullptr);
  EXPECT_EQ(invalid->level, 2);
  EXPECT_EQ(invalid->message, "Configuration data is invalid.");
  expectFirstConfigurationKept();
}

TEST_F(ApplyingAfterAFirstConfiguration, RefusedAudiencesRollBackTheWholeTransaction) {
  acceptAudiences_ = false;
  // What the audience side wrote inside the transaction must go too.
  duringAudienceUpdate_ = [this] {
    Error error;
    EXPECT_TRUE(database_->updateRemoteConfigSuccessfulTimestamp(1.0, &error));
  };
  TLMPBMeasurementConfig changed =
      *TLMPBMeasurementConfig::initWithBuffer(fixtureBytes("fetch_config"), nullptr);
  changed.set_version(99);
  setReply(200, asText(*changed.protoBuffer()));
  fetch();
  const FetchReport* refused = reportWithCode(kTLMFetchCodeAudiencesRefused);
  ASSERT_NE(refused, nullptr);
  EXPECT_EQ(refused->level, 2);
  ASSERT_NE(refused->contexts.at(0).asData(), nullptr);
  EXPECT_EQ(*refused->contexts.at(0).asData(), *changed.protoBuffer());
  ASSERT_EQ(receivedAudiences_.size(), 1u);
  expectFirstConfigurationKept();
}

TEST_F(ApplyingAfterAFirstConfiguration, RefusedConfigurationRollsBackTheAudiences) {
  // Identity's app ID agrees with the configuration, the engine's does not.
  appIDFromQVR_ = kFetchOtherAppID;
  duringAudienceUpdate_ = [this] {
    Error error;
    EXPECT_TRUE(database_->updateRemoteConfigSuccessfulTimestamp(1.0, &error));
  };
  setReply(200, asText(fixtureBytes("fetch_config_other_app")));
  fetch();
  const FetchReport* refused = reportWithCode(kTLMFetchCodeConfigurationRefused);
  ASSERT_NE(refused, nullptr);
  EXPECT_EQ(refused->message, "Failed to update configuration with new server configuration");
  EXPECT_EQ(receivedAudiences_.size(), 1u);
  expectFirstConfigurationKept();
}

TEST_F(ApplyingAfterAFirstConfiguration, FailedCommitPutsThePreviousConfigurationBack) {
  // A deferred foreign-key violation made inside the transaction fails its
  // commit, after the new configuration was already accepted.
  worker_->sync([&] {
    Error error;
    ASSERT_TRUE(database_->sqliteStore()->executeSQL("PRAGMA foreign_keys = ON", &error));
    ASSERT_TRUE(database_->sqliteStore()->executeSQL(
        "CREATE TABLE fk_parent (id INTEGER PRIMARY KEY)", &error));
    ASSERT_TRUE(database_->sqliteStore()->executeSQL(
        "CREATE TABLE fk_child (parent INTEGER REFERENCES fk_parent(id) "
        "DEFERRABLE INITIALLY DEFERRED)",
        &error));
  });
  duringAudienceUpdate_ = [this] {
    Error error;
    EXPECT_TRUE(database_->sqliteStore()->executeSQL("INSERT INTO fk_child VALUES (5)", &error));
  };
  TLMPBMeasurementConfig changed =
      *TLMPBMeasurementConfig::initWithBuffer(fixtureBytes("fetch_config"), nullptr);
  changed.set_version(99);
  setReply(200, asText(*changed.protoBuffer()));
  fetch();
  EXPECT_EQ(reportWithCode(kTLMFetchCodeConfigurationRefused), nullptr);
  expectFirstConfigurationKept();
}

TEST_F(ApplyingAFetchedConfiguration, SurvivesARestartOfTheConfiguration) {
  setReply(200, asText(fixtureBytes("fetch_config")));
  fetch();
  std::shared_ptr<TLMRemoteConfig> reloaded;
  worker_->sync(
      [&] { reloaded = TLMRemoteConfig::initWithAppID(kFetchAppID, database_, nullptr); });
  ASSERT_NE(reloaded, nullptr);
  EXPECT_EQ(reloaded->version(), 42);
  EXPECT_EQ(reloaded->uploadingInterval(), 60.0);
}

TEST_F(ApplyingAFetchedConfiguration, FetchTimeThatCannotBeRecordedSuspendsUploads) {
  // No app_metadata row: the update finds nothing to change.
  worker_->sync([&] {
    Error error;
    ASSERT_TRUE(database_->sqliteStore()->executeSQL("DROP TABLE app_metadata", &error));
  });
  clock().setUptime(kUptime + 77);
  setReply(404);
  fetch();
  const FetchReport* failed = reportWithCode(kTLMFetchCodeTimestampFailedUnchanged);
  ASSERT_NE(failed, nullptr);
  EXPECT_EQ(failed->level, 1);
  EXPECT_EQ(engine_->suspendedUploadTimestamp(), kUptime + 77);

  setReply(200);
  fetch();
  EXPECT_NE(reportWithCode(kTLMFetchCodeTimestampFailed), nullptr);
  EXPECT_EQ(reportWithCode(kTLMFetchCodeTimestampFailed)->message,
            "Failed to set last set timestamp in database. Error");
}

// ---- First-open time ----

TLMUserAttributePtr property(const std::string& name, double lastSet) {
  TLMUserAttributePtr attribute = TLMUserAttribute::initWithOrigin(
      name[0] == '_' ? "auto" : "app", name, TLMValue::initWithInt64(1), lastSet);
  EXPECT_NE(attribute, nullptr) << name;
  return attribute;
}

TEST_F(FirstOpenTime, IsTheTimeFirstOpenWasRecorded) {
  worker_->sync([&] {
    Error error;
    ASSERT_TRUE(database_->updateUserAttribute(*property("level_tier", 100), &error));
    ASSERT_TRUE(database_->updateUserAttribute(*property("_fot", 500), &error));
    EXPECT_EQ(engine_->firstOpenTimestamp(), 500.0);
  });
  EXPECT_TRUE(reports_.empty());
}

TEST_F(FirstOpenTime, WithoutFirstOpenIsTheEarliestPropertyTime) {
  worker_->sync([&] {
    Error error;
    ASSERT_TRUE(database_->updateUserAttribute(*property("level_tier", 300), &error));
    ASSERT_TRUE(database_->updateUserAttribute(*property("coins", 100), &error));
    ASSERT_TRUE(database_->updateUserAttribute(*property("rank", 200), &error));
    EXPECT_EQ(engine_->firstOpenTimestamp(), 100.0);
  });
}

TEST_F(FirstOpenTime, WithoutPropertiesIsZero) {
  worker_->sync([&] { EXPECT_EQ(engine_->firstOpenTimestamp(), 0.0); });
  ASSERT_EQ(reportedCodes(), (std::vector<long>{kTLMFetchCodeFirstOpenNoProperties}));
  EXPECT_EQ(reports_[0].level, 2);
  EXPECT_EQ(reports_[0].message, "Cannot extract first open timestamp. Empty user properties");
}

TEST_F(FirstOpenTime, WhenThePropertiesCannotBeReadIsZero) {
  worker_->sync([&] {
    Error error;
    ASSERT_TRUE(database_->sqliteStore()->executeSQL("DROP TABLE user_attributes", &error));
    EXPECT_EQ(engine_->firstOpenTimestamp(), 0.0);
  });
  ASSERT_EQ(reportedCodes(), (std::vector<long>{kTLMFetchCodeFirstOpenQueryFailed}));
  EXPECT_EQ(reports_[0].level, 1);
}

}  // namespace
