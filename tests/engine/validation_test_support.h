// Shared pieces of the validation tests: the monitor-reading fixture with
// the error events that reached the seam, and small builders for names and
// parameter dictionaries.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "engine/TLMDataTypeValidator.h"
#include "engine/TLMErrorEventSeam.h"
#include "engine/TLMValue.h"
#include "ferrolux/Object.h"
#include "support/MonitorReportsTest.h"

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

// The failure code `check` gives `value`: kTLMValidatorValid when it passes,
// and a test failure when the answer and the code disagree.
inline unsigned failureOf(bool (*check)(const OptionalObject&, unsigned*),
                          const OptionalObject& value) {
  unsigned failure = 99;
  const bool valid = check(value, &failure);
  EXPECT_EQ(valid, failure == kTLMValidatorValid) << failure;
  return failure;
}

// Also records the error events that reached the seam.
class ValidationTest : public MonitorReportsTest {
 protected:
  struct LoggedEvent {
    std::string origin;
    std::string name;
    ObjectDictionary parameters;
  };

  void SetUp() override {
    MonitorReportsTest::SetUp();
    auto events = events_;
    TLMErrorEventSeam::connect([events](const std::string& origin, const std::string& name,
                                        const ObjectDictionary& parameters) {
      std::lock_guard<std::mutex> lock(events->mutex);
      events->logged.push_back({origin, name, parameters});
    });
  }
  void TearDown() override {
    TLMErrorEventSeam::connect(nullptr);
    MonitorReportsTest::TearDown();
  }

  // The key of the one sampled report ("1E_<version>:<message>"); "" when
  // not exactly one was sampled.
  std::string onlySampledKey() { return sampledCount() == 1 ? sampledKey() : ""; }

  std::vector<LoggedEvent> loggedEvents() {
    std::lock_guard<std::mutex> lock(events_->mutex);
    return events_->logged;
  }

 private:
  struct Events {
    std::mutex mutex;
    std::vector<LoggedEvent> logged;
  };
  std::shared_ptr<Events> events_ = std::make_shared<Events>();
};
