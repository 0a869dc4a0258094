// The engine methods the facade calls: the event entry, user properties
// and their queries, the data reset and the personalized-ads property.
#include <gtest/gtest.h>

#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "api/TLMAnalytics.h"
#include "config/TLMIdentity.h"
#include "config/TLMPersistedConfig.h"
#include "engine/TLMMeasurement.h"
#include "engine/TLMScheduler.h"
#include "engine/TLMStandIns.h"
#include "engine/TLMUserAttribute.h"
#include "engine/TLMValue.h"
#include "engine/lifecycle_test_support.h"
#include "platform/DispatchQueue.h"
#include "storage/TLMDatabase.h"

namespace {

class EngineFacadeCallsTest : public EngineLifecycleTest {
 protected:
  EngineFacadeCallsTest() {
    TLMMeasurement::TEST_setLogEventCallObserver([this](const TLMLogEventCall& call) {
      events_.push_back(call);
      eventQueues_.push_back(currentQueueLabel());
    });
    TLMStandIns& s = TLMStandIns::current();
    s.setUserAttributeOnWorkerQueue = [this](const TLMUserAttributePtr& attribute) {
      setAttributes_.push_back(attribute);
    };
    s.removeUserAttributeOnWorkerQueue = [this](const TLMUserAttributePtr& attribute) {
      removedAttributes_.push_back(attribute);
    };
    s.userProperties = [](bool includingInternal) {
      ObjectDictionary properties;
      properties[Object("favorite_food")] = Object("pizza");
      if (includingInternal) properties[Object("_id")] = Object("user-1");
      return properties;
    };
  }

  ~EngineFacadeCallsTest() override { TLMMeasurement::TEST_setLogEventCallObserver(nullptr); }

  static TLMUserAttributePtr attribute(const std::string& name, std::int64_t value) {
    return TLMUserAttribute::initWithOrigin("app", name, TLMValue::initWithInt64(value), 1.0e9);
  }

  std::vector<TLMLogEventCall> events_;
  std::vector<std::string> eventQueues_;
  std::vector<TLMUserAttributePtr> setAttributes_;
  std::vector<TLMUserAttributePtr> removedAttributes_;
};

TEST_F(EngineFacadeCallsTest, EventsReachThePipelineOnTheWorkerQueueInOrder) {
  const std::shared_ptr<TLMMeasurement> engine = makeEngine();
  for (int i = 0; i < 3; ++i) {
    TLMLogEventCall call;
    call.origin = "app";
    call.isPublicEvent = true;
    call.name = "level_up_" + std::to_string(i);
    call.timestamp = 100.0 + i;
    call.enabled = true;
    engine->logEventWithOrigin(call);
  }
  EXPECT_TRUE(events_.empty());  // scheduled, not run inline
  run();
  ASSERT_EQ(events_.size(), 3u);
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(events_[i].name, "level_up_" + std::to_string(i));
    EXPECT_EQ(events_[i].timestamp, 100.0 + i);
    EXPECT_EQ(eventQueues_[i], "com.tarvix.qlfa.worker");
  }
}

TEST_F(EngineFacadeCallsTest, ExceptionInThePipelineIsReportedAndLaterEventsStillArrive) {
  const std::shared_ptr<TLMMeasurement> engine = makeEngine();
  TLMMeasurement::TEST_setLogEventCallObserver([this](const TLMLogEventCall& call) {
    if (call.name == "bad") throw std::out_of_range("parameter index");
    events_.push_back(call);
  });
  for (const char* name : {"first", "bad", "last"}) {
    TLMLogEventCall call;
    call.name = name;
    engine->logEventWithOrigin(call);
  }
  run();
  ASSERT_EQ(events_.size(), 2u);
  EXPECT_EQ(events_[0].name, "first");
  EXPECT_EQ(events_[1].name, "last");
  const std::vector<MonitorReport> reports = monitor_.withCode(30000);
  ASSERT_EQ(reports.size(), 1u);
  EXPECT_EQ(reports[0].message,
            "Exception on worker queue. Block ID=TLMMeasurement:2170. Exception");
}

