// The short/long name tables and the debug display of names.
#include <gtest/gtest.h>

#include <set>

#include "engine/TLMNames.h"
#include "platform/CapabilityRegistry.h"
#include "support/MonitorReportsTest.h"

namespace {

TEST(NamesTable, HoldsTheThirtyThreeEventNames) {
  const auto& table = TLMNames::eventNameTable();
  EXPECT_EQ(table.size(), 33u);
  std::set<std::string_view> longNames;
  for (const auto& [longName, shortName] : table) {
    longNames.insert(longName);
    EXPECT_TRUE(shortName.starts_with("_")) << shortName;
  }
  EXPECT_EQ(longNames.size(), 33u);
  EXPECT_EQ(TLMNames::userPropertyNameTable().size(), 10u);
}

TEST(NamesTable, TranslatesBothWays) {
  EXPECT_EQ(TLMNames::shortEventName("session_start"), "_s");
  EXPECT_EQ(TLMNames::shortEventName("user_engagement"), "_e");
  EXPECT_EQ(TLMNames::shortEventName("app_store_subscription_convert"), "_assc");
  EXPECT_EQ(TLMNames::shortEventName("quillfen_campaign"), "_cmp");
  EXPECT_EQ(TLMNames::shortEventName("tx_campaign"), "_cmp");
  EXPECT_EQ(TLMNames::shortEventName("_s"), std::nullopt);
  EXPECT_EQ(TLMNames::shortEventName("purchase"), std::nullopt);

  EXPECT_EQ(TLMNames::longEventName("_vs"), "screen_view");
  EXPECT_EQ(TLMNames::longEventName("_err"), "error");
  EXPECT_EQ(TLMNames::longEventName("_cmp"), "tx_campaign");
  EXPECT_EQ(TLMNames::longEventName("screen_view"), std::nullopt);

  EXPECT_EQ(TLMNames::shortUserPropertyName("user_id"), "_id");
  EXPECT_EQ(TLMNames::longUserPropertyName("_ldl"), "last_deep_link_referrer");
  EXPECT_EQ(TLMNames::longUserPropertyName("_e"), std::nullopt);

  // Every short name leads back to a long name with the same short form.
  for (const auto& [longName, shortName] : TLMNames::eventNameTable()) {
    std::optional<std::string> back = TLMNames::longEventName(shortName);
    ASSERT_TRUE(back.has_value()) << shortName;
    EXPECT_EQ(TLMNames::shortEventName(*back), std::string(shortName));
  }
}

TEST(NamesDisplay, ShowsLongAndShortNamesWhenOn) {
  EXPECT_EQ(TLMNames::displayEventName("_e", true), "user_engagement (_e)");
  EXPECT_EQ(TLMNames::displayEventName("_cmp", true), "tx_campaign (_cmp)");
  EXPECT_EQ(TLMNames::displayEventName("purchase", true), "purchase");
  EXPECT_EQ(TLMNames::displayEventName("user_engagement", true), "user_engagement");
  // Experiment names are user properties only.
  EXPECT_EQ(TLMNames::displayEventName("_exp_7", true), "_exp_7");
  EXPECT_EQ(TLMNames::displayEventName("_e", false), "_e");

  EXPECT_EQ(TLMNames::displayUserPropertyName("_fot", true), "first_open_time (_fot)");
  EXPECT_EQ(TLMNames::displayUserPropertyName("_ln", true), "quillfen_last_notification (_ln)");
  EXPECT_EQ(TLMNames::displayUserPropertyName("_exp_123", true), "experiment_id (_exp_123)");
  EXPECT_EQ(TLMNames::displayUserPropertyName("_zz", true), "_zz");
  EXPECT_EQ(TLMNames::displayUserPropertyName("_e", true), "_e");
  EXPECT_EQ(TLMNames::displayUserPropertyName("_exp_123", false), "_exp_123");
  EXPECT_EQ(TLMNames::displayUserPropertyName("_fot", false), "_fot");
}

using NamesDebugDisplay = MonitorReportsTest;

TEST_F(NamesDebugDisplay, NeedsDebugModeAndTheFacadeClass) {
  EXPECT_EQ(TLMNames::debugDisplayEventName("_s"), "_s");

  platform_.platform().capabilities().setClass("QLFAnalytics", true);
  EXPECT_EQ(TLMNames::debugDisplayEventName("_s"), "_s");  // debug mode still off

  TLMMeasurement::monitor().setDebugModeEnabled(true);
  ASSERT_TRUE(TLMMeasurement::monitor().isDebugModeEnabled());
  EXPECT_EQ(TLMNames::debugDisplayEventName("_s"), "session_start (_s)");
  EXPECT_EQ(TLMNames::debugDisplayUserPropertyName("_sid"), "tx_session_id (_sid)");

  platform_.platform().capabilities().setClass("QLFAnalytics", false);
  EXPECT_EQ(TLMNames::debugDisplayEventName("_s"), "_s");
  EXPECT_EQ(TLMNames::debugDisplayUserPropertyName("_sid"), "_sid");
}

}  // namespace
