// The decode limits: string length, nesting depth and decoded size, and
// malformed input, all refused as a whole message without a crash.
#include <gtest/gtest.h>
#include <pthread.h>

#include <algorithm>
#include <cstdint>
#include <string>

#include "support/ConsoleRecorder.h"
#include "upload/TLMPBCodec.h"
#include "upload/TLMPBConfigMessages.h"
#include "upload/TLMPBUploadMessages.h"
#include "upload/wire_test_support.h"

namespace {

// A bundle with one event whose one parameter holds `text`.
Bytes bundleWithParameterText(const std::string& text) {
  TLMPBEventParam param;
  param.set_name("long");
  param.set_string_value(text);
  TLMPBEvent event;
  EXPECT_TRUE(event.add_params(std::move(param)));
  TLMPBMeasurementBundle bundle;
  bundle.set_app_id("com.example.game");
  EXPECT_TRUE(bundle.add_events(std::move(event)));
  return bundle.protoBuffer().value();
}

// `levels` messages nested through field `tag`, innermost `innermost`,
// built back to front so that a deep chain costs linear time.
Bytes nested(std::uint32_t tag, int levels, const Bytes& innermost) {
  Bytes reversed(innermost.rbegin(), innermost.rend());
  for (int level = 0; level < levels; ++level) {
    Bytes header;
    wireAppendVarint(&header, (static_cast<std::uint64_t>(tag) << 3) | 2);
    wireAppendVarint(&header, reversed.size());
    reversed.insert(reversed.end(), header.rbegin(), header.rend());
  }
  std::reverse(reversed.begin(), reversed.end());
  return reversed;
}

// A bundle whose event parameter chain makes the whole message `depth`
// messages deep: bundle, event, then depth - 2 parameters.
Bytes bundleOfDepth(int depth) {
  const Bytes name = {0x0a, 0x01, 'x'};
  const Bytes param = nested(6, depth - 3, name);
  Bytes event;
  wireAppendDelimited(&event, 1, param);
  Bytes bundle;
  wireAppendDelimited(&bundle, 2, event);
  return bundle;
}

// A configuration whose program holds an entity chain making the whole
// message `depth` messages deep: configuration, program, then entities.
Bytes configOfDepth(int depth) {
  const Bytes entity = nested(2, depth - 3, Bytes{0x08, 0x04, 0x1a, 0x01, '1'});
  Bytes program;
  wireAppendDelimited(&program, 1, entity);
  Bytes config;
  wireAppendDelimited(&config, 9, program);
  return config;
}

// Failure lines go to a recorder rather than the console.
class WireDecodeLimits : public ::testing::Test {
 protected:
  ConsoleRecorder log_;
};

using WireMalformedInput = WireDecodeLimits;

TEST_F(WireDecodeLimits, StringOfTheLimitDecodesAndOneByteLongerFailsTheWholeMessage) {
  const std::string text(kTLMPBMaxStringLength, 'a');
  const std::optional<TLMPBMeasurementBundle> bundle =
      TLMPBMeasurementBundle::initWithBuffer(bundleWithParameterText(text));
  ASSERT_TRUE(bundle.has_value());
  EXPECT_EQ(bundle->events(0).params(0).string_value(), text);

  Error error;
  EXPECT_FALSE(TLMPBMeasurementBundle::initWithBuffer(bundleWithParameterText(text + "a"), &error));
  EXPECT_EQ(error.domain, kTLMPBErrorDomain);
  EXPECT_EQ(error.code, kTLMPBErrorDecodeFailed);
  EXPECT_EQ(error.description,
            "Unable to process proto stream. Buffer is too big. 1048577 > 1048576");
  EXPECT_NE(log_.lastLine().find(" E <Ferrolux>[I-ACS047001] <ERROR> MeasurementBundle decoder "
                                 "failed: Unable to process proto stream. Buffer is too big. "
                                 "1048577 > 1048576"),
            std::string::npos)
      << log_.lastLine();
}

TEST_F(WireDecodeLimits, StringLimitHoldsInConfigurationsToo) {
  TLMPBSetting setting;
  setting.set_name("measurement.long");
  setting.set_value(std::string(kTLMPBMaxStringLength + 1, '7'));
  TLMPBMeasurementConfig config;
  config.set_qvr_app_id("app");
  EXPECT_TRUE(config.add_settings(std::move(setting)));
  Error error;
  EXPECT_FALSE(TLMPBMeasurementConfig::initWithBuffer(config.protoBuffer().value(), &error));
  EXPECT_EQ(error.description,
            "Unable to process proto stream. Buffer is too big. 1048577 > 1048576");
}

TEST_F(WireDecodeLimits, UndeclaredLongFieldsAreSkippedNotRefused) {
  Bytes bytes = bundleWithParameterText("short");
  wireAppendDelimited(&bytes, 36, Bytes(kTLMPBMaxStringLength + 10, 'z'));
  const std::optional<TLMPBMeasurementBundle> bundle =
      TLMPBMeasurementBundle::initWithBuffer(bytes);
  ASSERT_TRUE(bundle.has_value());
  EXPECT_EQ(bundle->protoBuffer(), bundleWithParameterText("short"));
}

TEST_F(WireDecodeLimits, ItemNestingAtTheLimitDecodesAndOneDeeperIsRefused) {
  const std::optional<TLMPBMeasurementBundle> atLimit =
      TLMPBMeasurementBundle::initWithBuffer(bundleOfDepth(kTLMPBMaxNestingDepth));
  ASSERT_TRUE(atLimit.has_value());
  TLMPBEventParam param = atLimit->events(0).params(0);
  int parameters = 1;
  while (param.param_value_size() == 1) {
    param = param.param_value(0);
    ++parameters;
  }
  EXPECT_EQ(parameters, kTLMPBMaxNestingDepth - 2);
  EXPECT_EQ(param.name(), "x");

  Error error;
  EXPECT_FALSE(
      TLMPBMeasurementBundle::initWithBuffer(bundleOfDepth(kTLMPBMaxNestingDepth + 1), &error));
  EXPECT_EQ(error.description, "Unable to process proto stream. Nesting is too deep. 65 > 64");
}

TEST_F(WireDecodeLimits, ProgramEntityNestingIsBoundedThroughTheConfiguration) {
  EXPECT_TRUE(TLMPBMeasurementConfig::initWithBuffer(configOfDepth(kTLMPBMaxNestingDepth)));
  Error error;
  EXPECT_FALSE(
      TLMPBMeasurementConfig::initWithBuffer(configOfDepth(kTLMPBMaxNestingDepth + 1), &error));
  EXPECT_EQ(error.description, "Unable to process proto stream. Nesting is too deep. 65 > 64");
}

TEST_F(WireDecodeLimits, AHundredThousandLevelsAreRefusedWithoutExhaustingTheStack) {
  Error error;
  EXPECT_FALSE(TLMPBMeasurementConfig::initWithBuffer(configOfDepth(100000), &error));
  EXPECT_EQ(error.description, "Unable to process proto stream. Nesting is too deep. 65 > 64");
  EXPECT_FALSE(TLMPBMeasurementBundle::initWithBuffer(bundleOfDepth(100000)));
}

// Decoding, encoding and releasing a message at the nesting limit fit in a
// small thread stack; the worker queues' threads have far more.
TEST_F(WireDecodeLimits, TheDeepestAcceptedMessageFitsInASmallStack) {
  struct Work {
    Bytes input;
    bool decoded = false;
    bool reencoded = false;
  } work{configOfDepth(kTLMPBMaxNestingDepth)};
  pthread_attr_t attributes;
  ASSERT_EQ(pthread_attr_init(&attributes), 0);
  ASSERT_EQ(pthread_attr_setstacksize(&attributes, 256 * 1024), 0);
  pthread_t thread;
  ASSERT_EQ(pthread_create(
                &thread, &attributes,
                [](void* argument) -> void* {
                  Work& work = *static_cast<Work*>(argument);
                  std::optional<TLMPBMeasurementConfig> config =
                      TLMPBMeasurementConfig::initWithBuffer(work.input);
                  work.decoded = config.has_value();
                  work.reencoded = config && config->protoBuffer() == work.input;
                  return nullptr;
                },
                &work),
            0);
  pthread_join(thread, nullptr);
  pthread_attr_destroy(&attributes);
  EXPECT_TRUE(work.decoded);
  EXPECT_TRUE(work.reencoded);
}

TEST_F(WireDecodeLimits, DecodedSizeIsBoundedBeforeAnythingIsAllocated) {
  // Empty bundles of empty events: two wire bytes become a whole structure.
  const auto batchOf = [](int bundles, int eventsPerBundle) {
    Bytes bundle;
    for (int index = 0; index < eventsPerBundle; ++index) wireAppendDelimited(&bundle, 2, {});
    Bytes batch;
    for (int index = 0; index < bundles; ++index) wireAppendDelimited(&batch, 1, bundle);
    return batch;
  };
  const std::optional<TLMPBMeasurementBatch> small =
      TLMPBMeasurementBatch::initWithBuffer(batchOf(1000, 10));
  ASSERT_TRUE(small.has_value());
  EXPECT_EQ(small->bundles_size(), 1000u);

  Error error;
  const Bytes huge = batchOf(65000, 20);
  EXPECT_LT(huge.size(), 3u * 1024 * 1024);
  EXPECT_FALSE(TLMPBMeasurementBatch::initWithBuffer(huge, &error));
  EXPECT_EQ(error.description.value_or("").rfind(
                "Unable to process proto stream. Decoded message is too big. ", 0),
            0u)
      << error.toString();
}

TEST_F(WireMalformedInput, EveryTruncationDecodesOrFailsCleanly) {
  Bytes full = bundleWithParameterText("Grüße");
  TLMPBMeasurementBundle extra = TLMPBMeasurementBundle::initWithBuffer(full).value();
  extra.set_retry_count(-5);
  EXPECT_TRUE(extra.set_experiment_ids({1, -2}));
  full = extra.protoBuffer().value();
  int failures = 0;
  for (std::size_t length = 0; length < full.size(); ++length) {
    const Bytes prefix(full.begin(), full.begin() + static_cast<std::ptrdiff_t>(length));
    if (!TLMPBMeasurementBundle::initWithBuffer(prefix)) ++failures;
  }
  // Cutting inside the length-delimited event or a varint always fails.
  EXPECT_GT(failures, static_cast<int>(full.size()) / 2);
  EXPECT_TRUE(TLMPBMeasurementBundle::initWithBuffer(full));
}

TEST_F(WireMalformedInput, CorruptKeysAndLengthsAreRefused) {
  struct Case {
    const char* what;
    Bytes bytes;
    const char* reason;
  };
  const Case cases[] = {
      {"field number 0", {0x00, 0x01}, "Invalid field number 0"},
      {"group", {0x0b, 0x0c}, "Unsupported wire type 3"},
      {"wire type 7", {0x0f}, "Unsupported wire type 7"},
      {"length beyond the end", {0x72, 0x05, 'a'}, "Truncated message"},
      {"unterminated varint", {0x08, 0x80, 0x80}, "Truncated message"},
      {"eleven-byte varint",
       {0x08, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x01},
       "Invalid varint"},
  };
  for (const Case& test : cases) {
    Error error;
    EXPECT_FALSE(TLMPBMeasurementBundle::initWithBuffer(test.bytes, &error)) << test.what;
    EXPECT_EQ(error.description, test.reason) << test.what;
  }
}

TEST_F(WireMalformedInput, AWrongWireTypeForADeclaredFieldFailsInTheDecoder) {
  // app_id (14) sent as a varint.
  Error error;
  EXPECT_FALSE(TLMPBMeasurementBundle::initWithBuffer(Bytes{0x70, 0x01}, &error));
  EXPECT_EQ(error.code, kTLMPBErrorDecodeFailed);
  EXPECT_TRUE(error.description.has_value());
}

TEST_F(WireMalformedInput, EmptyInputIsAnEmptyMessage) {
  const std::optional<TLMPBMeasurementBundle> bundle =
      TLMPBMeasurementBundle::initWithBuffer(Bytes());
  ASSERT_TRUE(bundle.has_value());
  EXPECT_FALSE(bundle->has_app_id());
  EXPECT_EQ(bundle->protoBuffer(), Bytes());
}

}  // namespace
