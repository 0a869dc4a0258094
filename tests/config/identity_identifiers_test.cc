// The process-wide identifier accessors: ad event IDs, the engine-first
// identity look-up with its fallbacks, the origin and the library version.

#include <fstream>
#include <limits>
#include <set>
#include <thread>
#include <vector>

#include "config/TLMIdentifiers.h"
#include "identity_test_support.h"

namespace {

void writeServiceFile(const std::string& bundlePath, const std::string& entries) {
  std::ofstream(bundlePath + "/TarvixService-Info.plist")
      << "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\"><dict>" << entries
      << "</dict></plist>\n";
}

}  // namespace

TEST(IdentifiersAdEventIDTest, ValuesAreConsecutiveAndWrapToTheSmallestSignedValue) {
  TLMIdentifiers identifiers(static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max()));
  EXPECT_EQ(identifiers.adEventID(), "9223372036854775807");
  EXPECT_EQ(identifiers.adEventID(), "-9223372036854775808");
  EXPECT_EQ(identifiers.adEventID(), "-9223372036854775807");
}

TEST(IdentifiersAdEventIDTest, ConcurrentCallersNeverShareAValue) {
  TLMIdentifiers identifiers(0);
  constexpr int kThreads = 4;
  constexpr int kPerThread = 2000;
  std::vector<std::vector<std::string>> seen(kThreads);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < kPerThread; ++i) seen[t].push_back(identifiers.adEventID());
    });
  }
  for (std::thread& thread : threads) thread.join();
  std::set<long long> values;
  for (const auto& list : seen) {
    long long previous = -1;
    for (const std::string& text : list) {
      long long value = std::stoll(text);
      EXPECT_GT(value, previous);  // increasing within each caller
      previous = value;
      values.insert(value);
    }
  }
  ASSERT_EQ(values.size(), static_cast<std::size_t>(kThreads * kPerThread));
  EXPECT_EQ(*values.begin(), 0);
  EXPECT_EQ(*values.rbegin(), kThreads * kPerThread - 1);
}

TEST_F(IdentityTest, SharedCounterStartsAtARandomValuePerProcess) {
  std::string first = TLMIdentifiers::sharedInstance()->adEventID();
  EXPECT_EQ(TLMIdentifiers::sharedInstance()->adEventID(), std::to_string(std::stoll(first) + 1));
  test_.restart(99);
  EXPECT_NE(TLMIdentifiers::sharedInstance()->adEventID(), first);
}

TEST_F(IdentityTest, OriginIgnoresEmptyValues) {
  auto identifiers = TLMIdentifiers::sharedInstance();
  EXPECT_EQ(identifiers->origin(), std::nullopt);
  identifiers->setOrigin("vm");
  identifiers->setOrigin("");
  EXPECT_EQ(identifiers->origin(), std::string("vm"));
  EXPECT_EQ(TLMIdentifiers::libraryVersion(), "80300");
}

TEST_F(IdentityTest, IdentifiersPreferTheEngineIdentity) {
  auto engineIdentity = makeIdentity();
  engineIdentity->setAppIDFromQVR("1:1:ios:engine");
  writeServiceFile(test_.paths().bundlePath,
                   "<key>TARVIX_APP_ID</key><string>1:1:ios:file</string>");
  auto identifiers = TLMIdentifiers::sharedInstance();
  // No engine: the shared identity, which reads the file.
  EXPECT_EQ(identifiers->tarvixAppID(), std::string("1:1:ios:file"));
  identifiers->setEngineIdentityProvider([engineIdentity] { return engineIdentity; });
  EXPECT_EQ(identifiers->tarvixAppID(), std::string("1:1:ios:engine"));
  EXPECT_EQ(identifiers->analyticsAppID(), std::string("1:1:ios:engine"));
  EXPECT_EQ(identifiers->appInstanceID(), persisted()->appInstanceID());
  // The engine gone: back to the shared identity.
  identifiers->setEngineIdentityProvider([] { return std::shared_ptr<TLMIdentity>(); });
  EXPECT_EQ(identifiers->tarvixAppID(), std::string("1:1:ios:file"));
}

TEST_F(IdentityTest, AnalyticsAppIDFallsBackToTheAdNetworkAppID) {
  auto identity = makeIdentity();
  auto identifiers = TLMIdentifiers::sharedInstance();
  identifiers->setEngineIdentityProvider([identity] { return identity; });
  EXPECT_EQ(identifiers->analyticsAppID(), std::nullopt);
  EXPECT_EQ(identifiers->tarvixAppID(), std::nullopt);
  identity->setAppIDFromVelmora("velmora-app");
  EXPECT_EQ(identifiers->analyticsAppID(), std::string("velmora-app"));
  identity->setAppIDFromQVR("1:2:ios:qvr");
  EXPECT_EQ(identifiers->analyticsAppID(), std::string("1:2:ios:qvr"));
  // No app instance ID while analytics storage is denied.
  EXPECT_TRUE(identifiers->appInstanceID().has_value());
  analyticsDenied_ = true;
  executor().advance(2);
  EXPECT_EQ(identifiers->appInstanceID(), std::nullopt);
}
