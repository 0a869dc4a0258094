// The measurement configuration last received from the service, kept in
// the app_metadata row with the time it was stored.
#include "storage/TLMDatabase.h"
#include "storage/TLMDatabaseMessages.h"

namespace {

constexpr char kColumnRemoteConfigData[] = "remote_config_data";
constexpr char kColumnRemoteConfigTimestamp[] = "remote_config_timestamp";

constexpr char kConfigQuery[] = "SELECT remote_config_data FROM app_metadata LIMIT 1";
constexpr char kConfigTimestampQuery[] = "SELECT remote_config_timestamp FROM app_metadata LIMIT 1";

}  // namespace

bool TLMDatabase::updateRemoteConfig(const TLMPBMeasurementConfig& config, Error* error) {
  std::optional<Bytes> bytes = config.protoBuffer();
  if (!bytes || bytes->empty()) {
    return tlm_databaseFail(error, kTLMDatabaseInvalidArgumentCode,
                            "Invalid measurement config data");
  }
  if (config.qvr_app_id().empty()) {
    return tlm_databaseFail(error, kTLMDatabaseInvalidArgumentCode,
                            "Missing Tarvix app ID in measurement configuration");
  }
  const TLMSqliteRecord record = {
      {kColumnRemoteConfigData, Object::data(std::move(*bytes))},
      {kColumnRemoteConfigTimestamp, Object::floating(now())},
  };
  return updateDataType(record, kTLMTableAppMetadata, kTLMColumnRowID,
                        Object::integer(kAppMetadataRowID), error);
}

bool TLMDatabase::updateRemoteConfigSuccessfulTimestamp(double timestamp, Error* error) {
  const TLMSqliteRecord record = {{kColumnRemoteConfigTimestamp, Object::floating(timestamp)}};
  return updateDataType(record, kTLMTableAppMetadata, kTLMColumnRowID,
                        Object::integer(kAppMetadataRowID), error);
}

std::optional<TLMPBMeasurementConfig> TLMDatabase::queryMeasurementConfigWithError(Error* error) {
  std::optional<std::vector<TLMSqliteRecord>> rows =
      sqliteStore_->recordsForQuery(kConfigQuery, {}, error);
  if (!rows || rows->empty()) return std::nullopt;
  auto data = rows->front().find(kColumnRemoteConfigData);
  if (data == rows->front().end() || data->second.isNull()) return std::nullopt;
  const Bytes* bytes = data->second.asData();
  Error parseError;
  std::optional<TLMPBMeasurementConfig> config;
  if (bytes != nullptr && !bytes->empty()) {
    config = TLMPBMeasurementConfig::initWithBuffer(*bytes, &parseError);
  } else {
    parseError = tlm_errorWithCode(kTLMDatabaseFailureCode, "Received empty configuration data");
  }
  if (!config) {
    tlm_databaseReport(kTLMDatabaseErrorLevel, kTLMDatabaseUnreadableConfigCode,
                       kTLMDatabaseUnreadableConfigMessage, Object::error(parseError));
    tlm_databaseFail(error, kTLMDatabaseWrongStateCode, "Remote config data is corrupted");
    return std::nullopt;
  }
  return config;
}

std::optional<double> TLMDatabase::lastRemoteConfigUpdateTimestamp(Error* error) {
  std::optional<std::vector<TLMSqliteRecord>> rows =
      sqliteStore_->recordsForQuery(kConfigTimestampQuery, {}, error);
  if (!rows || rows->empty()) return std::nullopt;
  auto timestamp = rows->front().find(kColumnRemoteConfigTimestamp);
  if (timestamp == rows->front().end()) return std::nullopt;
  return tlm_databaseFiniteDouble(&timestamp->second);
}