TEST_F(EngineFacadeCallsTest, NetworkReportsReachTheMonitorWithMappedLevels) {
  const std::shared_ptr<TLMMeasurement> engine = makeEngine();
  monitor_.clear();
  engine->HRNNetwork_logWithLevel(3, 3004, "Invalid URL", OptionalObject(Object("bad://")));
  engine->HRNNetwork_logWithLevel(5, 3002, "HTTP error status", std::nullopt);
  engine->HRNNetwork_logWithLevel(9, 3008, "Reachability changed");
  const std::vector<MonitorReport> reports = monitor_.reports();
  ASSERT_EQ(reports.size(), 3u);
  EXPECT_EQ(reports[0].level, 1);
  EXPECT_EQ(reports[0].code, 3004);
  EXPECT_EQ(reports[0].contexts, (ObjectArray{Object("bad://")}));
  EXPECT_EQ(reports[1].level, 3);
  EXPECT_EQ(reports[1].contexts, (ObjectArray{Object::null()}));
  EXPECT_EQ(reports[2].level, 3);
  EXPECT_TRUE(reports[2].contexts.empty());
}

TEST_F(EngineFacadeCallsTest, EventsScheduledForAReleasedEngineAreDropped) {
  std::shared_ptr<TLMMeasurement> engine = makeEngine();
  TLMLogEventCall call;
  call.name = "late";
  engine->logEventWithOrigin(call);
  engine.reset();
  run();
  EXPECT_TRUE(events_.empty());
}

TEST_F(EngineFacadeCallsTest, NilUserAttributesAreReported) {
  const std::shared_ptr<TLMMeasurement> engine = makeEngine();
  engine->setUserAttribute(nullptr);
  engine->removeUserAttribute(nullptr);
  run();
  ASSERT_EQ(monitor_.withCode(23079).size(), 1u);
  EXPECT_EQ(monitor_.withCode(23079)[0].level, 3);
  EXPECT_EQ(monitor_.withCode(23079)[0].message, "Attempted to set nil user property");
  ASSERT_EQ(monitor_.withCode(23074).size(), 1u);
  EXPECT_EQ(monitor_.withCode(23074)[0].level, 3);
  EXPECT_EQ(monitor_.withCode(23074)[0].message, "Attempted to remove nil user property");
  EXPECT_TRUE(setAttributes_.empty());
  EXPECT_TRUE(removedAttributes_.empty());
}

TEST_F(EngineFacadeCallsTest, DisabledEngineRefusesUserAttributes) {
  const std::shared_ptr<TLMMeasurement> engine = makeEngine(/*enabled=*/false);
  engine->setUserAttribute(attribute("level", 3));
  engine->removeUserAttribute(attribute("level", 0));
  run();
  EXPECT_TRUE(setAttributes_.empty());
  EXPECT_TRUE(removedAttributes_.empty());
  ASSERT_EQ(monitor_.withCode(23081).size(), 1u);
  EXPECT_EQ(monitor_.withCode(23081)[0].level, 7);
  EXPECT_EQ(monitor_.withCode(23081)[0].message, "Analytics is disabled. User property not set");
  ASSERT_EQ(monitor_.withCode(23076).size(), 1u);
  EXPECT_EQ(monitor_.withCode(23076)[0].level, 7);
  EXPECT_EQ(monitor_.withCode(23076)[0].message,
            "Analytics is disabled. User property not removed");
}

TEST_F(EngineFacadeCallsTest, EnabledEngineHandsUserAttributesOn) {
  const std::shared_ptr<TLMMeasurement> engine = makeEngine();
  const TLMUserAttributePtr level = attribute("level", 3);
  engine->setUserAttribute(level);
  engine->removeUserAttribute(attribute("score", 0));
  run();
  ASSERT_EQ(setAttributes_.size(), 1u);
  EXPECT_EQ(setAttributes_[0], level);
  ASSERT_EQ(removedAttributes_.size(), 1u);
  EXPECT_EQ(removedAttributes_[0]->name(), "score");
}

