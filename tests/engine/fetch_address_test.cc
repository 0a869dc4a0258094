// The measurement service's address as deployment configuration, and the
// fetch URL built on it.
#include <stdlib.h>

#include <fstream>

#include "config/TLMMeasurementServiceAddress.h"
#include "engine/fetch_test_support.h"

namespace {

TEST(MeasurementServiceAddress, AcceptsSchemeHostAndPortOnly) {
  using Address = TLMMeasurementServiceAddress;
  EXPECT_EQ(Address::normalizedBaseURL("https://measure.example.com/"),
            "https://measure.example.com");
  EXPECT_EQ(Address::normalizedBaseURL("HTTPS://measure.example.com:8443"),
            "https://measure.example.com:8443");
  EXPECT_EQ(Address::normalizedBaseURL("http://127.0.0.1:8080"), "http://127.0.0.1:8080");
  EXPECT_EQ(Address::normalizedBaseURL("http://localhost"), "http://localhost");
  EXPECT_EQ(Address::normalizedBaseURL("http://[::1]:9000"), "http://[::1]:9000");
  EXPECT_EQ(Address::hostOfBaseURL("http://127.0.0.1:8080"), "127.0.0.1:8080");

  for (const char* refused :
       {"http://measure.example.com", "measure.example.com", "ftp://measure.example.com",
        "https://", "https://measure.example.com/config", "https://user@measure.example.com",
        "https://measure.example.com?x=1", "https://measure.example.com:", "https://h:0",
        "https://h:65536", "https://h:80a", "http://127.0.0.1.evil.com"}) {
    std::string problem;
    EXPECT_FALSE(Address::normalizedBaseURL(refused, &problem).has_value()) << refused;
    EXPECT_FALSE(problem.empty()) << refused;
  }
}

class ConfiguredServiceAddress : public ::testing::Test {
 protected:
  void TearDown() override { ::unsetenv(TLMMeasurementServiceAddress::kEnvironmentVariable); }

  void writeServiceInfo(const std::string& address) {
    std::ofstream(platform_.paths().bundlePath + "/TarvixService-Info.plist")
        << "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\"><dict>"
        << "<key>FerroluxMeasurementServiceURL</key><string>" << address << "</string>"
        << "</dict></plist>\n";
  }

  TestPlatform platform_;
};

TEST_F(ConfiguredServiceAddress, ComesFromTheServiceInfoFileUnlessTheEnvironmentSaysOtherwise) {
  ::unsetenv(TLMMeasurementServiceAddress::kEnvironmentVariable);
  std::string problem;
  EXPECT_FALSE(TLMMeasurementServiceAddress::configuredBaseURL(&problem).has_value());
  EXPECT_NE(problem.find("FerroluxMeasurementServiceURL"), std::string::npos);

  writeServiceInfo("https://measure.example.com/");
  EXPECT_EQ(TLMMeasurementServiceAddress::configuredBaseURL(), "https://measure.example.com");

  ::setenv(TLMMeasurementServiceAddress::kEnvironmentVariable, "http://127.0.0.1:7001", 1);
  EXPECT_EQ(TLMMeasurementServiceAddress::configuredBaseURL(), "http://127.0.0.1:7001");

  // A bad value is not used, and nothing else is tried in its place.
  ::setenv(TLMMeasurementServiceAddress::kEnvironmentVariable, "http://measure.example.com", 1);
  EXPECT_FALSE(TLMMeasurementServiceAddress::configuredBaseURL(&problem).has_value());
  EXPECT_NE(problem.find(TLMMeasurementServiceAddress::kEnvironmentVariable), std::string::npos);
}

TEST(FetchURL, IsPathAndEncodedQueryInKeyOrder) {
  TestPlatform platform;
  TLMRemoteConfig config("1:123:ios:ab/c?d");
  EXPECT_EQ(config.remoteConfigURLWithAppInstanceID("a&b=c d", "ios", 80300000, 0,
                                                    std::string("https://svc.example"), false),
            "https://svc.example/config/app/1:123:ios:ab%2Fc%3Fd?app_instance_id=a%26b%3Dc%20d"
            "&platform=ios&qvr_version=80300000&runtime_version=0");
  // Storage denied: the ID is left out even when known.
  EXPECT_EQ(config.remoteConfigURLWithAppInstanceID("known", "ios", 1, 2,
                                                    std::string("http://127.0.0.1:9"), true),
            "http://127.0.0.1:9/config/app/1:123:ios:ab%2Fc%3Fd?app_instance_id="
            "&platform=ios&qvr_version=1&runtime_version=2");
  EXPECT_FALSE(config
                   .remoteConfigURLWithAppInstanceID(std::string(), "ios", 1, 2,
                                                     std::string("https://svc.example"), false)
                   .has_value());
  EXPECT_FALSE(config
                   .remoteConfigURLWithAppInstanceID("known", "", 1, 2,
                                                     std::string("https://svc.example"), false)
                   .has_value());
  EXPECT_FALSE(config.remoteConfigURLWithAppInstanceID("known", "ios", 1, 2, std::nullopt, false)
                   .has_value());
}

}  // namespace
