// The level table, context encoding, exception symbols and printed texts:
// the monitor's class methods.
#include <gtest/gtest.h>

#include <climits>
#include <cmath>
#include <limits>
#include <string>

#include "upload/TLMASLLogger.h"
#include "upload/TLMErrors.h"
#include "upload/TLMException.h"
#include "upload/TLMMonitor.h"

namespace {

struct LevelRow {
  int level;
  const char* description;
  char letter;
  bool printed;
  bool sampled;
  HRNLoggerLevel mapped;
};

constexpr LevelRow kTable[] = {
    {0, "ERROR", 'E', true, false, HRNLoggerLevel::Error},
    {1, "ERROR", 'E', true, true, HRNLoggerLevel::Error},
    {2, "ERROR", 'E', false, true, HRNLoggerLevel::Error},
    {3, "WARNING", 'W', true, false, HRNLoggerLevel::Warning},
    {4, "WARNING", 'W', true, true, HRNLoggerLevel::Warning},
    {5, "WARNING", 'W', false, true, HRNLoggerLevel::Warning},
    {6, "NOTICE", '?', true, false, HRNLoggerLevel::Notice},
    {7, "DEBUG", '?', true, false, HRNLoggerLevel::Debug},
    {8, "", '?', true, false, HRNLoggerLevel::Debug},
};

// Out of the table (negative or above 8): silent, sampled, warning, '?'.
LevelRow outOfTableRow(int level) { return {level, "", '?', false, true, HRNLoggerLevel::Warning}; }

void expectRow(const LevelRow& row) {
  SCOPED_TRACE("level " + std::to_string(row.level));
  EXPECT_EQ(TLMMonitor::logLevelDescriptionFromLogLevel(row.level), row.description);
  EXPECT_EQ(TLMMonitor::sampleLetterFromLogLevel(row.level), row.letter);
  EXPECT_EQ(!TLMMonitor::isSilentLevel(row.level), row.printed);
  EXPECT_EQ(TLMMonitor::isMonitorableLevel(row.level), row.sampled);
  EXPECT_EQ(TLMASLLogger::HRNLoggerLevelFromLogLevel(row.level), row.mapped);
}

TEST(MonitorLevelTable, EveryLevelInAndOutOfTheTable) {
  for (int level = -1; level <= 64; ++level) {
    expectRow(level >= 0 && level <= 8 ? kTable[level] : outOfTableRow(level));
  }
  for (int level : {INT_MIN, -64, -33, -32, -31, 65, INT_MAX}) expectRow(outOfTableRow(level));
}

TEST(MonitorLevelTable, MonitoringKeyCarriesLetterVersionAndMessage) {
  EXPECT_EQ(
      TLMMonitor::monitoringDataKeyWithMessage("Unable to delete stale data. Error", 5, 80300),
      "1W_80300:Unable to delete stale data. Error");
  EXPECT_EQ(TLMMonitor::monitoringDataKeyWithMessage("x", 1, -7), "1E_-7:x");
  EXPECT_EQ(TLMMonitor::monitoringDataKeyWithMessage("x", 12, 80300), "1?_80300:x");
  EXPECT_EQ(TLMMonitor::monitoringDataKeyWithMessage("100%d", 2, 1), "1E_1:100%d");
}

std::string encode(const Object& object) {
  return TLMMonitor::encodedStringWithContextObject(object);
}

TEST(MonitorContextEncoding, NumbersBeyondTwoDigitsGiveTheirDecade) {
  constexpr std::int64_t kMax = std::numeric_limits<std::int64_t>::max();
  constexpr std::int64_t kMin = std::numeric_limits<std::int64_t>::min();
  const std::string top = "1000000000000000000...9223372036854775807";
  const std::string bottom = "-9223372036854775808...-1000000000000000000";
  const std::pair<Object, std::string> cases[] = {
      {Object::integer(0), "0"},
      {Object::integer(99), "99"},
      {Object::integer(-99), "-99"},
      {Object::boolean(true), "1"},
      {Object::integer(100), "100...999"},
      {Object::integer(-100), "-999...-100"},
      {Object::integer(999), "100...999"},
      {Object::integer(1000), "1000...9999"},
      {Object::integer(-1000), "-9999...-1000"},
      // Just below a power of ten, where a floating logarithm rounds up.
      {Object::integer(999999999999999999), "100000000000000000...999999999999999999"},
      {Object::integer(-999999999999999999), "-999999999999999999...-100000000000000000"},
      // The top decade ends at the integer limits.
      {Object::integer(1000000000000000000), top},
      {Object::integer(kMax), top},
      {Object::integer(-1000000000000000000), bottom},
      {Object::integer(kMin), bottom},
      // Doubles use their integer part.
      {Object::floating(1.5), "1"},
      {Object::floating(-1.5), "-1"},
      {Object::floating(99.9), "99"},
      {Object::floating(100.5), "100...999"},
      {Object::floating(1e18), top},
      {Object::floating(1e19), top},
      {Object::floating(-1e300), bottom},
      {Object::floating(INFINITY), top},
      {Object::floating(-INFINITY), bottom},
      {Object::floating(std::nan("")), "?"},
  };
  for (const auto& [object, expected] : cases) {
    EXPECT_EQ(encode(object), expected) << object.description();
  }
}

TEST(MonitorContextEncoding, OtherKinds) {
  EXPECT_EQ(TLMMonitor::encodedStringWithContextObject(std::nullopt), "");
  EXPECT_EQ(encode(Object::null()), "");
  EXPECT_EQ(encode(Object("secret user text")), "-");
  EXPECT_EQ(encode(Object("")), "-");
  EXPECT_EQ(encode(Object::error(tlm_errorWithCode(3, "d"))), kTLMErrorDomain);
  EXPECT_EQ(encode(Object::error(Error{"NSPOSIXErrorDomain", 2, {}, {}})), "NSPOSIXErrorDomain");
  EXPECT_EQ(encode(Object::error(Error{"", 2, {}, {}})), "-");
  for (const Object& other :
       {Object::date(1.0), Object::array({Object::integer(1)}), Object::dictionary({}),
        Object::data({1, 2}), Object::opaque("__SwiftValue")}) {
    EXPECT_EQ(encode(other), "?") << other.description();
  }
}

TEST(MonitorContextEncoding, ArraysJoinWithOrWithoutSpaces) {
  const ObjectArray contexts{Object::integer(7), Object("s"), Object::null(),
                             Object::integer(-100)};
  EXPECT_EQ(TLMMonitor::encodedStringWithContextArray(contexts, true), "7, -, , -999...-100");
  EXPECT_EQ(TLMMonitor::encodedStringWithContextArray(contexts, false), "7,-,,-999...-100");
  EXPECT_EQ(TLMMonitor::encodedStringWithContextArray({}, true), "");
}

std::vector<std::string> stack(std::initializer_list<const char*> lines) {
  return std::vector<std::string>(lines.begin(), lines.end());
}

TEST(MonitorExceptionSymbol, WalksFromTheThirdLine) {
  const TLMException exception(
      "NSRangeException", "index 3 beyond bounds",
      stack({"0   CoreFoundation  0x01  -[TLMIgnored first] + 1",
             "1   libobjc.A.dylib 0x02  objc_exception_throw + 2",
             "2   Game            0x03  -[GameScene update:] + 40",
             "3   Game            0x04  -[TLMDatabase insertEvent:error:] + 120",
             "4   Game            0x05  -[TLMLater other] + 1"}));
  EXPECT_EQ(lastTLMSymbolFromException(&exception), "-[TLMDatabase insertEvent:error:]");
  EXPECT_EQ(TLMMonitor::lastTLMSymbolFromException(&exception),
            "-[TLMDatabase insertEvent:error:]");
  EXPECT_EQ(encode(Object::library(std::make_shared<TLMException>(exception))),
            "-[TLMDatabase insertEvent:error:]");
  // Function symbols match too, whatever their case.
  const TLMException function("E", "r",
                              stack({"0 a 0x0 x + 1", "1 a 0x0 y + 1", "2 Game 0x03 short",
                                     "3   Game   0x04   tlm_readValue + 12"}));
  EXPECT_EQ(lastTLMSymbolFromException(&function), "tlm_readValue");
}

TEST(MonitorExceptionSymbol, FallsBackToTheName) {
  EXPECT_EQ(lastTLMSymbolFromException(nullptr), std::nullopt);
  const TLMException shortStack("NSGenericException", "r",
                                stack({"0 a 0x0 -[TLMA b] + 1", "1 a 0x0 -[TLMA c] + 1"}));
  EXPECT_EQ(lastTLMSymbolFromException(&shortStack), "NSGenericException");
  EXPECT_EQ(encode(TLMException::object("NSGenericException", "r", {})), "-");
  const TLMException noLibrary("NSInternalInconsistencyException", "r",
                               stack({"0 a 0x0 x + 1", "1 a 0x0 y + 1", "2 a 0x0 -[Game go] + 1"}));
  EXPECT_EQ(lastTLMSymbolFromException(&noLibrary), "NSInternalInconsistencyException");
  EXPECT_EQ(TLMException::object("N", "r", {}).className(), "NSException");
}

TEST(MonitorPrintedText, NilAndEmptyMessagesDescriptionsOrEncodedContexts) {
  EXPECT_EQ(TLMMonitor::stringWithLogMessage(std::string_view(), 1, {}, false),
            "(Message was nil)");
  EXPECT_EQ(TLMMonitor::stringWithLogMessage("", 1, {}, false), "(Message was empty)");
  EXPECT_EQ(TLMMonitor::stringWithLogMessage("plain", 1, {}, true), "plain");

  const Object exception = TLMException::object(
      "NSRangeException", "index beyond bounds",
      stack({"0 a 0x0 x + 1", "1 a 0x0 y + 1", "2 Game 0x1 -[TLMStore read:] + 8"}));
  const ObjectArray contexts{Object::null(), Object("name"), Object::integer(345), exception};
  EXPECT_EQ(TLMMonitor::stringWithLogMessage("Failed", 1, contexts, false),
            "Failed: (nil), name, 345, -[TLMStore read:]: index beyond bounds");
  EXPECT_EQ(TLMMonitor::stringWithLogMessage("Failed", 1, contexts, true),
            "Failed: , -, 100...999, -[TLMStore read:]");
  // Without a library symbol an exception is just described.
  EXPECT_EQ(
      TLMMonitor::stringWithLogMessage("Failed", 1, {TLMException::object("N", "why", {})}, false),
      "Failed: why");
}

}  // namespace
