// The generic row operations and the single app_metadata row: bundle
// bookkeeping, daily counts and the stored configuration.
#include "engine/TLMAppMetadata.h"
#include "storage/database_core_support.h"
#include "upload/TLMPBConfigMessages.h"

namespace {

TLMPBMeasurementConfig configuration(const std::string& appID, std::int64_t version) {
  TLMPBMeasurementConfig config;
  config.set_version(version);
  if (!appID.empty()) config.set_qvr_app_id(appID);
  TLMPBSetting setting;
  setting.set_name("measurement.upload.max_bundles");
  setting.set_value("42");
  (void)config.add_settings(std::move(setting));
  return config;
}

TLMSqliteRecord userAttributeRow(const std::string& name, std::int64_t value) {
  return {{"name", Object(name)},
          {"set_timestamp", Object::floating(1)},
          {"value", Object::integer(value)},
          {"origin", Object("app")}};
}

using DatabaseRows = DatabaseTest;

TEST_F(DatabaseRows, UpsertRefusesNewKeysInAFullTableButUpdatesExistingOnes) {
  open();
  Error error;
  for (int i = 0; i < 3; ++i) {
    const std::string name = "p" + std::to_string(i);
    ASSERT_TRUE(db().upsertDataType(userAttributeRow(name, i), kTLMTableUserAttributes, "name",
                                    Object(name), 3, &error))
        << error.toString();
  }
  EXPECT_FALSE(db().upsertDataType(userAttributeRow("p3", 3), kTLMTableUserAttributes, "name",
                                   Object("p3"), 3, &error));
  EXPECT_STORE_ERROR(error, 2, "Failed to insert data type. Table is full");
  EXPECT_TRUE(db().upsertDataType(userAttributeRow("p1", 100), kTLMTableUserAttributes, "name",
                                  Object("p1"), 3, &error));

  RawConnection raw(path());
  EXPECT_EQ(raw.column("SELECT name || '=' || value FROM user_attributes ORDER BY name"),
            (std::vector<std::string>{"p0=0", "p1=100", "p2=2"}));
}

TEST_F(DatabaseRows, UpdateOfAMissingRowFails) {
  open();
  Error error;
  EXPECT_FALSE(db().updateDataType(userAttributeRow("absent", 1), kTLMTableUserAttributes, "name",
                                   Object("absent"), &error));
  EXPECT_STORE_ERROR(error, 2, "Failed to update record. Item doesn't exist");
}

TEST_F(DatabaseRows, ListReadFailsAsAWholeWhenARowDoesNotConvert) {
  open();
  Error error;
  ASSERT_TRUE(db().insertDataType(userAttributeRow("a", 1), kTLMTableUserAttributes, &error));
  ASSERT_TRUE(db().insertDataType(userAttributeRow("b", -1), kTLMTableUserAttributes, &error));
  const TLMDataTypeFromRecord<std::int64_t> positive = [](const TLMSqliteRecord& row,
                                                          Error*) -> std::optional<std::int64_t> {
    const std::int64_t value = row.at("value").int64Value();
    if (value < 0) return std::nullopt;
    return value;
  };
  EXPECT_FALSE(db().dataTypesFromTableWithName<std::int64_t>(kTLMTableUserAttributes, "origin",
                                                             Object("app"), &error, positive));
  EXPECT_STORE_ERROR(error, 2, "Failed to initialize data types from dictionaries");
  std::optional<std::vector<std::int64_t>> capped =
      db().allDataTypesFromTableWithName<std::int64_t>(kTLMTableUserAttributes, 1, &error,
                                                       positive);
  ASSERT_TRUE(capped.has_value()) << error.toString();
  EXPECT_EQ(*capped, std::vector<std::int64_t>{1});
}

TEST_F(DatabaseRows, UpdatesOfTheAppMetadataRowKeepItsOtherColumns) {
  open();
  Error error;
  const TLMDailyCounts counts(20000, 1, 2, 3, 4, 5);
  ASSERT_TRUE(db().updateDailyCounts(counts, &error)) << error.toString();
  ASSERT_TRUE(db().updateRemoteConfig(configuration(kAppID, 7), &error)) << error.toString();
  TLMAppMetadataPtr metadata = TLMAppMetadata::initWithLastBundleIndex(12, 100.5, 200.25);
  ASSERT_TRUE(db().updateAppMetadata(*metadata, &error)) << error.toString();
  ASSERT_TRUE(db().updateRemoteConfigSuccessfulTimestamp(1234.5, &error));
  ASSERT_TRUE(db().updateDailyCounts(TLMDailyCounts(20000, 1, 2, 3, 4, 6), &error));

  TLMAppMetadataPtr read = db().queryAppMetadata(&error);
  ASSERT_NE(read, nullptr) << error.toString();
  EXPECT_EQ(read->lastBundleIndex(), 12);
  EXPECT_EQ(read->lastBundleStartTimestamp(), 100.5);
  EXPECT_EQ(read->lastBundleEndTimestamp(), 200.25);
  EXPECT_EQ(db().dailyCounts(&error),
            std::optional<TLMDailyCounts>(TLMDailyCounts(20000, 1, 2, 3, 4, 6)));
  std::optional<TLMPBMeasurementConfig> config = db().queryMeasurementConfigWithError(&error);
  ASSERT_TRUE(config.has_value()) << error.toString();
  EXPECT_EQ(config->version(), 7);
  EXPECT_EQ(db().lastRemoteConfigUpdateTimestamp(&error), std::optional<double>(1234.5));

  RawConnection raw(path());
  EXPECT_EQ(raw.scalar("SELECT count(*) FROM app_metadata"), "1");
}

TEST_F(DatabaseRows, DailyCountsReadNonNumbersAsZeroAndAMissingDayAsToday) {
  open();
  Error error;
  clock().setNow(1767225600.0 + 10 * 86400 + 5);
  std::optional<TLMDailyCounts> fresh = db().dailyCounts(&error);
  ASSERT_TRUE(fresh.has_value()) << error.toString();
  EXPECT_EQ(*fresh,
            TLMDailyCounts(TLMDailyCounts::dayForTime(now(), persistedConfig_->midnightOffset()), 0,
                           0, 0, 0, 0));

  RawConnection raw(path());
  ASSERT_EQ(raw.exec("UPDATE app_metadata SET day = 5, daily_events_count = 'many', "
                     "daily_conversions_count = 3, daily_public_events_count = 9999999999"),
            SQLITE_OK);
  EXPECT_EQ(db().dailyCounts(&error),
            std::optional<TLMDailyCounts>(TLMDailyCounts(5, 3, 0, 2147483647, 0, 0)));
}

TEST_F(DatabaseRows, AppMetadataThatIsNotValidIsRefused) {
  open();
  RawConnection raw(path());
  ASSERT_EQ(raw.exec("UPDATE app_metadata SET last_bundle_index = -1"), SQLITE_OK);
  Error error;
  EXPECT_EQ(db().queryAppMetadata(&error), nullptr);
  EXPECT_STORE_ERROR(error, 3, "Received invalid app metadata");
  ASSERT_EQ(raw.exec("DELETE FROM app_metadata"), SQLITE_OK);
  EXPECT_EQ(db().queryAppMetadata(&error), nullptr);
  EXPECT_STORE_ERROR(error, 3, "Received empty dictionary for getting app metadata");
  TLMAppMetadataPtr metadata = TLMAppMetadata::initWithLastBundleIndex(1, 1, 1);
  EXPECT_FALSE(db().updateAppMetadata(*metadata, &error));
  EXPECT_STORE_ERROR(error, 2, "Failed to update record. Item doesn't exist");
}

using DatabaseConfig = DatabaseTest;

TEST_F(DatabaseConfig, StoresAndReadsTheConfigurationWithItsTime) {
  open();
  Error error;
  EXPECT_EQ(db().queryMeasurementConfigWithError(&error), std::nullopt);
  EXPECT_TRUE(error.domain.empty());
  EXPECT_EQ(db().lastRemoteConfigUpdateTimestamp(&error), std::nullopt);
  EXPECT_TRUE(error.domain.empty());

  const TLMPBMeasurementConfig stored = configuration(kAppID, 3);
  ASSERT_TRUE(db().updateRemoteConfig(stored, &error)) << error.toString();
  EXPECT_EQ(db().queryMeasurementConfigWithError(&error), std::optional(stored));
  EXPECT_EQ(db().lastRemoteConfigUpdateTimestamp(&error), std::optional<double>(now()));
}

TEST_F(DatabaseConfig, ConfigurationWithoutAppIDIsRefused) {
  open();
  Error error;
  ASSERT_TRUE(db().updateRemoteConfig(configuration(kAppID, 1), &error));
  EXPECT_FALSE(db().updateRemoteConfig(configuration("", 2), &error));
  EXPECT_STORE_ERROR(error, 1, "Missing Tarvix app ID in measurement configuration");
  EXPECT_FALSE(db().updateRemoteConfig(TLMPBMeasurementConfig(), &error));
  EXPECT_STORE_ERROR(error, 1, "Invalid measurement config data");
  EXPECT_EQ(db().queryMeasurementConfigWithError(&error)->version(), 1);
}

TEST_F(DatabaseConfig, CorruptedConfigurationIsReportedAndRefused) {
  open();
  Error error;
  ASSERT_TRUE(db().updateRemoteConfig(configuration(kAppID, 1), &error));
  RawConnection raw(path());
  ASSERT_EQ(raw.exec("UPDATE app_metadata SET remote_config_data = x'0aff'"), SQLITE_OK);
  EXPECT_EQ(db().queryMeasurementConfigWithError(&error), std::nullopt);
  EXPECT_STORE_ERROR(error, 2, "Remote config data is corrupted");
  EXPECT_EQ(printedWithCode(12063).size(), 1u);

  ASSERT_EQ(raw.exec("UPDATE app_metadata SET remote_config_data = 'text'"), SQLITE_OK);
  error = Error();
  EXPECT_EQ(db().queryMeasurementConfigWithError(&error), std::nullopt);
  EXPECT_STORE_ERROR(error, 2, "Remote config data is corrupted");
}

using AppMetadataRecord = DatabaseTest;

TEST_F(AppMetadataRecord, NegativeIndexIsRefused) {
  EXPECT_EQ(TLMAppMetadata::initWithLastBundleIndex(-1, 0, 0), nullptr);
  EXPECT_TRUE(sampledKey().ends_with(
      ":Failed to create app metadata object. Received negative last bundle index."))
      << sampledKey();
}

TEST_F(AppMetadataRecord, IndexWrapsToZeroAfterTheLargestValue) {
  TLMAppMetadataPtr metadata = TLMAppMetadata::initWithLastBundleIndex(2147483646, 1, 2);
  ASSERT_NE(metadata, nullptr);
  metadata->incrementLastBundleIndex();
  EXPECT_EQ(metadata->lastBundleIndex(), 2147483647);
  EXPECT_EQ(sampledKey(), "");
  metadata->incrementLastBundleIndex();
  EXPECT_EQ(metadata->lastBundleIndex(), 0);
  EXPECT_TRUE(sampledKey().ends_with(":Bundle index overflow. Bundle index reset to 0."))
      << sampledKey();
  metadata->incrementLastBundleIndex();
  EXPECT_EQ(metadata->lastBundleIndex(), 1);
}

}  // namespace
