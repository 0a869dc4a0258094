// The configuration's side of the experiments: registration, the
// experiment flags, snapshots and the random generator study.
#include <cctype>

#include "config/remote_config_test_support.h"

namespace {

constexpr char kBackgroundSession[] = "measurement.network.background_session_enabled";
constexpr char kEfficientEngagement[] =
    "measurement.collection.efficient_engagement_reporting_enabled";
constexpr char kRedundantEngagement[] =
    "measurement.collection.redundant_engagement_removal_enabled";

class RemoteConfigExperiments : public RemoteConfigTest {
 protected:
  std::shared_ptr<FakeExperimentManager> manager_ = std::make_shared<FakeExperimentManager>();
  FakeExperimentClient& client() { return *manager_->client_; }
};

TEST_F(RemoteConfigExperiments, RegistersAsTheLibraryWithFourFlagsAtZero) {
  auto config = create(manager_);
  EXPECT_EQ(manager_->sdkName_, "ferrolux");
  EXPECT_EQ(manager_->sdkVersion_, kFerroluxLibraryVersion);
  const std::map<std::string, Object> expected = {
      {"efficient_engagement_reporting_enabled", Object::integer(0)},
      {"network_background_session_enabled", Object::integer(0)},
      {"random_generator_study_enabled", Object::integer(0)},
      {"redundant_engagement_removal_enabled", Object::integer(0)},
  };
  EXPECT_EQ(manager_->defaultFlags_, expected);
  // The manager holds its delegate weakly.
  EXPECT_EQ(manager_->delegate_.lock().get(), config.get());
  config.reset();
  EXPECT_TRUE(manager_->delegate_.expired());
}

TEST_F(RemoteConfigExperiments, TheClientsFlagWinsForTheThreeExperimentSwitches) {
  auto config = create(manager_);
  ASSERT_NE(apply(*config, makeConfig(kRemoteConfigAppID, {{kBackgroundSession, "1"},
                                                           {kEfficientEngagement, "0"},
                                                           {kRedundantEngagement, "1"},
                                                           {"measurement.quality.checksum", "1"}})),
            nullptr);
  // The client yields nothing: the settings decide.
  EXPECT_TRUE(config->isNetworkBackgroundSessionEnabled());
  EXPECT_FALSE(config->efficientEngagementReportingEnabled());
  EXPECT_TRUE(config->redundantEngagementRemovalEnabled());

  client().setFlag("network_background_session_enabled", Object::integer(0));
  client().setFlag("efficient_engagement_reporting_enabled", Object::boolean(true));
  client().setFlag("redundant_engagement_removal_enabled", Object::integer(0));
  // A flag of that name does not steer an ordinary switch.
  client().setFlag("measurement.quality.checksum", Object::integer(0));
  EXPECT_FALSE(config->isNetworkBackgroundSessionEnabled());
  EXPECT_TRUE(config->efficientEngagementReportingEnabled());
  EXPECT_FALSE(config->redundantEngagementRemovalEnabled());
  EXPECT_TRUE(config->checksumEnabled());

  // Without a manager the settings decide.
  auto alone = create();
  ASSERT_NE(apply(*alone, makeConfig(kRemoteConfigAppID, {{kEfficientEngagement, "1"}})), nullptr);
  EXPECT_TRUE(alone->efficientEngagementReportingEnabled());
}

TEST_F(RemoteConfigExperiments, CreationActivatesAWaitingSnapshot) {
  client().setPendingFlag("random_generator_study_enabled", Object::integer(1));
  auto config = create(manager_);
  EXPECT_EQ(client().activations(), 1);
  // The random generator flag is read after that activation.
  EXPECT_TRUE(config->randomGeneratorStudyEnabled());

  auto failing = std::make_shared<FakeExperimentManager>();
  failing->client_->failActivationWith(tlm_errorWithCode(3, "no snapshot"));
  clearSample();
  EXPECT_NE(create(failing), nullptr);
  EXPECT_EQ(sampledKey(), keyOf("Cannot activate stale snapshot. Error", 2));
}

TEST_F(RemoteConfigExperiments, AnAnnouncedSnapshotIsActivatedOnce) {
  auto config = create(manager_);
  const int atCreation = client().activations();
  EXPECT_FALSE(config->activateNewSnapshot());
  EXPECT_EQ(client().activations(), atCreation);

  manager_->delegate_.lock()->clientDidReceiveNewSnapshot();
  client().setPendingFlag("random_generator_study_enabled", Object::integer(1));
  EXPECT_FALSE(config->randomGeneratorStudyEnabled());
  EXPECT_TRUE(config->activateNewSnapshot());
  EXPECT_TRUE(config->randomGeneratorStudyEnabled());
  EXPECT_FALSE(config->activateNewSnapshot());
  EXPECT_EQ(client().activations(), atCreation + 1);

  // A failed activation is reported and the snapshot still waits.
  config->clientDidReceiveNewSnapshot();
  client().failActivationWith(tlm_errorWithCode(3, "store failed"));
  clearSample();
  EXPECT_FALSE(config->activateNewSnapshot());
  EXPECT_EQ(sampledKey(), keyOf("Cannot activate snapshot. Error", 2));
  client().failActivationWith(std::nullopt);
  EXPECT_TRUE(config->activateNewSnapshot());
  EXPECT_FALSE(config->activateNewSnapshot());
}

TEST_F(RemoteConfigExperiments, TheRandomGeneratorStudyAddsTwoRandomProperties) {
  auto config = create(manager_);
  EXPECT_FALSE(config->dynamicCustomPropertiesForSDKProperty().has_value());

  config->setRandomGeneratorStudyEnabled(true);
  const auto first = config->dynamicCustomPropertiesForSDKProperty();
  const auto second = config->dynamicCustomPropertiesForSDKProperty();
  ASSERT_TRUE(first.has_value());
  ASSERT_TRUE(second.has_value());
  ASSERT_EQ(first->size(), 2u);
  const std::string& uuid = first->at("random_uuid");
  const std::string& security = first->at("random_security");
  EXPECT_EQ(uuid.size(), 32u);
  EXPECT_EQ(uuid.find('-'), std::string::npos);
  ASSERT_EQ(security.size(), 32u);
  for (const char c : security) {
    EXPECT_TRUE(std::isdigit(static_cast<unsigned char>(c)) || (c >= 'A' && c <= 'F')) << security;
  }
  EXPECT_NE(first->at("random_uuid"), second->at("random_uuid"));
  EXPECT_NE(first->at("random_security"), second->at("random_security"));

  // Reset reads the client's flag again.
  config->reset();
  EXPECT_FALSE(config->randomGeneratorStudyEnabled());
  client().setFlag("random_generator_study_enabled", Object::integer(1));
  EXPECT_TRUE(config->currentRandomGeneratorStudyEnabledFlag());
  config->reset();
  EXPECT_TRUE(config->randomGeneratorStudyEnabled());
}

TEST_F(RemoteConfigExperiments, ExperimentIDsFetchErrorsAndTheFetchQuestion) {
  bool enabled = false;
  TLMRemoteConfigHooks hooks;
  hooks.isMeasurementEnabled = [&enabled] { return enabled; };
  auto config = create(manager_, hooks);
  manager_->experimentIDs_ = {3, 17};
  EXPECT_EQ(config->experimentIDs(), (std::vector<std::int64_t>{3, 17}));
  EXPECT_TRUE(create()->experimentIDs().empty());

  EXPECT_FALSE(config->shouldFetchExperimentsForClient());
  enabled = true;
  EXPECT_TRUE(config->shouldFetchExperimentsForClient());
  EXPECT_FALSE(create()->shouldFetchExperimentsForClient());

  clearSample();
  config->clientDidReceiveFetchError(nullptr);
  EXPECT_EQ(sampledKey(), "");
  const Error error = tlm_errorWithCode(-2, "fetch failed");
  config->clientDidReceiveFetchError(&error);
  EXPECT_EQ(sampledKey(), keyOf("Cannot fetch experiment. Error", 2));
}

}  // namespace
