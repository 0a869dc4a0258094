// Queries of the user properties and of the user-property limit: refusals,
// and answers always on the queue the caller names.
#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "api/TLMAnalytics.h"
#include "api/TLMAnalyticsState.h"
#include "engine/TLMMeasurement.h"
#include "engine/TLMStandIns.h"
#include "ferrolux/QLFAnalytics.h"
#include "platform/Dispatch.h"
#include "platform/DispatchQueue.h"
#include "public_test_support.h"

namespace {

class PublicQueriesTest : public PublicTest {
 protected:
  void SetUp() override {
    appQueue_ = platform_.platform().dispatch().createSerialQueue("com.ferrolux.tests.app");
  }

  // Starts the engine as the facade's start block would, and marks the
  // facade enabled.
  void startEngine() {
    TLMAnalytics::dispatchAsyncOnSerialQueue([] {
      TLMMeasurement::initializeSharedInstanceWithAppID(kPublicTestAppID, true, false,
                                                        std::nullopt);
      TLMAnalyticsState::current().enabled = true;
    });
    TLMAnalytics::unsuspendOperationQueue();
    run();
    ASSERT_TRUE(TLMMeasurement::hasSharedInstance());
  }

  struct Delivery {
    int calls = 0;
    ObjectDictionary properties;
    std::string queueLabel;
  };

  QLFUserPropertiesCallback recordInto(Delivery& delivery) {
    return [&delivery](const ObjectDictionary& properties) {
      ++delivery.calls;
      delivery.properties = properties;
      const DispatchQueue* current = DispatchQueue::current();
      delivery.queueLabel = current != nullptr ? current->label() : "";
    };
  }

