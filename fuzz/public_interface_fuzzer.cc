// libFuzzer target for the public interface: random names and origins,
// nested parameter dictionaries, huge and invalid strings, arrays in
// arrays, user properties and default parameters, all through QLFAnalytics
// into a real engine and a real SQLite file on the deterministic platform.
// Whatever the input, nothing may crash, and every row the pipeline stored
// must decode and pass validation as a stored event.
#include <fuzzer/FuzzedDataProvider.h>
#include <stdlib.h>

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>

#include "common/StringHelpers.h"
#include "core/QLFApp.h"
#include "core/QLFOptions.h"
#include "engine/TLMDataTypeValidator.h"
#include "engine/TLMErrorMarkers.h"
#include "engine/TLMMeasurement.h"
#include "engine/TLMValidationLimits.h"
#include "engine/TLMValue.h"
#include "ferrolux/FerroluxLibrary.h"
#include "ferrolux/QLFAnalytics.h"
#include "platform/Clock.h"
#include "platform/DeterministicExecutor.h"
#include "platform/DeviceProfile.h"
#include "platform/Platform.h"
#include "storage/TLMDatabase.h"
#include "utilities/HRNLogger.h"

namespace {

constexpr char kAppID[] = "1:100000000001:ios:0123456789abcdef";
constexpr int kMaxDepth = 4;

std::shared_ptr<Platform>& platform() {
  static std::shared_ptr<Platform> instance;
  return instance;
}

void check(bool condition) {
  if (!condition) std::abort();
}

std::string fuzzedString(FuzzedDataProvider& input) {
  switch (input.ConsumeIntegralInRange<int>(0, 7)) {
    case 0:  // Huge text, sometimes with a broken sequence at its end.
      return std::string(input.ConsumeIntegralInRange<std::size_t>(1, 200000), 'x') +
             (input.ConsumeBool() ? "\xe2\x82" : "");
    case 1:
      return "level_up";
    case 2:
      return "_" + input.ConsumeRandomLengthString(12);
    default:
      return input.ConsumeRandomLengthString(48);
  }
}

Object fuzzedValue(FuzzedDataProvider& input, int depth);

Object fuzzedDictionary(FuzzedDataProvider& input, int depth) {
  ObjectDictionary dictionary;
  const int count = input.ConsumeIntegralInRange<int>(0, depth == 0 ? 30 : 4);
  for (int i = 0; i < count && input.remaining_bytes() > 0; ++i) {
    Object key = input.ConsumeIntegralInRange<int>(0, 15) == 0
                     ? Object::integer(input.ConsumeIntegral<std::int64_t>())
                     : Object(fuzzedString(input));
    dictionary[std::move(key)] = fuzzedValue(input, depth + 1);
  }
  return Object::dictionary(std::move(dictionary));
}

Object fuzzedValue(FuzzedDataProvider& input, int depth) {
  const int kind = input.ConsumeIntegralInRange<int>(0, depth >= kMaxDepth ? 4 : 7);
  switch (kind) {
    case 0:
      return Object(fuzzedString(input));
    case 1:
      return Object::integer(input.ConsumeIntegral<std::int64_t>());
    case 2:
      return Object::floating(input.ConsumeFloatingPoint<double>());
    case 3:
      return Object::boolean(input.ConsumeBool());
    case 4:
      return Object::null();
    case 5:
    case 6: {  // Arrays of dictionaries, of arrays, of anything.
      ObjectArray items;
      const int count = input.ConsumeIntegralInRange<int>(0, 5);
      for (int i = 0; i < count && input.remaining_bytes() > 0; ++i) {
        items.push_back(input.ConsumeBool() ? fuzzedDictionary(input, depth + 1)
                                            : fuzzedValue(input, depth + 1));
      }
      return Object::array(std::move(items));
    }
    default:
      return fuzzedDictionary(input, depth + 1);
  }
}

OptionalObject fuzzedParameters(FuzzedDataProvider& input) {
  if (input.ConsumeIntegralInRange<int>(0, 9) == 0) return std::nullopt;
  return fuzzedDictionary(input, 0);
}

// A stored event's parameter value as the pipeline may store it.
bool isStorableValue(const TLMValuePtr& value, int depth) {
  if (value == nullptr) return false;
  if (value->isInt64()) return true;
  if (value->isDouble()) return std::isfinite(value->doubleValue());
  if (value->isString()) {
    return TLMDataTypeValidator::isValidInternalEventParameterValue(value->asObject(), nullptr) &&
           tlm_isValidUTF8(*value->stringValue());
  }
  if (!value->isArray() || depth > 0) return false;
  for (const Object& item : *value->arrayValue()) {
    const ObjectDictionary* parameters = item.asDictionary();
    if (parameters == nullptr) return false;
    for (const auto& [name, itemValue] : *parameters) {
      if (!TLMDataTypeValidator::isValidInternalEventParameterName(name, nullptr)) return false;
      if (!isStorableValue(TLMValue::fromObject(itemValue), depth + 1)) return false;
    }
  }
  return true;
}

// Reads back every stored raw event, checks it, and empties the table so
// that the next inputs start from a small database.
void checkStoredEvents() {
  const std::shared_ptr<TLMMeasurement> engine = TLMMeasurement::sharedInstance();
  check(engine != nullptr);
  TLMDatabase* database = engine->database().get();
  check(database != nullptr);
  for (;;) {
    Error error;
    const std::optional<std::int64_t> fingerprint =
        database->nextMetadataFingerprintToProcess(&error);
    if (!fingerprint) {
      check(error.domain.empty());
      return;
    }
    check(database->queryRawEventsMetadataWithFingerprint(*fingerprint, &error).has_value());
    const auto rows = database->rawEventsWithMetadataFingerprint(*fingerprint, &error, nullptr);
    check(rows.has_value() && !rows->empty());
    std::int64_t maxRowID = 0;
    for (const TLMRawEventDataPtr& row : *rows) {
      check(row != nullptr && row->rawEvent() != nullptr);
      const TLMEvent& event = *row->rawEvent();
      check(TLMDataTypeValidator::isValidInternalEventName(Object(event.name()), nullptr));
      check(tlm_isValidUTF8(event.origin()));
      for (const auto& [name, value] : event.parameters()) {
        check(TLMDataTypeValidator::isValidInternalEventParameterName(name, nullptr));
        const TLMValuePtr typed = event.parameterValue(name.stringValue());
        if (name.stringValue() == kTLMErrorValueParameter) {
          // The library's own error marker: the offending text, trimmed
          // to its own limit and marked with "...".
          check(typed != nullptr && typed->isString() && tlm_isValidUTF8(*typed->stringValue()) &&
                tlm_UTF32Length(*typed->stringValue()) <= kTLMMaxErrorValueMarkerLength + 3);
          continue;
        }
        check(isStorableValue(typed, 0));
        (void)value;
      }
      maxRowID = std::max(maxRowID, row->rowID());
    }
    check(database->deleteRawEventsWithMaxRowID(maxRowID, &error).has_value());
    check(database->deleteUnusedRawEventsMetadata(&error).has_value());
  }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  HRNLogger_TEST_setSink([](const std::string&) {});
  std::string pattern =
      (std::filesystem::temp_directory_path() / "ferrolux-fuzz-public-XXXXXX").string();
  check(::mkdtemp(pattern.data()) != nullptr);
  PlatformPaths paths;
  paths.bundlePath = pattern + "/Fuzz.app";
  paths.containerPath = pattern + "/container";
  paths.keychainPath = pattern + "/keychain";
  std::filesystem::create_directories(paths.bundlePath);
  std::ofstream(paths.bundlePath + "/Info.plist")
      << "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\"><dict>"
      << "<key>CFBundleIdentifier</key><string>com.ferrolux.fuzz</string>"
      << "<key>CFBundleShortVersionString</key><string>1.0</string></dict></plist>\n";
  platform() = Platform::createDeterministic(paths, DeviceProfile(), 1);
  Platform::install(platform());
  FerroluxLibrary::load();
  check(QLFApp::configureWithOptions(QLFOptions(kAppID)));
  platform()->deterministicExecutor()->runUntilIdle();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider input(data, size);
  for (int step = 0; step < 8 && input.remaining_bytes() > 0; ++step) {
    switch (input.ConsumeIntegralInRange<int>(0, 6)) {
      case 0:
        QLFAnalytics::logEventWithName(fuzzedString(input), fuzzedParameters(input));
        break;
      case 1:
        QLFAnalytics::logEventWithOrigin(fuzzedString(input), fuzzedString(input),
                                         fuzzedParameters(input));
        break;
      case 2:
        QLFAnalytics::setUserPropertyString(
            input.ConsumeBool() ? OptionalObject(fuzzedValue(input, kMaxDepth)) : std::nullopt,
            fuzzedString(input));
        break;
      case 3:
        QLFAnalytics::setDefaultEventParameters(fuzzedParameters(input));
        break;
      case 4:
        QLFAnalytics::sharedInstance()->logInternalEventWithOrigin(
            fuzzedString(input), fuzzedString(input), fuzzedParameters(input));
        break;
      case 5:
        QLFAnalytics::setUserID(OptionalObject(fuzzedValue(input, kMaxDepth)));
        break;
      default:  // A new day: the daily limits start over.
        platform()->fakeClock()->advance(86400);
        break;
    }
  }
  platform()->deterministicExecutor()->runUntilIdle();
  checkStoredEvents();
  return 0;
}
