// The service's page as a browser renders it: headless Chromium loads the
// page from the running service and the DOM it dumps is checked.
#include <gtest/gtest.h>

#include <filesystem>
#include <regex>

#include "tools/service_test_support.h"

namespace {

constexpr char kChromium[] = "/usr/bin/chromium";

// The DOM Chromium renders for `url`, or nothing when it fails. Everything
// that could reach beyond the loopback service is switched off.
std::optional<std::string> dumpDOM(const std::string& url) {
  TempFolder profile;
  const std::vector<std::string> arguments = {
      "--headless",
      "--no-sandbox",
      "--disable-gpu",
      "--dump-dom",
      "--user-data-dir=" + profile.path(),
      "--no-first-run",
      "--disable-background-networking",
      "--disable-component-update",
      "--disable-sync",
      "--disable-extensions",
      "--disable-default-apps",
      "--metrics-recording-only",
      "--no-pings",
      "--disable-breakpad",
      "--disable-domain-reliability",
      "--disable-client-side-phishing-detection",
      "--no-proxy-server",
      "--host-resolver-rules=MAP * ~NOTFOUND , EXCLUDE 127.0.0.1",
      "--disable-features=Translate,OptimizationHints,MediaRouter,AutofillServerCommunication",
      url};
  std::vector<std::string> all = {kChromium};
  all.insert(all.end(), arguments.begin(), arguments.end());
  std::vector<char*> argv;
  for (std::string& argument : all) argv.push_back(argument.data());
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, (profile / "dom.html").c_str(),
                                   O_WRONLY | O_CREAT | O_TRUNC, 0644);
  posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, (profile / "chromium.err").c_str(),
                                   O_WRONLY | O_CREAT | O_TRUNC, 0644);
  pid_t pid = -1;
  const int spawned = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (spawned != 0) return std::nullopt;
  // Chromium takes a while to start on a small, busy machine.
  if (waitForExit(pid, 90) != 0) {
    ADD_FAILURE() << readTextFile(profile / "chromium.err");
    return std::nullopt;
  }
  return readTextFile(profile / "dom.html");
}

std::size_t countOf(const std::string& text, const std::string& part) {
  std::size_t count = 0;
  for (std::size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) {
    ++count;
  }
  return count;
}

class ServiceChromiumTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!std::filesystem::exists(kChromium)) GTEST_SKIP() << "no " << kChromium;
    ASSERT_TRUE(service_.start());
  }
  std::string url(const std::string& path) const {
    return "http://127.0.0.1:" + std::to_string(service_.port()) + path;
  }

  ServiceUnderTest service_;
};

TEST_F(ServiceChromiumTest, PageShowsPostedEventsAndPagesThousands) {
  ASSERT_EQ(service_
                .post(batchBody({makeBundle(
                    1, {makeEvent("level_up_7f3a", 1700000000000,
                                  {stringParam("power_9c1e", "dragon-slayer-42"),
                                   stringParam("note", "<b id=\"injected\">x</b>")})})}))
                ->status,
            204);
  const std::optional<std::string> first = dumpDOM(url("/"));
  ASSERT_TRUE(first);
  EXPECT_NE(first->find("level_up_7f3a"), std::string::npos) << *first;
  EXPECT_NE(first->find("power_9c1e"), std::string::npos);
  EXPECT_NE(first->find("dragon-slayer-42"), std::string::npos);
  EXPECT_EQ(first->find("id=\"injected\""), std::string::npos) << "posted markup stays text";
  EXPECT_EQ(first->find("id=\"older\""), std::string::npos) << "one page only";

  // 3000 events in 300 bundles; the newest bundle holds bulk_2990..bulk_2999.
  std::vector<TLMPBMeasurementBundle> bundles;
  for (int bundle = 0; bundle < 300; ++bundle) {
    std::vector<TLMPBEvent> events;
    for (int event = 0; event < 10; ++event) {
      const int number = bundle * 10 + event;
      events.push_back(makeEvent("bulk_" + std::to_string(number), 1700000000000 + number,
                                 {intParam("n", number)}));
    }
    bundles.push_back(makeBundle(100 + bundle, std::move(events)));
  }
  ASSERT_EQ(service_.post(batchBody(std::move(bundles)))->status, 204);
  ASSERT_EQ(service_.getJSON("/api/summary")["events"], 3001);

  const auto started = std::chrono::steady_clock::now();
  const httplib::Result direct = service_.get("/");
  ASSERT_TRUE(direct);
  EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(2))
      << "the page reads one page of rows, not the store";

  const std::optional<std::string> page = dumpDOM(url("/"));
  ASSERT_TRUE(page);
  EXPECT_NE(page->find(">bulk_2999<"), std::string::npos);
  EXPECT_NE(page->find(">bulk_2500<"), std::string::npos);
  EXPECT_EQ(page->find(">bulk_2499<"), std::string::npos) << "page 1 holds 50 bundles";
  EXPECT_EQ(page->find("level_up_7f3a"), std::string::npos) << "the oldest is on a later page";
  EXPECT_EQ(countOf(*page, "class=\"bundle\""), 50u);
  EXPECT_EQ(countOf(*page, "class=\"event\""), 500u);
  EXPECT_NE(page->find("href=\"/?page=2\""), std::string::npos) << "a link to older bundles";

  const std::optional<std::string> last = dumpDOM(url("/?page=7"));
  ASSERT_TRUE(last);
  EXPECT_NE(last->find("level_up_7f3a"), std::string::npos);
  EXPECT_NE(last->find("href=\"/?page=6\""), std::string::npos) << "a link to newer bundles";
  EXPECT_EQ(last->find("id=\"older\""), std::string::npos);
}

}  // namespace
