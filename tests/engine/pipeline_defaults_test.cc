// Default event parameters: merging into the stored defaults, refused
// keys and values, the parameter limit, persistence and the disabled gate.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "pipeline_test_support.h"

namespace {

class PipelineDefaultsTest : public PipelineTest {
 protected:
  void setDefaults(const OptionalObject& parameters) {
    engine_->setDefaultEventParameters(parameters);
    run();
  }
  OptionalObject storedDefaults() { return engine_->persistedConfig()->defaultEventParameters(); }

  static std::string numbered(int i) {
    char name[8];
    std::snprintf(name, sizeof(name), "p%02d", i);
    return name;
  }
};

TEST_F(PipelineDefaultsTest, EntriesMergeIntoTheStoredDefaultsAndNullRemovesOne) {
  startEngine();
  setDefaults(Object::dictionary(params({{"a", Object::integer(1)}, {"b", Object("x")}})));
  setDefaults(Object::dictionary(params({{"b", Object::null()}, {"c", Object::floating(2.5)}})));
  EXPECT_EQ(storedDefaults(),
            Object::dictionary(params({{"a", Object::integer(1)}, {"c", Object::floating(2.5)}})));
  const std::vector<MonitorReport> updates = monitor_.withCode(23216);
  ASSERT_EQ(updates.size(), 2u);
  EXPECT_EQ(updates[1].level, 7);
  EXPECT_EQ(updates[1].message, "Updating default event parameters. Parameters");

  // Defaults survive a new process life.
  restartProcess();
  startEngine();
  EXPECT_EQ(storedDefaults(),
            Object::dictionary(params({{"a", Object::integer(1)}, {"c", Object::floating(2.5)}})));
  setDefaults(std::nullopt);
  EXPECT_EQ(storedDefaults(), std::nullopt);
  log("level_up");
  EXPECT_FALSE(storedOne("level_up")->hasParameter("a"));
}

TEST_F(PipelineDefaultsTest, RefusedKeysAndValuesAreReportedAndSkipped) {
  startEngine();
  ObjectDictionary given;
  given[Object::integer(5)] = Object("numeric key");
  given[Object("items")] = Object::array({Object("x")});
  given[Object("nested")] = Object::dictionary({});
  given[Object("_private")] = Object::integer(1);
  given[Object("kept")] = Object("yes");
  setDefaults(Object::dictionary(given));

  EXPECT_EQ(storedDefaults(), Object::dictionary(params({{"kept", Object("yes")}})));
  const std::vector<MonitorReport> keys = monitor_.withCode(23212);
  ASSERT_EQ(keys.size(), 1u);
  EXPECT_EQ(keys[0].level, 4);
  EXPECT_EQ(keys[0].message, "Invalid key in default event parameters. Parameter ignored.");
  const std::vector<MonitorReport> values = monitor_.withCode(23213);
  ASSERT_EQ(values.size(), 2u);
  EXPECT_EQ(values[0].message, "Invalid key in default event parameters. Parameter ignored.");
  const std::vector<MonitorReport> names = monitor_.withCode(23214);
  ASSERT_EQ(names.size(), 1u);
  EXPECT_EQ(names[0].message, "Invalid default event parameter name. Name");
  EXPECT_EQ(names[0].contexts, ObjectArray{Object("_private")});
  // Only the array reports an error event.
  EXPECT_EQ(errorCodes(), std::vector<std::int64_t>{27});
}

TEST_F(PipelineDefaultsTest, BeyondTheParameterLimitTheGreatestNamesGo) {
  startEngine();
  ObjectDictionary given;
  for (int i = 29; i >= 0; --i) given[Object(numbered(i))] = Object::integer(i);
  setDefaults(Object::dictionary(given));

  ASSERT_TRUE(storedDefaults().has_value());
  const ObjectDictionary* kept = storedDefaults()->asDictionary();
  ASSERT_NE(kept, nullptr);
  ASSERT_EQ(kept->size(), 25u);
  EXPECT_EQ(kept->begin()->first, Object("p00"));
  EXPECT_EQ(kept->rbegin()->first, Object("p24"));
  EXPECT_EQ(errorCodes(), std::vector<std::int64_t>{26});
  const std::vector<MonitorReport> reports = monitor_.withCode(23215);
  ASSERT_EQ(reports.size(), 1u);
  EXPECT_EQ(reports[0].level, 4);
  EXPECT_EQ(reports[0].message,
            "Too many default event parameters set. Discarding beyond event parameter limit");

  // Exactly at the limit nothing is discarded.
  errorEvents_.clear();
  setDefaults(Object::dictionary(params({{"p24", Object::null()}, {"p25", Object::integer(0)}})));
  EXPECT_EQ(storedDefaults()->asDictionary()->size(), 25u);
  EXPECT_TRUE(errorEvents_.empty());
}

TEST_F(PipelineDefaultsTest, DisabledEngineLeavesTheDefaultsAlone) {
  startEngine();
  setDefaults(Object::dictionary(params({{"a", Object::integer(1)}})));
  engine_->setEnabled(false);
  run();
  setDefaults(std::nullopt);
  EXPECT_EQ(storedDefaults(), Object::dictionary(params({{"a", Object::integer(1)}})));
  const std::vector<MonitorReport> reports = monitor_.withCode(23211);
  ASSERT_EQ(reports.size(), 1u);
  EXPECT_EQ(reports[0].level, 7);
  EXPECT_EQ(reports[0].message, "Analytics is disabled. Default event parameters not updated");
}

TEST_F(PipelineDefaultsTest, TheCallersParametersWinOverTheDefaults) {
  startEngine();
  setDefaults(Object::dictionary(params({{"a", Object::integer(1)}, {"b", Object::integer(2)}})));
  engine_->workerQueue()->async([this] {
    EXPECT_EQ(engine_->parametersWithAddedDefaultEventParameters(
                  Object::dictionary(params({{"b", Object::integer(9)}}))),
              Object::dictionary(params({{"a", Object::integer(1)}, {"b", Object::integer(9)}})));
    EXPECT_EQ(engine_->parametersWithAddedDefaultEventParameters(std::nullopt),
              Object::dictionary(params({{"a", Object::integer(1)}, {"b", Object::integer(2)}})));
  });
  run();
  setDefaults(std::nullopt);
  engine_->workerQueue()->async([this] {
    EXPECT_EQ(engine_->parametersWithAddedDefaultEventParameters(std::nullopt), std::nullopt);
  });
  run();
}

}  // namespace