TEST_F(EngineFacadeCallsTest, UserPropertiesAreDeliveredOnTheBackgroundQueue) {
  const std::shared_ptr<TLMMeasurement> engine = makeEngine();
  std::optional<ObjectDictionary> received;
  std::string queue;
  engine->userPropertiesIncludingInternal(true, [&](const ObjectDictionary& properties) {
    received = properties;
    queue = currentQueueLabel();
  });
  run();
  ASSERT_TRUE(received.has_value());
  EXPECT_EQ(received->size(), 2u);
  EXPECT_EQ(received->at(Object("_id")), Object("user-1"));
  EXPECT_EQ(queue, "com.apple.root.background-qos");

  engine->userPropertiesIncludingInternal(false, nullptr);
  run();
  const std::vector<MonitorReport> reports = monitor_.withCode(23090);
  ASSERT_EQ(reports.size(), 1u);
  EXPECT_EQ(reports[0].level, 0);
  EXPECT_EQ(reports[0].message, "Unable to retrieve user properties. Callback is nil");
}

TEST_F(EngineFacadeCallsTest, MaxUserPropertiesChecksItsArguments) {
  const std::shared_ptr<TLMMeasurement> engine = makeEngine();
  std::vector<long> answers;
  std::string queue;
  engine->maxUserPropertiesForOrigin("", [&](long value) { answers.push_back(value); });
  engine->maxUserPropertiesForOrigin("vm", nullptr);
  engine->maxUserPropertiesForOrigin("vm", [&](long value) {
    answers.push_back(value);
    queue = currentQueueLabel();
  });
  run();
  EXPECT_EQ(answers, (std::vector<long>{25}));
  EXPECT_EQ(queue, "com.apple.root.background-qos");
  ASSERT_EQ(monitor_.withCode(23093).size(), 1u);
  EXPECT_EQ(monitor_.withCode(23093)[0].level, 0);
  EXPECT_EQ(monitor_.withCode(23093)[0].message,
            "Origin for querying MaxUserProperties cannot be nil");
  const std::vector<MonitorReport> nilCallback = monitor_.withCode(23094);
  ASSERT_EQ(nilCallback.size(), 1u);
  EXPECT_EQ(nilCallback[0].level, 0);
  EXPECT_EQ(nilCallback[0].message, "MaxUserProperties callback cannot be nil. Origin");
  ASSERT_EQ(nilCallback[0].contexts.size(), 1u);
  EXPECT_EQ(nilCallback[0].contexts[0], Object("vm"));
}

TEST_F(EngineFacadeCallsTest, DefaultParametersAndSessionTimeoutGoThroughTheWorkerQueue) {
  const std::shared_ptr<TLMMeasurement> engine = makeEngine();
  std::optional<double> timeout;
  TLMStandIns::current().setSessionTimeoutInterval = [&](double seconds) { timeout = seconds; };
  ObjectDictionary defaults;
  defaults[Object("campaign")] = Object("spring");
  engine->setDefaultEventParameters(Object::dictionary(defaults));
  engine->setSessionTimeoutInterval(900);
  EXPECT_FALSE(timeout.has_value());
  EXPECT_EQ(engine->persistedConfig()->defaultEventParameters(), std::nullopt);
  run();
  EXPECT_EQ(engine->persistedConfig()->defaultEventParameters(),
            OptionalObject(Object::dictionary(defaults)));
  EXPECT_EQ(timeout, 900.0);
}

// ---- Reset ----

TEST_F(EngineFacadeCallsTest, ResetWithAnEmptyIDIsRefusedWhileStorageIsAllowed) {
  const std::shared_ptr<TLMMeasurement> engine = makeEngine();
  calls_.clear();
  EXPECT_FALSE(engine->resetAnalyticsDataWithAppInstanceID(""));
  EXPECT_FALSE(engine->resetAnalyticsDataWithAppInstanceID(std::nullopt));
  EXPECT_EQ(count("wipe"), 0);
  const std::vector<MonitorReport> reports = monitor_.withCode(23167);
  ASSERT_EQ(reports.size(), 2u);
  EXPECT_EQ(reports[0].level, 1);
  EXPECT_EQ(reports[0].message, "Cannot reset with an empty app instance ID");
}

