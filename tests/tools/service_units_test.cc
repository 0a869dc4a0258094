// The service's pure parts: the command line, the fault grammar and queue,
// decoding and identity of bundles, and the text helpers that keep posted
// strings harmless.
#include <gtest/gtest.h>

#include "tools/service/BatchDecoding.h"
#include "tools/service/ServiceFaults.h"
#include "tools/service/ServiceOptions.h"
#include "tools/service/ServiceRoutes.h"
#include "tools/service/ServiceText.h"
#include "tools/service_test_support.h"

namespace {

std::optional<ServiceOptions> parse(const std::vector<std::string>& arguments,
                                    std::string* problem = nullptr) {
  std::string ignored;
  return parseServiceOptions(arguments, problem != nullptr ? problem : &ignored);
}

TEST(ServiceOptionsTest, DefaultsAndValues) {
  const std::optional<ServiceOptions> defaults = parse({});
  ASSERT_TRUE(defaults);
  EXPECT_EQ(defaults->port, 8080);
  EXPECT_EQ(defaults->dataDir, "./ferrolux-service-data");
  EXPECT_FALSE(defaults->configDir);
  EXPECT_FALSE(defaults->print);

  const std::optional<ServiceOptions> all =
      parse({"--host", "127.0.0.1", "--port", "0", "--data", "/d", "--config-dir", "/c",
             "--port-file", "/p"});
  ASSERT_TRUE(all);
  EXPECT_EQ(all->port, 0);
  EXPECT_EQ(all->dataDir, "/d");
  EXPECT_EQ(all->configDir, "/c");
  EXPECT_EQ(all->portFile, "/p");

  const std::optional<ServiceOptions> print = parse({"--data", "/d", "--print", "--limit", "3"});
  ASSERT_TRUE(print);
  EXPECT_TRUE(print->print);
  EXPECT_EQ(print->printLimit, 3);
}

TEST(ServiceOptionsTest, RefusesWhatIsNotTheContract) {
  std::string problem;
  EXPECT_FALSE(parse({"--host", "0.0.0.0"}, &problem));
  EXPECT_NE(problem.find("127.0.0.1"), std::string::npos);
  EXPECT_FALSE(parse({"--host", "localhost"}));
  EXPECT_FALSE(parse({"--port", "65536"}));
  EXPECT_FALSE(parse({"--port", "-1"}));
  EXPECT_FALSE(parse({"--port", "80x"}));
  EXPECT_FALSE(parse({"--port"}));
  EXPECT_TRUE(parse({"--port", "65535"}));
  EXPECT_FALSE(parse({"--port", "1", "--port", "2"}));
  EXPECT_FALSE(parse({"--limit", "5"})) << "--limit belongs to --print";
  EXPECT_FALSE(parse({"--print", "--port", "1"})) << "--print starts no server";
  EXPECT_FALSE(parse({"--print", "--limit", "0"}));
  EXPECT_FALSE(parse({"--verbose"}));
  EXPECT_FALSE(parse({"--data", ""}));
}

TEST(ServiceFaultTest, ParsesEachKindAndRefusesTheRest) {
  std::string problem;
  std::optional<ServiceFault> fault = parseServiceFault({{"count", 2}, {"status", 503}}, &problem);
  ASSERT_TRUE(fault);
  EXPECT_EQ(fault->kind, ServiceFaultKind::Status);
  EXPECT_EQ(fault->status, 503);
  EXPECT_EQ(fault->count, 2);
  EXPECT_EQ(fault->target, ServiceFaultTarget::Upload);

  fault = parseServiceFault({{"count", 1}, {"delay_ms", 120000}, {"path", "/config"}}, &problem);
  ASSERT_TRUE(fault);
  EXPECT_EQ(fault->kind, ServiceFaultKind::Delay);
  EXPECT_EQ(fault->target, ServiceFaultTarget::Config);
  EXPECT_EQ(serviceFaultJSON(*fault),
            nlohmann::json({{"count", 1}, {"delay_ms", 120000}, {"path", "/config"}}));

  fault = parseServiceFault({{"count", 1}, {"drop", "after_store"}}, &problem);
  ASSERT_TRUE(fault);
  EXPECT_EQ(fault->kind, ServiceFaultKind::DropAfterStore);

  const nlohmann::json refused[] = {
      {{"status", 500}},                                 // no count
      {{"count", 0}, {"status", 500}},                   // count below 1
      {{"count", 1000001}, {"status", 500}},             // count above the bound
      {{"count", true}, {"status", 500}},                // not a number
      {{"count", 1}, {"status", 99}},                    // not an HTTP status
      {{"count", 1}, {"status", 600}},                   //
      {{"count", 1}, {"delay_ms", 120001}},              // delay above the bound
      {{"count", 1}, {"delay_ms", -1}},                  //
      {{"count", 1}, {"drop", "sometimes"}},             // unknown drop
      {{"count", 1}, {"status", 500}, {"delay_ms", 1}},  // two kinds
      {{"count", 1}},                                    // no kind
      {{"count", 1}, {"status", 500}, {"path", "/x"}},   // unknown path
      {{"count", 1}, {"status", 500}, {"stauts", 1}},    // misspelt key
      nlohmann::json::array({1, 2}),                     // not an object
  };
  for (const nlohmann::json& json : refused) {
    EXPECT_FALSE(parseServiceFault(json, &problem)) << json.dump();
  }
}

TEST(ServiceFaultTest, QueueServesInOrderPerTargetAndCountsDown) {
  ServiceFaults faults;
  ASSERT_TRUE(faults.add({ServiceFaultTarget::Upload, ServiceFaultKind::Status, 2, 500, 0}));
  ASSERT_TRUE(faults.add({ServiceFaultTarget::Config, ServiceFaultKind::Status, 1, 404, 0}));
  ASSERT_TRUE(faults.add({ServiceFaultTarget::Upload, ServiceFaultKind::Status, 1, 503, 0}));

  EXPECT_EQ(faults.take(ServiceFaultTarget::Config)->status, 404);
  EXPECT_FALSE(faults.take(ServiceFaultTarget::Config));
  EXPECT_EQ(faults.take(ServiceFaultTarget::Upload)->status, 500);
  EXPECT_EQ(faults.list().size(), 2u) << "the first fault has one use left";
  EXPECT_EQ(faults.take(ServiceFaultTarget::Upload)->status, 500);
  EXPECT_EQ(faults.take(ServiceFaultTarget::Upload)->status, 503);
  EXPECT_FALSE(faults.take(ServiceFaultTarget::Upload));
  EXPECT_TRUE(faults.list().empty());

  for (std::size_t index = 0; index < kServiceFaultMaxQueued; ++index) {
    ASSERT_TRUE(faults.add({}));
  }
  EXPECT_FALSE(faults.add({})) << "the queue is bounded";
  faults.clear();
  EXPECT_TRUE(faults.list().empty());
}

TEST(ServiceFaultTest, StopEndsAWaitAtOnce) {
  ServiceFaults faults;
  EXPECT_TRUE(faults.wait(1));
  faults.stop();
  const auto started = std::chrono::steady_clock::now();
  EXPECT_FALSE(faults.wait(kServiceFaultMaxDelayMillis));
  EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(5));
}

