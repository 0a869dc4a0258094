// The write step: the per-event blocklist, the session start's rollout
// event, and event editing left out while no runtime can run it.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "pipeline_test_support.h"

namespace {

class PipelineWriteTest : public PipelineTest {
 protected:
  static TLMPBEventConfig blocklisted(const std::string& name) {
    TLMPBEventConfig config;
    config.set_name(name);
    config.set_is_blocklisted(true);
    return config;
  }
};

TEST_F(PipelineWriteTest, BlocklistedNameIsRejectedWithAnErrorEvent) {
  startEngine();
  configure({}, {blocklisted("level_up"), blocklisted("_err")});
  log("level_up");
  log("tutorial_begin");
  log("_err", params({{"_err", Object::integer(4)}}), /*isPublic=*/false, "auto");

  EXPECT_EQ(storedNames(), std::vector<std::string>{"tutorial_begin"});
  const std::vector<MonitorReport> rejected = monitor_.withCode(23052);
  ASSERT_EQ(rejected.size(), 2u);
  EXPECT_EQ(rejected[0].level, 5);
  EXPECT_EQ(rejected[0].message, "Rejected event. Event name");
  EXPECT_EQ(rejected[0].contexts, ObjectArray{Object("level_up")});
  // A rejected "_err" must not report itself again.
  ASSERT_EQ(errorEvents_.size(), 1u);
  EXPECT_EQ(errorCodes(), std::vector<std::int64_t>{11});
  EXPECT_EQ(errorEvents_[0].parameters.at(Object("_ev")), Object("level_up"));
}

TEST_F(PipelineWriteTest, BlanketBlocklistRejectsWithoutErrorEvents) {
  startEngine();
  configure({{"measurement.upload.blacklist_public", "1"}});
  log("level_up");
  log("_e", {}, /*isPublic=*/false, "auto");
  EXPECT_EQ(storedNames(), std::vector<std::string>{"_e"});
  EXPECT_EQ(monitor_.withCode(23052).size(), 1u);
  EXPECT_TRUE(errorEvents_.empty());
}

TEST_F(PipelineWriteTest, EveryWrittenEventIsLoggedWithItsParameters) {
  startEngine();
  log("level_up", params({{"level", Object::integer(2)}}));
  const std::vector<MonitorReport> reports = monitor_.withCode(23051);
  ASSERT_EQ(reports.size(), 1u);
  EXPECT_EQ(reports[0].level, 7);
  EXPECT_EQ(reports[0].message, "Logging event: origin, name, params");
  ASSERT_EQ(reports[0].contexts.size(), 3u);
  EXPECT_EQ(reports[0].contexts[0], Object("app"));
  EXPECT_EQ(reports[0].contexts[1], Object("level_up"));
}

TEST_F(PipelineWriteTest, SessionStartWithStoredRolloutsAlsoWritesTheRolloutEvent) {
  startEngine();
  log("_s", {}, /*isPublic=*/false, "auto");
  EXPECT_EQ(storedNames(), std::vector<std::string>{"_s"});

  engine_->persistedConfig()->setQuillfenFeatureRollouts("r-9");
  platform_.platform().fakeClock()->advance(30);
  log("_s", {}, /*isPublic=*/false, "auto");
  EXPECT_EQ(storedNames(), (std::vector<std::string>{"_s", "_s", "_ssr"}));
  const TLMEventPtr rollouts = storedOne("_ssr");
  ASSERT_NE(rollouts, nullptr);
  EXPECT_EQ(rollouts->origin(), "auto");
  EXPECT_EQ(stringParameter(rollouts, "_ffr"), "r-9");
  EXPECT_DOUBLE_EQ(rollouts->timestamp(), now());
  // Written, not handled: the stored value is not taken as a duplicate.
  EXPECT_EQ(monitor_.withCode(23191).size(), 0u);
}

TEST_F(PipelineWriteTest, EditingFlagWithoutARuntimeStoresTheEventUnedited) {
  startEngine();
  configure({{"measurement.ees_feature_enabled", "1"}});
  ASSERT_TRUE(engine_->remoteConfigInstance()->eesFeatureEnabled());
  ASSERT_EQ(engine_->remoteConfigInstance()->eventEditing(), nullptr);
  log("level_up", params({{"level", Object::integer(2)}}));
  EXPECT_EQ(integerParameter(storedOne("level_up"), "level"), 2);
  EXPECT_EQ(monitor_.withCode(23223).size(), 0u);
}

}  // namespace
