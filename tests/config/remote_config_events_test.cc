// The per-event answers (blocklisting, conversions, sampling), the names
// event configurations are kept under, and the event-editing runtime made
// from a configuration's programs.
#include "config/remote_config_test_support.h"

namespace {

using PerEventAnswers = RemoteConfigTest;

TEST_F(PerEventAnswers, SamplingRatesOutsideTwoTo65535KeepEveryEvent) {
  auto config = create();
  ASSERT_NE(
      apply(
          *config,
          makeConfig(
              kRemoteConfigAppID, {{"k", "1"}},
              {withRate(eventConfig("r0"), 0), withRate(eventConfig("r1"), 1),
               withRate(eventConfig("r2"), 2), withRate(eventConfig("r65535"), 65535),
               withRate(eventConfig("r65536"), 65536), withRate(eventConfig("r70000"), 70000),
               withRate(eventConfig("negative"), -5), withConversion(eventConfig("none"), true)})),
      nullptr);
  const std::vector<std::pair<std::string, std::int32_t>> expected = {
      {"r0", 1},     {"r1", 1},       {"r2", 2},   {"r65535", 65535}, {"r65536", 1},
      {"r70000", 1}, {"negative", 1}, {"none", 1}, {"unknown", 1}};
  for (const auto& [name, rate] : expected) {
    SCOPED_TRACE(name);
    EXPECT_EQ(config->samplingRateForEvent(name), rate);
  }
  // A rate of 0 is a rate; its absence is none.
  EXPECT_TRUE(config->eventHasSamplingRate("r0"));
  EXPECT_FALSE(config->eventHasSamplingRate("none"));
  EXPECT_FALSE(config->eventHasSamplingRate("unknown"));
}

TEST_F(PerEventAnswers, TheGlobalSwitchesBlocklistTheirSideOnly) {
  auto config = create();
  const std::vector<TLMPBEventConfig> events = {
      withBlocklisted(eventConfig("purchase"), false), withBlocklisted(eventConfig("_s"), false),
      withBlocklisted(eventConfig("level_up"), true), withBlocklisted(eventConfig("_e"), true)};
  ASSERT_NE(apply(*config, makeConfig(kRemoteConfigAppID, {{"k", "1"}}, events)), nullptr);
  EXPECT_FALSE(config->isEventBlocklisted("purchase"));
  EXPECT_TRUE(config->isEventBlocklisted("level_up"));
  EXPECT_FALSE(config->isEventBlocklisted("_s"));
  EXPECT_TRUE(config->isEventBlocklisted("_e"));

  ASSERT_NE(apply(*config, makeConfig(kRemoteConfigAppID,
                                      {{"measurement.upload.blacklist_public", "1"}}, events)),
            nullptr);
  EXPECT_TRUE(config->isEventBlocklisted("purchase"));  // its configuration says no
  EXPECT_TRUE(config->isEventBlocklisted("unconfigured"));
  EXPECT_FALSE(config->isEventBlocklisted("_s"));
  EXPECT_FALSE(config->isEventBlocklisted("_unconfigured"));
  EXPECT_TRUE(config->isEventBlocklisted("_e"));

  ASSERT_NE(apply(*config, makeConfig(kRemoteConfigAppID,
                                      {{"measurement.upload.blacklist_internal", "1"}}, events)),
            nullptr);
  EXPECT_FALSE(config->isEventBlocklisted("purchase"));
  EXPECT_TRUE(config->isEventBlocklisted("_s"));
  EXPECT_TRUE(config->isEventBlocklisted("_unconfigured"));
}

TEST_F(PerEventAnswers, ConversionsNeedTheFlagSet) {
  auto config = create();
  ASSERT_NE(apply(*config, makeConfig(kRemoteConfigAppID, {{"k", "1"}},
                                      {withConversion(eventConfig("yes"), true),
                                       withConversion(eventConfig("no"), false),
                                       withRate(eventConfig("unset"), 3)})),
            nullptr);
  EXPECT_TRUE(config->isEventCustomConversion("yes"));
  EXPECT_FALSE(config->isEventCustomConversion("no"));
  EXPECT_FALSE(config->isEventCustomConversion("unset"));
  EXPECT_FALSE(config->isEventCustomConversion("unknown"));
}

TEST_F(PerEventAnswers, PublicNamesStoredInternallyAreKeptUnderTheInternalName) {
  auto config = create();
  ASSERT_NE(apply(*config, makeConfig(kRemoteConfigAppID, {{"k", "1"}},
                                      {withConversion(eventConfig("ad_impression"), true),
                                       withRate(eventConfig("session_start"), 4)})),
            nullptr);
  EXPECT_TRUE(config->isEventCustomConversion("_ai"));
  EXPECT_FALSE(config->isEventCustomConversion("ad_impression"));
  ASSERT_TRUE(config->eventConfigWithName("_ai").has_value());
  EXPECT_EQ(config->eventConfigWithName("_ai")->name(), "ad_impression");
  // Names the pipeline keeps public stay as they are.
  EXPECT_EQ(config->samplingRateForEvent("session_start"), 4);
  EXPECT_EQ(config->samplingRateForEvent("_s"), 1);
  EXPECT_EQ(TLMRemoteConfig::internalEventNameForConfigName("ad_impression"), "_ai");
  EXPECT_EQ(TLMRemoteConfig::internalEventNameForConfigName("_ai"), "_ai");
}

TEST_F(PerEventAnswers, OfTwoEntriesForOneNameTheLaterWins) {
  auto config = create();
  ASSERT_NE(apply(*config,
                  makeConfig(kRemoteConfigAppID, {{"k", "1"}},
                             {withRate(eventConfig("ad_impression"), 5),
                              withRate(eventConfig("_ai"), 7), withRate(eventConfig("level_up"), 8),
                              withConversion(eventConfig("level_up"), true)})),
            nullptr);
  EXPECT_EQ(config->samplingRateForEvent("_ai"), 7);
  // Whole entries replace each other; fields are not merged.
  EXPECT_TRUE(config->isEventCustomConversion("level_up"));
  EXPECT_FALSE(config->eventHasSamplingRate("level_up"));

  ASSERT_NE(apply(*config, makeConfig(kRemoteConfigAppID, {{"k", "1"}},
                                      {withRate(eventConfig("_ai"), 7),
                                       withRate(eventConfig("ad_impression"), 5)})),
            nullptr);
  EXPECT_EQ(config->samplingRateForEvent("_ai"), 5);
  // Entries not sent again are gone.
  EXPECT_FALSE(config->isEventCustomConversion("level_up"));
}

TEST_F(PerEventAnswers, EmptyNamesAreReported) {
  auto config = create();
  clearSample();
  ASSERT_NE(
      apply(*config, makeConfig(kRemoteConfigAppID, {{"k", "1"}}, {withRate(eventConfig(""), 5)})),
      nullptr);
  EXPECT_EQ(sampledKey(),
            keyOf("Cannot cache event configuration with an empty configuration name", 5));
  clearSample();
  EXPECT_FALSE(config->eventConfigWithName("").has_value());
  EXPECT_EQ(sampledKey(), keyOf("Cannot find event config with empty event name", 5));
  EXPECT_EQ(config->samplingRateForEvent(""), 1);
}

// ---- Event editing ----

class FakeRuntime : public TLMEventEditingRuntime {};

TLMPBMeasurementConfig withPrograms(TLMPBMeasurementConfig config, int count) {
  for (int i = 0; i < count; ++i) EXPECT_TRUE(config.add_dynamic_event_editing(TLMPBProgram()));
  return config;
}

using EventEditing = RemoteConfigTest;

TEST_F(EventEditing, ProgramsAreHandedToTheLoader) {
  int loads = 0;
  bool failLoading = false;
  std::optional<std::string> seenValue;
  TLMRemoteConfigHooks hooks;
  hooks.eventEditingLoader = [&](const std::vector<TLMPBProgram>& programs,
                                 std::weak_ptr<const TLMRemoteConfig> remoteConfig,
                                 Error* error) -> std::shared_ptr<TLMEventEditingRuntime> {
    ++loads;
    EXPECT_EQ(programs.size(), 2u);
    // The configuration's flag cache is readable through the handle.
    if (auto config = remoteConfig.lock()) seenValue = config->cachedStringValueForKey("k");
    if (failLoading) {
      *error = tlm_errorWithCode(5, "load failed");
      return nullptr;
    }
    return std::make_shared<FakeRuntime>();
  };
  auto config = create(nullptr, hooks);
  EXPECT_EQ(config->eventEditing(), nullptr);

  ASSERT_NE(apply(*config, withPrograms(makeConfig(kRemoteConfigAppID, {{"k", "abc"}}), 2)),
            nullptr);
  EXPECT_EQ(loads, 1);
  EXPECT_EQ(seenValue, "abc");
  const std::shared_ptr<TLMEventEditingRuntime> loaded = config->eventEditing();
  EXPECT_NE(loaded, nullptr);
  EXPECT_TRUE(wasPrinted(kTLMRemoteConfigCodeEventEditingLoaded));

  // Without programs the runtime stays.
  ASSERT_NE(apply(*config, makeConfig(kRemoteConfigAppID, {{"k", "1"}})), nullptr);
  EXPECT_EQ(loads, 1);
  EXPECT_EQ(config->eventEditing(), loaded);

  // Programs that fail to load leave no runtime.
  failLoading = true;
  EXPECT_FALSE(wasPrinted(kTLMRemoteConfigCodeEventEditingFailed));
  ASSERT_NE(apply(*config, withPrograms(makeConfig(kRemoteConfigAppID, {{"k", "1"}}), 2)), nullptr);
  EXPECT_EQ(config->eventEditing(), nullptr);
  EXPECT_TRUE(wasPrinted(kTLMRemoteConfigCodeEventEditingFailed));
}

TEST_F(EventEditing, WithoutALoaderThereIsNoRuntimeAndNoFailure) {
  auto config = create();
  ASSERT_NE(apply(*config, withPrograms(makeConfig(kRemoteConfigAppID, {{"k", "1"}}), 1)), nullptr);
  EXPECT_EQ(config->eventEditing(), nullptr);
  EXPECT_FALSE(wasPrinted(kTLMRemoteConfigCodeEventEditingFailed));
  // The programs are still stored for a later loader.
  ASSERT_TRUE(stored().has_value());
  EXPECT_EQ(stored()->dynamic_event_editing_size(), 1u);
}

TEST_F(EventEditing, CachedValuesReadAsText) {
  TLMRemoteConfig config(kRemoteConfigAppID);
  config.cacheSettingValues({{kUploadIntervalFlag, "60000"}});
  EXPECT_EQ(config.cachedStringValueForKey(kUploadIntervalFlag), "60000");
  (void)config.uploadingInterval();  // now the number of seconds
  EXPECT_EQ(config.cachedStringValueForKey(kUploadIntervalFlag), "60");
  EXPECT_FALSE(config.cachedStringValueForKey("absent").has_value());
}

}  // namespace