TEST(BatchDecodingTest, IdentityIgnoresOnlyTheFieldsAnUploadAttemptChanges) {
  TLMPBMeasurementBundle first = makeBundle(1, {makeEvent("e", 1)});
  TLMPBMeasurementBundle retried = first;
  retried.set_upload_timestamp_millis(1800000000000);
  retried.set_uploading_library_version(999);
  retried.set_bundle_checksum(-7);
  retried.set_retry_count(3);
  TLMPBMeasurementBundle other = first;
  other.set_bundle_index(2);

  std::string problem;
  const auto decoded = decodeMeasurementBatch(batchBody({first, retried, other}), &problem);
  ASSERT_TRUE(decoded) << problem;
  ASSERT_EQ(decoded->size(), 3u);
  EXPECT_EQ((*decoded)[0].identityKey.size(), 64u) << "hexadecimal SHA-256";
  EXPECT_EQ((*decoded)[0].identityKey, (*decoded)[1].identityKey);
  EXPECT_NE((*decoded)[0].identityKey, (*decoded)[2].identityKey);
  EXPECT_NE((*decoded)[0].bytes, (*decoded)[1].bytes) << "the bytes are kept as posted";
}

TEST(BatchDecodingTest, ParamsBecomeJSONWithItemsAsObjects) {
  TLMPBEventParam items;
  items.set_name("items");
  TLMPBEventParam item;
  ASSERT_TRUE(item.add_param_value(stringParam("item_id", "sku-1")));
  ASSERT_TRUE(item.add_param_value(intParam("quantity", 2)));
  ASSERT_TRUE(items.add_param_value(item));
  TLMPBEventParam empty;
  empty.set_name("nothing");
  const std::string body = batchBody({makeBundle(
      4, {makeEvent("purchase", 1700000000123,
                    {stringParam("currency", "EUR"), doubleParam("value", 9.5),
                     intParam("count", -3), items, empty, stringParam("bad", "\xff\xfe")})})});
  std::string problem;
  const auto decoded = decodeMeasurementBatch(body, &problem);
  ASSERT_TRUE(decoded) << problem;
  const DecodedBundle& bundle = decoded->at(0);
  EXPECT_EQ(bundle.appID, kServiceAppID);
  EXPECT_EQ(bundle.bundleIndex, 4);
  ASSERT_EQ(bundle.events.size(), 1u);
  EXPECT_EQ(bundle.events[0].name, "purchase");
  EXPECT_EQ(bundle.events[0].timestampMillis, 1700000000123);
  const nlohmann::json expected = {
      {"currency", "EUR"},
      {"value", 9.5},
      {"count", -3},
      {"items", nlohmann::json::array({{{"item_id", "sku-1"}, {"quantity", 2}}})},
      {"nothing", nullptr},
      {"bad", "\xef\xbf\xbd\xef\xbf\xbd"}};
  EXPECT_EQ(bundle.events[0].params, expected);
}