TEST_F(EngineFacadeCallsTest, ResetWipesAdoptsTheIDAndStartsAgain) {
  const std::shared_ptr<TLMMeasurement> engine = makeEngine();
  calls_.clear();
  TLMAnalytics::setDeferredAnalyticsCollection(std::nullopt);
  TLMAnalytics::setNeedFirstOpenAfterReset(true);
  TLMAnalytics::setLoadTimestamp(1767300000.5);
  const std::string newID = "00112233445566778899AABBCCDDEEFF";

  EXPECT_TRUE(engine->resetAnalyticsDataWithAppInstanceID(newID));
  EXPECT_EQ(calls_, (std::vector<std::string>{"wipe", "reportFirstOpen"}));
  EXPECT_EQ(engine->identity()->appInstanceID(), newID);
  EXPECT_EQ(deferredCollection(), 0);
  EXPECT_EQ(engine->initTimestamp(), 1767300000.5);
  const OptionalObject stored = TLMPersistedConfig::sharedInstance()->loadTimestampValue();
  ASSERT_TRUE(stored.has_value());
  EXPECT_EQ(stored->doubleValue(), 1767300000.5);
  // The first open was reported now; the next start must not repeat it.
  EXPECT_FALSE(TLMAnalytics::needFirstOpenAfterReset());
  ASSERT_EQ(monitor_.withCode(23168).size(), 1u);
  EXPECT_EQ(monitor_.withCode(23168)[0].level, 6);
  EXPECT_EQ(monitor_.withCode(23168)[0].message, "Analytics data has been reset");
}

TEST_F(EngineFacadeCallsTest, ResetOfADisabledEngineOwesTheFirstOpen) {
  const std::shared_ptr<TLMMeasurement> engine = makeEngine(/*enabled=*/false);
  calls_.clear();
  TLMAnalytics::setDeferredAnalyticsCollection(std::nullopt);
  TLMAnalytics::setNeedFirstOpenAfterReset(true);
  EXPECT_TRUE(engine->resetAnalyticsDataWithAppInstanceID("00112233445566778899AABBCCDDEEFF"));
  EXPECT_EQ(calls_, (std::vector<std::string>{"wipe"}));
  EXPECT_EQ(deferredCollection(), 1);
  EXPECT_TRUE(TLMAnalytics::needFirstOpenAfterReset());
}

TEST_F(EngineFacadeCallsTest, FailedWipeFailsTheReset) {
  const std::shared_ptr<TLMMeasurement> engine = makeEngine();
  const std::optional<std::string> before = engine->identity()->appInstanceID();
  wipeSucceeds_ = false;
  EXPECT_FALSE(engine->resetAnalyticsDataWithAppInstanceID("00112233445566778899AABBCCDDEEFF"));
  EXPECT_EQ(monitor_.count(23168), 0u);
  EXPECT_EQ(engine->identity()->appInstanceID(), before);
}

// ---- Personalized ads ----

TEST_F(EngineFacadeCallsTest, StartSetsTheNonPersonalizedAdsProperty) {
  TLMPersistedConfig::sharedInstance()->setAllowPersonalizedAds(Object::boolean(false));
  makeEngine();
  ASSERT_FALSE(setAttributes_.empty());
  const TLMUserAttributePtr& npa = setAttributes_.front();
  EXPECT_EQ(npa->name(), "_npa");
  EXPECT_EQ(npa->origin(), "auto");
  ASSERT_NE(npa->value(), nullptr);
  EXPECT_EQ(npa->value()->int64Value(), 1);
}

TEST_F(EngineFacadeCallsTest, StoredPropertyWithoutAChoiceIsRemoved) {
  const std::shared_ptr<TLMMeasurement> engine = makeEngine();
  ASSERT_NE(engine->database(), nullptr);
  const TLMUserAttributePtr npa =
      TLMUserAttribute::initWithOrigin("auto", "_npa", TLMValue::initWithInt64(1), 1.0e9);
  ASSERT_NE(npa, nullptr);
  Error error;
  ASSERT_TRUE(engine->database()->updateUserAttribute(*npa, &error));

  engine->scheduler()->scheduleOnWorkerQueueBlockID(
      "test", [&] { engine->setPersonalizedAdsUserPropertyOnWorkerQueue(); });
  run();
  EXPECT_EQ(engine->database()->containsUserAttributeWithName("_npa", &error), false);
  ASSERT_EQ(monitor_.withCode(23180).size(), 1u);
  EXPECT_EQ(monitor_.withCode(23180)[0].level, 4);
  EXPECT_EQ(monitor_.withCode(23180)[0].message,
            "No value set for personalized ads. Removing user property.");
}

}  // namespace
