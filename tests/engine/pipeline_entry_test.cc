// The pipeline's entry: default parameters, the interceptor, ad and
// internal events, the listeners and refused calls.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "pipeline_test_support.h"

namespace {

struct Intercepted {
  std::string origin;
  std::string name;
  Object parameters;
  double timestamp;
};

class PipelineEntryTest : public PipelineTest {
 protected:
  // An interceptor that records and, when `relog` is set, logs the event
  // again the way the public interface lets it.
  TLMLogEventInterceptor interceptor(bool relog) {
    return [this, relog](const std::string& origin, const std::string& name,
                         const Object& parameters, double timestamp) {
      intercepted_.push_back({origin, name, parameters, timestamp});
      if (!relog) return;
      TLMLogEventCall again;
      again.origin = origin;
      again.isPublicEvent = true;
      again.name = name;
      again.parameters = parameters;
      again.timestamp = timestamp;
      again.enabled = true;
      again.ignoreInterceptor = true;
      again.interceptor = interceptor(true);
      engine_->logEventWithOrigin(again);
    };
  }

  std::vector<Intercepted> intercepted_;
};

TEST_F(PipelineEntryTest, InterceptedPublicEventIsStoredOnlyWhenTheInterceptorLogsItAgain) {
  startEngine();
  engine_->setDefaultEventParameters(Object::dictionary(params({{"campaign", Object("spring")}})));
  run();

  TLMLogEventCall kept = call("level_up", params({{"level", Object::integer(3)}}));
  kept.interceptor = interceptor(false);
  kept.addedScreenParameters = Object::dictionary(params({{"_si", Object::integer(77)}}));
  log(kept);
  ASSERT_EQ(intercepted_.size(), 1u);
  EXPECT_EQ(intercepted_[0].origin, "app");
  EXPECT_EQ(intercepted_[0].name, "level_up");
  EXPECT_EQ(intercepted_[0].timestamp, kept.timestamp);
  // Defaults and screen parameters are what the interceptor is shown.
  EXPECT_EQ(intercepted_[0].parameters,
            Object::dictionary(params({{"_si", Object::integer(77)},
                                       {"campaign", Object("spring")},
                                       {"level", Object::integer(3)}})));
  EXPECT_TRUE(storedNames().empty());

  TLMLogEventCall relogged = call("tutorial_begin");
  relogged.interceptor = interceptor(true);
  log(relogged);
  // Logged again with ignoreInterceptor: stored once, not intercepted twice.
  ASSERT_EQ(intercepted_.size(), 2u);
  EXPECT_EQ(storedNames(), std::vector<std::string>{"tutorial_begin"});
  EXPECT_EQ(stringParameter(storedOne("tutorial_begin"), "campaign"), "spring");
}

TEST_F(PipelineEntryTest, ScreenParametersWinOverTheCallersForTheInterceptor) {
  startEngine();
  TLMLogEventCall made = call("level_up", params({{"_si", Object::integer(1)}}));
  made.interceptor = interceptor(false);
  made.addedScreenParameters = Object::dictionary(params({{"_si", Object::integer(2)}}));
  log(made);
  ASSERT_EQ(intercepted_.size(), 1u);
  EXPECT_EQ(intercepted_[0].parameters, Object::dictionary(params({{"_si", Object::integer(2)}})));

  TLMLogEventCall bare = call("level_up");
  bare.parameters = std::nullopt;
  bare.interceptor = interceptor(false);
  log(bare);
  ASSERT_EQ(intercepted_.size(), 2u);
  EXPECT_EQ(intercepted_[1].parameters, Object::dictionary({}));
}

TEST_F(PipelineEntryTest, InternalAndAdEventsNeverReachTheInterceptor) {
  startEngine();
  TLMLogEventCall internal = call("_e", {}, /*isPublic=*/false, "auto");
  internal.interceptor = interceptor(false);
  log(internal);
  TLMLogEventCall adEvent = call("coin_pickup", {}, /*isPublic=*/true, "vm");
  adEvent.interceptor = interceptor(false);
  log(adEvent);
  for (const char* name : {"_xa", "_xu"}) {
    TLMLogEventCall exposure = call(name, {}, /*isPublic=*/false, "auto");
    exposure.interceptor = interceptor(false);
    log(exposure);
  }
  EXPECT_TRUE(intercepted_.empty());
  EXPECT_EQ(storedNames(), (std::vector<std::string>{"_e", "coin_pickup", "_xa", "_xu"}));
}

TEST_F(PipelineEntryTest, ErrorEventsNeverGetDefaultParameters) {
  startEngine();
  engine_->setDefaultEventParameters(Object::dictionary(params({{"campaign", Object("spring")}})));
  run();
  log("_err", params({{"_err", Object::integer(11)}}), /*isPublic=*/false, "auto");
  logInternal("_err", params({{"_err", Object::integer(12)}}));
  logInternal("_e");
  log("level_up", params({{"campaign", Object("own")}}));

  std::vector<TLMEventPtr> errors;
  for (const TLMEventPtr& event : stored()) {
    if (event->name() == "_err") errors.push_back(event);
  }
  ASSERT_EQ(errors.size(), 2u);
  for (const TLMEventPtr& error : errors) EXPECT_FALSE(error->hasParameter("campaign"));
  EXPECT_EQ(stringParameter(storedOne("_e"), "campaign"), "spring");
  // The event's own value wins over the default.
  EXPECT_EQ(stringParameter(storedOne("level_up"), "campaign"), "own");
}

TEST_F(PipelineEntryTest, InvalidCallReports23219AndStoresNothing) {
  startEngine();
  TLMLogEventCall invalid = call("1_not_a_name", params({{"a", Object::integer(1)}}));
  invalid.interceptor = interceptor(false);
  log(invalid);
  EXPECT_TRUE(intercepted_.empty());
  EXPECT_TRUE(storedNames().empty());
  const std::vector<MonitorReport> reports = monitor_.withCode(23219);
  ASSERT_EQ(reports.size(), 1u);
  EXPECT_EQ(reports[0].level, 1);
  EXPECT_EQ(reports[0].message, "Attempted to log nil event. Origin, name, parameters");
  EXPECT_EQ(reports[0].contexts,
            (ObjectArray{Object("app"), Object("1_not_a_name"),
                         Object::dictionary(params({{"a", Object::integer(1)}}))}));
}

TEST_F(PipelineEntryTest, ListenersHearTheEventAsLoggedAfterItWasStored) {
  startEngine();
  engine_->persistedConfig()->setQuillfenFeatureRollouts("rollout-1");
  std::vector<std::string> heard;
  std::vector<bool> storedWhenHeard;
  std::vector<bool> hadRollouts;
  ASSERT_TRUE(TLMAnalytics::addLogEventListener([&](const std::shared_ptr<TLMEvent>& event) {
                heard.push_back(event->name());
                const std::vector<std::string> names = storedNames();
                storedWhenHeard.push_back(std::find(names.begin(), names.end(), event->name()) !=
                                          names.end());
                hadRollouts.push_back(event->hasParameter("_ffr"));
              }).has_value());

  log("_ae", {}, /*isPublic=*/false, "auto");
  log("_xa", {}, /*isPublic=*/false, "auto");  // ad events are not announced
  TLMLogEventCall disabledAtCall = call("level_up");
  disabledAtCall.enabled = false;
  log(disabledAtCall);

  EXPECT_EQ(heard, std::vector<std::string>{"_ae"});
  EXPECT_EQ(storedWhenHeard, std::vector<bool>{true});
  // The path added "_ffr" to the stored event, not to the one announced.
  EXPECT_EQ(hadRollouts, std::vector<bool>{false});
  EXPECT_EQ(stringParameter(storedOne("_ae"), "_ffr"), "rollout-1");
}

TEST_F(PipelineEntryTest, NilEventIsReportedFromAnyThread) {
  startEngine();
  engine_->logEvent(nullptr);
  const std::vector<MonitorReport> reports = monitor_.withCode(23048);
  ASSERT_EQ(reports.size(), 1u);
  EXPECT_EQ(reports[0].level, 4);
  EXPECT_EQ(reports[0].message, "Attempted to log nil event");

  engine_->logEvent(TLMEvent::initWithOrigin("auto", false, "_e", now(), 0, {}));
  EXPECT_TRUE(storedNames().empty());  // scheduled, not run inline
  run();
  EXPECT_EQ(storedNames(), std::vector<std::string>{"_e"});
}

}  // namespace
