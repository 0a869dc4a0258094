// The wipe decision at start: each rule, the conflicts between rules, and
// the retry count that forces a wipe while a reset is pending.
#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "api/TLMAnalytics.h"
#include "engine/TLMMeasurement.h"
#include "support/TestPlatform.h"

namespace {

using Id = std::optional<std::string>;

struct WipeCase {
  const char* name;
  Id appID;
  Id appIDFromQVR;               // Q
  Id appIDFromVelmora;           // V
  Id persistedAppIDFromQVR;      // PQ
  Id persistedAppIDFromVelmora;  // PV
  bool wipe;
};

const Id none;
const Id empty = std::string();

const std::vector<WipeCase>& cases() {
  static const std::vector<WipeCase> table = {
      // Stored and current measurement IDs both known: compare them.
      {"same measurement ID", "A", "Q1", none, "Q1", none, false},
      {"changed measurement ID", "A", "Q2", none, "Q1", none, true},
      {"changed measurement ID wins over equal ad-network IDs", "A", "Q2", "V1", "Q1", "V1", true},
      {"equal measurement ID wins over changed ad-network IDs", "A", "Q1", "V2", "Q1", "V1", false},
      // First ever start: nothing persisted.
      {"first start", "A", "Q1", none, none, none, false},
      {"first start without any ID", none, none, none, none, none, false},
      {"empty strings count as missing", "A", "Q1", empty, empty, empty, false},
      // PQ missing, PV present, V missing, Q present.
      {"moved from ad-network ID to measurement ID", "A", "Q1", none, none, "V1", true},
      {"moved from ad-network ID, V empty", "A", "Q1", empty, none, "V1", true},
      // PQ missing, PV and V present, Q present, PV differs from V.
      {"ad-network ID changed beside a new measurement ID", "A", "Q1", "V2", none, "V1", true},
      {"same ad-network ID beside a new measurement ID", "A", "Q1", "V1", none, "V1", false},
      // PV missing, Q missing, PQ present, V present, A present.
      {"measurement ID lost, ad-network ID appeared", "A", none, "V1", "Q1", none, true},
      {"measurement ID lost, no app ID", none, none, "V1", "Q1", none, false},
      {"measurement ID lost, no ad-network ID", "A", none, none, "Q1", none, false},
      // Q present or PV missing: no.
      {"current measurement ID only", "A", "Q1", "V1", none, none, false},
      {"nothing persisted, ad-network ID only", "A", none, "V1", none, none, false},
      // Remaining: PV present, Q missing.
      {"app ID missing", none, none, "V1", none, "V1", false},
      {"app ID equals stored ad-network ID", "V1", none, "V1", none, "V1", false},
      {"app ID differs from stored ad-network ID", "V2", none, "V2", none, "V1", true},
      {"app ID differs, stored measurement ID too", "V2", none, none, "Q1", "V1", true},
  };
  return table;
}

class EngineWipeDecisionTest : public ::testing::TestWithParam<long> {
 protected:
  TestPlatform platform_;
};

TEST_P(EngineWipeDecisionTest, EveryRuleAtRetryCount) {
  const long retryCount = GetParam();
  TLMAnalytics::setResetRetryCount(retryCount);
  // From 1 to 9 a pending reset forces the wipe, whatever the IDs say.
  const bool forced = retryCount >= 1 && retryCount <= 9;
  for (const WipeCase& c : cases()) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(TLMMeasurement::shouldWipeDataWithAppID(c.appID, c.appIDFromQVR, c.appIDFromVelmora,
                                                      c.persistedAppIDFromQVR,
                                                      c.persistedAppIDFromVelmora),
              forced || c.wipe);
  }
}

INSTANTIATE_TEST_SUITE_P(RetryCounts, EngineWipeDecisionTest, ::testing::Values(0L, 1L, 9L, 10L));

TEST(EngineWipeDecisionRetryCount, TenthFailedAttemptNoLongerForcesTheWipe) {
  TestPlatform platform;
  TLMAnalytics::setResetRetryCount(10);
  EXPECT_FALSE(TLMMeasurement::shouldWipeDataWithAppID("A", "Q1", none, "Q1", none));
  TLMAnalytics::setResetRetryCount(9);
  EXPECT_TRUE(TLMMeasurement::shouldWipeDataWithAppID("A", "Q1", none, "Q1", none));
}

}  // namespace