  std::shared_ptr<DispatchQueue> appQueue_;
};

TEST_F(PublicQueriesTest, UserPropertiesWaitForStart) {
  Delivery delivery;
  TLMAnalytics::userPropertiesIncludingInternal(false, appQueue_, recordInto(delivery));
  run();
  EXPECT_EQ(delivery.calls, 0);
  TLMAnalytics::unsuspendOperationQueue();
  run();
  EXPECT_EQ(delivery.calls, 1);
}

TEST_F(PublicQueriesTest, NilCallbackIsRefusedWith25006) {
  TLMAnalytics::unsuspendOperationQueue();
  TLMAnalytics::userPropertiesIncludingInternal(false, appQueue_, QLFUserPropertiesCallback());
  run();
  expectOneReport({25006, 2, "Analytics userProperties callback cannot be nil"});
}

TEST_F(PublicQueriesTest, NilQueueAnswersEmptyOnTheMainQueueWith25007) {
  TLMAnalytics::unsuspendOperationQueue();
  TLMAnalyticsState::current().enabled = true;
  Delivery delivery;
  bool onMain = false;
  TLMAnalytics::userPropertiesIncludingInternal(
      true, nullptr, [&](const ObjectDictionary& properties) {
        recordInto(delivery)(properties);
        onMain = platform_.platform().dispatch().mainQueue()->isCurrent();
      });
  run();
  expectOneReport({25007, 2, "Cannot query for Analytics user properties. Queue cannot be nil"});
  EXPECT_EQ(delivery.calls, 1);
  EXPECT_TRUE(onMain);
  EXPECT_TRUE(delivery.properties.empty());
}

TEST_F(PublicQueriesTest, DisabledAnswersEmptyOnTheNamedQueueWith25008) {
  TLMStandIns::current().userProperties = [](bool) {
    return ObjectDictionary{{Object("level"), Object::integer(3)}};
  };
  TLMAnalytics::unsuspendOperationQueue();
  Delivery delivery;
  TLMAnalytics::userPropertiesIncludingInternal(false, appQueue_, recordInto(delivery));
  run();
  expectOneReport({25008, 5, "Cannot query for public user properties when Analytics is disabled"});
  EXPECT_EQ(delivery.calls, 1);
  EXPECT_EQ(delivery.queueLabel, "com.ferrolux.tests.app");
  EXPECT_TRUE(delivery.properties.empty());
}

TEST_F(PublicQueriesTest, EnabledWithoutAnEngineStillAnswers) {
  TLMAnalytics::unsuspendOperationQueue();
  TLMAnalyticsState::current().enabled = true;
  Delivery delivery;
  TLMAnalytics::userPropertiesIncludingInternal(false, appQueue_, recordInto(delivery));
  run();
  EXPECT_EQ(delivery.calls, 1);
  EXPECT_EQ(delivery.queueLabel, "com.ferrolux.tests.app");
  EXPECT_TRUE(monitor_.reports().empty());
}

TEST_F(PublicQueriesTest, EnabledAnswersWhatTheEngineHasOnTheNamedQueue) {
  std::optional<bool> askedInternal;
  TLMStandIns::current().userProperties = [&](bool includingInternal) {
    askedInternal = includingInternal;
    return ObjectDictionary{{Object("level"), Object::integer(3)}};
  };
  startEngine();
  Delivery delivery;
  TLMAnalytics::userPropertiesIncludingInternal(true, appQueue_, recordInto(delivery));
  run();
  EXPECT_EQ(askedInternal, std::optional<bool>(true));
  ASSERT_EQ(delivery.calls, 1);
  EXPECT_EQ(delivery.queueLabel, "com.ferrolux.tests.app");
  EXPECT_EQ(delivery.properties, (ObjectDictionary{{Object("level"), Object::integer(3)}}));
}

struct MaxRefusal {
  const char* origin;
  bool withQueue;
  bool withCallback;
  ExpectedReport expected;
  bool originAsContext;
};

class PublicMaxUserPropertiesRefusalTest : public PublicQueriesTest,
                                           public ::testing::WithParamInterface<MaxRefusal> {};

TEST_P(PublicMaxUserPropertiesRefusalTest, RefusesOnTheCallersThreadAndNeverAnswers) {
  const MaxRefusal& refusal = GetParam();
  TLMAnalytics::unsuspendOperationQueue();
  int calls = 0;
  // Through the public interop object, which forwards to the facade's.
  QLFAnalytics::sharedInstance()->maxUserPropertiesForOrigin(
      refusal.origin, refusal.withQueue ? appQueue_ : nullptr,
      refusal.withCallback ? QLFMaxUserPropertiesCallback([&](long) { ++calls; })
                           : QLFMaxUserPropertiesCallback());
  // Refused before anything is queued.
  const MonitorReport* report = expectOneReport(refusal.expected);
  ASSERT_NE(report, nullptr);
  if (refusal.originAsContext) {
    EXPECT_EQ(report->contexts, ObjectArray{Object(refusal.origin)});
  } else {
    EXPECT_TRUE(report->contexts.empty());
  }
  run();
  EXPECT_EQ(calls, 0);
  EXPECT_EQ(monitor_.reports().size(), 1u);
}

INSTANTIATE_TEST_SUITE_P(
    Refusals, PublicMaxUserPropertiesRefusalTest,
    ::testing::Values(
        MaxRefusal{"",
                   true,
                   true,
                   {25009, 2,
                    "Cannot query Analytics for max user properties. Origin must be a non-empty "
                    "string"},
                   false},
        // The empty origin is reported even when the rest is missing too.
        MaxRefusal{"",
                   false,
                   false,
                   {25009, 2,
                    "Cannot query Analytics for max user properties. Origin must be a non-empty "
                    "string"},
                   false},
        MaxRefusal{"vm",
                   false,
                   true,
                   {25010, 2,
                    "Cannot query Analytics for max user properties. Queue cannot be nil. Origin"},
                   true},
        MaxRefusal{"vm",
                   true,
                   false,
                   {25011, 2,
                    "Cannot query Analytics for max user properties. MaxUserProperties callback "
                    "cannot be nil. Origin"},
                   true}));

TEST_F(PublicQueriesTest, MaxUserPropertiesAnswersOnTheNamedQueue) {
  startEngine();
  std::optional<long> answer;
  std::string label;
  TLMAnalytics::sharedInstance()->maxUserPropertiesForOrigin("vm", appQueue_, [&](long value) {
    answer = value;
    label = DispatchQueue::current() != nullptr ? DispatchQueue::current()->label() : "";
  });
  run();
  EXPECT_EQ(answer, std::optional<long>(25));
  EXPECT_EQ(label, "com.ferrolux.tests.app");
}

}  // namespace
