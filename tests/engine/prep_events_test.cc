// The event replacements at bundle time: public names packed under an
// internal name, and the sandbox marker of purchases.
#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "common/SharedInstance.h"
#include "engine/prep_test_support.h"
#include "platform/DeterministicExecutor.h"
#include "platform/DeviceProfile.h"
#include "platform/Platform.h"

namespace {

using PrepEventsTest = PrepTest;

ObjectDictionary adParameters() {
  return {{Object("ad_platform"), Object("network")},
          {Object("value"), Object::floating(1.5)},
          {Object("currency"), Object("USD")}};
}

TEST_F(PrepEventsTest, AdImpressionIsPackedAsInternalEvent) {
  TLMEventPtr stored = TLMEvent::initWithOrigin("app", true, "ad_impression", 1767225600.25,
                                                1767225000.5, adParameters());
  ASSERT_NE(stored, nullptr);
  const TLMRawEventDataPtr original = raw(stored, /*rowID=*/31, /*fingerprint=*/-9);
  const TLMRawEventDataPtr packed = engine_->internalEventFromPublicEvent(original);
  ASSERT_NE(packed, nullptr);
  ASSERT_NE(packed, original);
  EXPECT_EQ(packed->rowID(), 31);
  EXPECT_EQ(packed->metadataFingerprint(), -9);
  const TLMEvent& event = *packed->rawEvent();
  EXPECT_EQ(event.name(), "_ai");
  EXPECT_EQ(event.origin(), "app");
  EXPECT_EQ(event.timestamp(), 1767225600.25);
  EXPECT_EQ(event.previousTimestamp(), 1767225000.5);
  EXPECT_EQ(event.parameters(), stored->parameters());
  // The stored record is left as it was.
  EXPECT_EQ(stored->name(), "ad_impression");
}

TEST_F(PrepEventsTest, OtherEventsPassUnchanged) {
  for (const char* name : {"purchase", "level_up", "ad_impressions"}) {
    const TLMRawEventDataPtr original = raw(event(name));
    EXPECT_EQ(engine_->internalEventFromPublicEvent(original), original) << name;
    EXPECT_EQ(engine_->validatePurchaseEvent(original), original) << name;
  }
  // Outside a sandbox installation a purchase is not marked.
  const TLMRawEventDataPtr purchase = raw(event("_iap", {}, 1767225600.0, false));
  EXPECT_EQ(engine_->validatePurchaseEvent(purchase), purchase);
  EXPECT_FALSE(purchase->rawEvent()->hasParameter("sandbox"));
}

// The same engine in a sandbox test installation.
class PrepSandboxTest : public ::testing::Test {
 protected:
  void SetUp() override {
    DeviceProfile device;
    device.setSandboxInstallation(true);
    TEST_resetSharedInstances();
    sandbox_ = Platform::createDeterministic(paths_.paths(), device);
    Platform::install(sandbox_);
    engine_ = TLMMeasurement::initWithAppID(kTestAppID, true, false, std::nullopt, nullptr);
    run();
    ASSERT_NE(engine_, nullptr);
    ASSERT_NE(engine_->database(), nullptr);
  }
  void TearDown() override {
    run();
    engine_.reset();
    TEST_resetSharedInstances();
  }
  void run() { sandbox_->deterministicExecutor()->runUntilIdle(); }

  TestPlatform paths_;
  MonitorRecorder monitor_;
  std::shared_ptr<Platform> sandbox_;
  std::shared_ptr<TLMMeasurement> engine_;
};

TEST_F(PrepSandboxTest, PurchaseGetsTheSandboxMarker) {
  TLMEventPtr purchase = TLMEvent::initWithOrigin("auto", false, "_iap", 1767225600.0, 0,
                                                  {{Object("product_id"), Object("gems")},
                                                   {Object("value"), Object::floating(0.99)},
                                                   {Object("currency"), Object("EUR")}});
  ASSERT_NE(purchase, nullptr);
  const TLMRawEventDataPtr original = TLMRawEventData::initWithRawEvent(purchase, 12, 345);
  const TLMRawEventDataPtr marked = engine_->validatePurchaseEvent(original);
  ASSERT_NE(marked, nullptr);
  ASSERT_NE(marked, original);
  EXPECT_EQ(marked->rowID(), 12);
  EXPECT_EQ(marked->metadataFingerprint(), 345);
  const TLMEvent& event = *marked->rawEvent();
  EXPECT_EQ(event.name(), "_iap");
  EXPECT_EQ(event.origin(), "auto");
  const TLMValuePtr sandbox = event.parameterValue("sandbox");
  ASSERT_NE(sandbox, nullptr);
  ASSERT_TRUE(sandbox->isInt64());
  EXPECT_EQ(sandbox->int64Value(), 1);
  ASSERT_NE(event.parameterValue("product_id"), nullptr);
  ASSERT_NE(event.parameterValue("product_id")->stringValue(), nullptr);
  EXPECT_EQ(*event.parameterValue("product_id")->stringValue(), "gems");
  EXPECT_EQ(event.parameters().size(), purchase->parameters().size() + 1);
  EXPECT_FALSE(purchase->hasParameter("sandbox"));

  // Other events of a sandbox installation are not purchases.
  TLMEventPtr other = TLMEvent::initWithOrigin("app", true, "purchase", 1767225600.0, 0, {});
  const TLMRawEventDataPtr otherRaw = TLMRawEventData::initWithRawEvent(other, 13, 345);
  EXPECT_EQ(engine_->validatePurchaseEvent(otherRaw), otherRaw);
}

}  // namespace