TEST(BatchDecodingTest, RefusesBytesThatAreNotABatch) {
  std::string problem;
  EXPECT_FALSE(decodeMeasurementBatch("garbage", &problem));
  EXPECT_FALSE(problem.empty());
  EXPECT_FALSE(decodeMeasurementBatch(std::string("\x0a\x05\x01", 3), &problem))
      << "a bundle longer than the body";
  // Nesting beyond the codec's limit is refused, not recursed into.
  TLMPBEventParam deep = intParam("leaf", 1);
  for (int level = 0; level < 100; ++level) {
    TLMPBEventParam outer;
    outer.set_name("n");
    ASSERT_TRUE(outer.add_param_value(std::move(deep)));
    deep = std::move(outer);
  }
  EXPECT_FALSE(
      decodeMeasurementBatch(batchBody({makeBundle(1, {makeEvent("e", 1, {deep})})}), &problem));
  const auto empty = decodeMeasurementBatch("", &problem);
  ASSERT_TRUE(empty) << "an empty body is an empty batch";
  EXPECT_TRUE(empty->empty());
}

TEST(ServiceTextTest, EscapesEverythingMarkupNeeds) {
  EXPECT_EQ(serviceEscapeHTML("<script>alert('x') & \"y\"</script>"),
            "&lt;script&gt;alert(&#39;x&#39;) &amp; &quot;y&quot;&lt;/script&gt;");
  EXPECT_EQ(serviceEscapeHTML("plain é"), "plain é");
}

TEST(ServiceTextTest, RepairsBrokenUTF8AndKeepsValidText) {
  EXPECT_EQ(serviceValidUTF8("ok ü €"), "ok ü €");
  EXPECT_EQ(serviceValidUTF8("a\xc0\xafz"), "a\xef\xbf\xbd\xef\xbf\xbdz") << "overlong '/'";
  EXPECT_EQ(serviceValidUTF8("\xed\xa0\x80"), "\xef\xbf\xbd\xef\xbf\xbd\xef\xbf\xbd")
      << "a surrogate";
  EXPECT_EQ(serviceValidUTF8("cut \xe2\x82"), "cut \xef\xbf\xbd");
}

TEST(ServiceTextTest, TerminalTextHasNoControlCharacters) {
  EXPECT_EQ(serviceTerminalSafe("a\x1b[2Jb\nc\x7f"), "a\\x1b[2Jb\\x0ac\\x7f");
  EXPECT_EQ(serviceTerminalSafe("csi \xc2\x9b end \xc2\xa0"), "csi \\u009b end \xc2\xa0");
}

TEST(ServiceTextTest, HTTPDatesRoundTrip) {
  EXPECT_EQ(serviceHTTPDate(784111777), "Sun, 06 Nov 1994 08:49:37 GMT");
  EXPECT_EQ(serviceParseHTTPDate("Sun, 06 Nov 1994 08:49:37 GMT"), 784111777);
  EXPECT_FALSE(serviceParseHTTPDate("Sunday, 06-Nov-94 08:49:37 GMT"));
  EXPECT_FALSE(serviceParseHTTPDate("Sun, 06 Nov 1994 08:49:37 GMT trailing"));
  EXPECT_FALSE(serviceParseHTTPDate(""));
  EXPECT_EQ(serviceDisplayTime(1700000000123), "2023-11-14 22:13:20.123 UTC");
  EXPECT_EQ(serviceDisplayTime(-1), "1969-12-31 23:59:59.999 UTC");
}

TEST(ServiceRoutesTest, OnlyPlainAppIDsNameConfigurationFiles) {
  EXPECT_TRUE(isServableAppID("1:1234567890:ios:0123456789abcdef"));
  EXPECT_FALSE(isServableAppID(""));
  EXPECT_FALSE(isServableAppID("../secret"));
  EXPECT_FALSE(isServableAppID("a/b"));
  EXPECT_FALSE(isServableAppID("a\\b"));
  EXPECT_FALSE(isServableAppID("a..b"));
  EXPECT_FALSE(isServableAppID(".hidden"));
  EXPECT_FALSE(isServableAppID(std::string("a\0b", 3)));
  EXPECT_FALSE(isServableAppID("a\nb"));
  EXPECT_TRUE(isServableAppID(std::string(kServiceMaxAppIDLength, 'a')));
  EXPECT_FALSE(isServableAppID(std::string(kServiceMaxAppIDLength + 1, 'a')));
}

}  // namespace
