// Shared pieces of the validation tests: a deterministic Platform per test,
// what the process's monitor printed, the error events that reached the
// seam, and small builders for names and parameter dictionaries.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "engine/TLMErrorEventSeam.h"
#include "engine/TLMMeasurement.h"
#include "engine/TLMValue.h"
#include "ferrolux/Object.h"
#include "support/TestPlatform.h"
#include "upload/TLMMonitor.h"
#include "utilities/HRNLogger.h"

// Letters outside the basic plane: DESERET CAPITAL LETTER LONG I, LONG E
// and LONG A (U+10400...U+10402), four UTF-8 bytes and two UTF-16 units
// each.
inline constexpr char kDeseretI[] = "\xF0\x90\x90\x80";
inline constexpr char kDeseretE[] = "\xF0\x90\x90\x81";
inline constexpr char kDeseretA[] = "\xF0\x90\x90\x82";
// COMBINING ACUTE ACCENT (U+0301).
inline constexpr char kCombiningAcute[] = "\xCC\x81";

inline std::string repeated(std::string_view piece, std::size_t count) {
  std::string text;
  for (std::size_t i = 0; i < count; ++i) text.append(piece);
  return text;
}

// A name of `length` characters: "a", "b", ... cycling.
inline std::string asciiName(std::size_t length) {
  std::string text;
  for (std::size_t i = 0; i < length; ++i) text.push_back(static_cast<char>('a' + i % 26));
  return text;
}

inline Object stringValue(std::string text) {
  return TLMValue::fromString(std::move(text))->asObject();
}
inline Object intValue(std::int64_t value) { return TLMValue::initWithInt64(value)->asObject(); }
inline Object doubleValue(double value) { return TLMValue::initWithDouble(value)->asObject(); }

// The value under `name`, or null.
inline TLMValuePtr valueAt(const ObjectDictionary& parameters, const std::string& name) {
  const auto found = parameters.find(Object(name));
  return found == parameters.end() ? nullptr : TLMValue::fromObject(found->second);
}
inline bool has(const ObjectDictionary& parameters, const std::string& name) {
  return parameters.find(Object(name)) != parameters.end();
}
// "_err" as an integer, -1 when absent.
inline std::int64_t errorCode(const ObjectDictionary& parameters) {
  const TLMValuePtr value = valueAt(parameters, "_err");
  return value != nullptr && value->isInt64() ? value->int64Value() : -1;
}
inline std::string errorValue(const ObjectDictionary& parameters) {
  const TLMValuePtr value = valueAt(parameters, "_ev");
  return value != nullptr && value->stringValue() != nullptr ? *value->stringValue() : "<none>";
}
inline std::int64_t errorLength(const ObjectDictionary& parameters) {
  const TLMValuePtr value = valueAt(parameters, "_el");
  return value != nullptr && value->isInt64() ? value->int64Value() : -1;
}

class ValidationTest : public ::testing::Test {
 protected:
  struct LoggedEvent {
    std::string origin;
    std::string name;
    ObjectDictionary parameters;
  };

  void SetUp() override {
    HRNSetLoggerLevel(kHRNLoggerDefaultLevel);
    auto lines = lines_;
    HRNLogger_TEST_setSink([lines](const std::string& line) {
      std::lock_guard<std::mutex> lock(lines->mutex);
      lines->text.push_back(line);
    });
    // Created now, so that its start-up reports are out of the way.
    TLMMeasurement::monitor();
    platform_.executor().runUntilIdle();
    clearPrinted();
    auto events = events_;
    TLMErrorEventSeam::connect([events](const std::string& origin, const std::string& name,
                                        const ObjectDictionary& parameters) {
      std::lock_guard<std::mutex> lock(events->mutex);
      events->logged.push_back({origin, name, parameters});
    });
  }

  void TearDown() override {
    TLMErrorEventSeam::connect(nullptr);
    platform_.executor().runUntilIdle();
    HRNLogger_TEST_setSink(nullptr);
    HRNSetLoggerLevel(kHRNLoggerDefaultLevel);
  }

  std::vector<std::string> printed() {
    platform_.executor().runUntilIdle();
    std::lock_guard<std::mutex> lock(lines_->mutex);
    return lines_->text;
  }
  void clearPrinted() {
    platform_.executor().runUntilIdle();
    std::lock_guard<std::mutex> lock(lines_->mutex);
    lines_->text.clear();
  }
  // The texts (after the message code) of the printed records with `code`.
  std::vector<std::string> printedWithCode(long code) {
    const std::string tag = "[" + HRNMessageCode(code) + "] ";
    std::vector<std::string> found;
    for (const std::string& line : printed()) {
      const std::size_t at = line.find(tag);
      if (at != std::string::npos) found.push_back(line.substr(at + tag.size()));
    }
    return found;
  }
  // The one printed record with `code`; "" and a failure otherwise.
  std::string onePrinted(long code) {
    std::vector<std::string> found = printedWithCode(code);
    EXPECT_EQ(found.size(), 1u) << "reports with code " << code;
    return found.size() == 1 ? found[0] : "";
  }
  // The key of the one sampled report ("1E_<version>:<message>"), for the
  // levels that are never printed; "" when not exactly one was sampled.
  std::string onlySampledKey() {
    platform_.executor().runUntilIdle();
    OptionalObject entry = TLMMeasurement::monitor().TEST_sampledEntry();
    if (!entry || entry->asArray() == nullptr || entry->asArray()->size() != 4) return "";
    const ObjectArray& fields = *entry->asArray();
    return fields[1].int64Value() == 1 ? fields[2].stringValue() : "";
  }

  std::vector<LoggedEvent> loggedEvents() {
    std::lock_guard<std::mutex> lock(events_->mutex);
    return events_->logged;
  }

  TestPlatform platform_;

 private:
  struct Lines {
    std::mutex mutex;
    std::vector<std::string> text;
  };
  struct Events {
    std::mutex mutex;
    std::vector<LoggedEvent> logged;
  };
  std::shared_ptr<Lines> lines_ = std::make_shared<Lines>();
  std::shared_ptr<Events> events_ = std::make_shared<Events>();
};
