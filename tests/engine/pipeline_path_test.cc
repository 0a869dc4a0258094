// The event path: the enabled gate, the safelist, background sessions,
// subscription and rollout de-duplication, conditional user properties.
#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "engine/TLMUserAttribute.h"
#include "pipeline_test_support.h"

namespace {

class PipelinePathTest : public PipelineTest {
 protected:
  void storeUserAttribute(const std::string& name) {
    const TLMUserAttributePtr attribute =
        TLMUserAttribute::initWithOrigin("auto", name, TLMValue::initWithInt64(5), now());
    ASSERT_NE(attribute, nullptr);
    Error error;
    ASSERT_TRUE(engine_->database()->updateUserAttribute(*attribute, &error));
  }
  bool hasUserAttribute(const std::string& name) {
    Error error;
    return engine_->database()->userAttributeWithName(name, &error) != nullptr;
  }
};

TEST_F(PipelinePathTest, DisabledEngineRefusesEveryEvent) {
  engine_ = makeEngine(/*enabled=*/false);
  ASSERT_NE(engine_, nullptr);
  ASSERT_FALSE(engine_->isEnabled());
  TLMLogEventCall forced = call("level_up");
  forced.ignoreEnabled = true;
  engine_->logEventWithOrigin(forced);
  engine_->logEvent(TLMEvent::initWithOrigin("auto", false, "_e", now(), 0, {}));
  run();
  const std::vector<MonitorReport> reports = monitor_.withCode(23049);
  ASSERT_EQ(reports.size(), 2u);
  EXPECT_EQ(reports[0].level, 7);
  EXPECT_EQ(reports[0].message, "Analytics is disabled. Event not logged");
  // Components are built at the first enable: nothing could be stored.
  EXPECT_EQ(engine_->database(), nullptr);
}

TEST_F(PipelinePathTest, OneNameSafelistDropsEverythingElseIncludingTheLibrarysOwn) {
  startEngine(std::vector<std::string>{"level_up"});
  log("level_up", params({{"level", Object::integer(2)}}));
  log("tutorial_begin");
  logInternal("_e");
  log("_s", {}, /*isPublic=*/false, "auto");

  EXPECT_EQ(storedNames(), std::vector<std::string>{"level_up"});
  const TLMEventPtr kept = storedOne("level_up");
  EXPECT_EQ(integerParameter(kept, "tx_safelisted"), 1);
  EXPECT_EQ(integerParameter(kept, "level"), 2);
  const std::vector<MonitorReport> drops = monitor_.withCode(23174);
  ASSERT_EQ(drops.size(), 3u);
  EXPECT_EQ(drops[0].level, 3);
  EXPECT_EQ(drops[0].message, "Event dropped. Reason: not in allowlist. Event name, origin");
  EXPECT_EQ(drops[0].contexts, (ObjectArray{Object("tutorial_begin"), Object("app")}));
}

TEST_F(PipelinePathTest, EmptySafelistLetsEverythingThroughUnmarked) {
  startEngine(std::vector<std::string>{});
  log("level_up");
  EXPECT_FALSE(storedOne("level_up")->hasParameter("tx_safelisted"));
}

TEST_F(PipelinePathTest, BackgroundEventWithExtendSessionExtendsOrStartsTheSession) {
  startEngine();
  std::vector<std::string> sessionCalls;
  bool expired = false;
  TLMStandIns& s = TLMStandIns::current();
  s.isSessionExpired = [&](double) { return expired; };
  s.extendSession = [&](double timestamp) {
    sessionCalls.push_back("extend@" + std::to_string(static_cast<long long>(timestamp)));
  };
  s.reportSessionStartOnWorkerQueue = [&](double timestamp, bool inBackground) {
    sessionCalls.push_back("start@" + std::to_string(static_cast<long long>(timestamp)) +
                           (inBackground ? ":bg" : ":fg"));
    expired = false;
  };
  const std::string at = std::to_string(static_cast<long long>(now()));

  // In the foreground the session reporter sees events itself.
  log("level_up", params({{"extend_session", Object::integer(1)}}));
  EXPECT_TRUE(sessionCalls.empty());

  appActive_ = false;
  log("level_up", params({{"extend_session", Object::integer(1)}}));
  expired = true;
  log("level_up", params({{"extend_session", Object::integer(1)}}));
  EXPECT_EQ(sessionCalls, (std::vector<std::string>{"extend@" + at, "start@" + at + ":bg"}));

  log("level_up", params({{"extend_session", Object::integer(2)}}));
  const std::vector<MonitorReport> reserved = monitor_.withCode(23179);
  ASSERT_EQ(reserved.size(), 1u);
  EXPECT_EQ(reserved[0].level, 3);
  EXPECT_EQ(reserved[0].message,
            "extend_session is a reserved parameter. To extend or start a session in the "
            "background, set an event parameter {@'extend_session': @1}");
  EXPECT_EQ(sessionCalls.size(), 2u);
  EXPECT_EQ(storedNames().size(), 4u);  // the events themselves all go on
}

TEST_F(PipelinePathTest, ExpiredBackgroundSessionRemovesTheSessionProperties) {
  startEngine();
  for (const char* name : {"_sid", "_sno", "_se", "_fot"}) storeUserAttribute(name);
  bool expired = false;
  TLMStandIns::current().isSessionExpired = [&](double) { return expired; };

  appActive_ = false;
  log("level_up");
  EXPECT_TRUE(hasUserAttribute("_sid"));
  expired = true;
  appActive_ = true;
  log("level_up");
  EXPECT_TRUE(hasUserAttribute("_sid"));  // only in the background

  appActive_ = false;
  log("level_up");
  EXPECT_FALSE(hasUserAttribute("_sid"));
  EXPECT_FALSE(hasUserAttribute("_sno"));
  EXPECT_FALSE(hasUserAttribute("_se"));
  EXPECT_TRUE(hasUserAttribute("_fot"));
  EXPECT_EQ(storedNames().size(), 3u);
}

TEST_F(PipelinePathTest, DuplicateSubscriptionIsDropped) {
  startEngine();
  const ObjectDictionary first =
      params({{"_did", Object::integer(4242)}, {"product_id", Object("gold")}});
  log("_assr", first, /*isPublic=*/false, "auto");
  log("_assr", first, /*isPublic=*/false, "auto");
  log("_assc", first, /*isPublic=*/false, "auto");  // one ID across the kinds
  log("_assr", params({{"_did", Object::integer(4243)}, {"product_id", Object("gold")}}),
      /*isPublic=*/false, "auto");
  // Not a subscription purchase: never de-duplicated.
  log("_iap", params({{"_did", Object::integer(4242)}}), /*isPublic=*/false, "auto");

  EXPECT_EQ(storedNames(), (std::vector<std::string>{"_assr", "_assr", "_iap"}));
  const std::vector<MonitorReport> duplicates = monitor_.withCode(23182);
  ASSERT_EQ(duplicates.size(), 2u);
  EXPECT_EQ(duplicates[0].level, 4);
  EXPECT_EQ(duplicates[0].message,
            "Event dropped. Reason: Subscription purchase is a duplicate. Product ID");
  EXPECT_EQ(duplicates[0].contexts, ObjectArray{Object("gold")});
}

TEST_F(PipelinePathTest, SubscriptionPurchaseFlagMakesAnIAPADuplicate) {
  startEngine();
  const ObjectDictionary subscription =
      params({{"_did", Object::integer(7)}, {"subscription", Object::integer(1)}});
  log("_iap", subscription, /*isPublic=*/false, "auto");
  log("_iap", subscription, /*isPublic=*/false, "auto");
  EXPECT_EQ(storedNames(), std::vector<std::string>{"_iap"});
}

TEST_F(PipelinePathTest, TriggeredEventsAreWrittenAfterTheEventAndAFailureStillStoresIt) {
  startEngine();
  TLMStandIns::current().processConditionalUserPropertiesForEvent =
      [this](const TLMEventPtr& event) -> std::optional<std::vector<TLMEventPtr>> {
    if (event->name() == "broken") return std::nullopt;
    if (event->name() != "level_up") return std::vector<TLMEventPtr>();
    return std::vector<TLMEventPtr>{
        TLMEvent::initWithOrigin("auto", false, "_cup_a", now(), 0, {}),
        TLMEvent::initWithOrigin("auto", false, "_cup_b", now(), 0, {})};
  };
  log("level_up");
  log("broken");
  EXPECT_EQ(storedNames(), (std::vector<std::string>{"level_up", "_cup_a", "_cup_b", "broken"}));
  const std::vector<MonitorReport> failed = monitor_.withCode(23050);
  ASSERT_EQ(failed.size(), 1u);
  EXPECT_EQ(failed[0].level, 4);
  EXPECT_EQ(failed[0].message, "Unable to process conditional user property. Event name, origin");
  EXPECT_EQ(failed[0].contexts, (ObjectArray{Object("broken"), Object("app")}));
}

TEST_F(PipelinePathTest, RolloutEventIsStoredOnlyWhenTheValueChanges) {
  startEngine();
  TLMPersistedConfig& persisted = *engine_->persistedConfig();
  log("_ssr", params({{"_ffr", Object("a")}}), /*isPublic=*/false, "auto");
  EXPECT_EQ(persisted.quillfenFeatureRollouts(), "a");
  log("_ssr", params({{"_ffr", Object("a")}}), /*isPublic=*/false, "auto");
  log("_ssr", params({{"_ffr", Object("b")}}), /*isPublic=*/false, "auto");
  EXPECT_EQ(persisted.quillfenFeatureRollouts(), "b");
  // Cleared rollouts are news once, then a duplicate.
  log("_ssr", params({{"_ffr", Object("")}}), /*isPublic=*/false, "auto");
  EXPECT_EQ(persisted.quillfenFeatureRollouts(), std::nullopt);
  log("_ssr", {}, /*isPublic=*/false, "auto");

  EXPECT_EQ(storedNames(), (std::vector<std::string>{"_ssr", "_ssr", "_ssr"}));
  const std::vector<MonitorReport> duplicates = monitor_.withCode(23191);
  ASSERT_EQ(duplicates.size(), 2u);
  EXPECT_EQ(duplicates[0].level, 8);
  EXPECT_EQ(duplicates[0].message, "Feature rollouts value is a duplicate, dropping event");
}

TEST_F(PipelinePathTest, NonStringRolloutValueClearsTheStoredOne) {
  startEngine();
  engine_->persistedConfig()->setQuillfenFeatureRollouts("a");
  log("_ssr", params({{"_ffr", Object::integer(3)}}), /*isPublic=*/false, "auto");
  EXPECT_EQ(engine_->persistedConfig()->quillfenFeatureRollouts(), std::nullopt);
  const std::vector<MonitorReport> reports = monitor_.withCode(23190);
  ASSERT_EQ(reports.size(), 1u);
  EXPECT_EQ(reports[0].level, 2);
  EXPECT_EQ(reports[0].message,
            "Unable to process quillfen feature rollouts, value is not a string.");
  EXPECT_EQ(storedNames(), std::vector<std::string>{"_ssr"});
}

TEST_F(PipelinePathTest, EveryHandledEventUpdatesTheSchedule) {
  startEngine();
  calls_.clear();
  log("level_up");
  log("tutorial_begin");
  EXPECT_EQ(count("updateSchedule"), 2);
}

}  // namespace
