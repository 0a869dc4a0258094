#include "tools/service/BatchDecoding.h"

#include <openssl/evp.h>

#include "common/DataHelpers.h"
#include "tools/service/ServiceText.h"
#include "upload/TLMPBUploadMessages.h"

namespace {

std::optional<std::string> optionalString(const char* text) {
  if (text == nullptr) return std::nullopt;
  return serviceValidUTF8(text);
}

template <typename T>
std::optional<std::int64_t> optionalNumber(const T* value) {
  if (value == nullptr) return std::nullopt;
  return static_cast<std::int64_t>(*value);
}

nlohmann::json paramsObject(const tlmpb_EventParam* params, pb_size_t count);

// A parameter's value: its one value field, or for an array value the list
// of its items, each an object of the item's parameters. The codec bounds
// the nesting, so the recursion is bounded too.
nlohmann::json paramValue(const tlmpb_EventParam& param) {
  if (param.string_value != nullptr) return serviceValidUTF8(param.string_value);
  if (param.int_value != nullptr) return *param.int_value;
  if (param.double_value != nullptr) return *param.double_value;
  if (param.param_value_count > 0) {
    nlohmann::json items = nlohmann::json::array();
    for (pb_size_t index = 0; index < param.param_value_count; ++index) {
      const tlmpb_EventParam& item = param.param_value[index];
      items.push_back(paramsObject(item.param_value, item.param_value_count));
    }
    return items;
  }
  return nullptr;
}

nlohmann::json paramsObject(const tlmpb_EventParam* params, pb_size_t count) {
  nlohmann::json object = nlohmann::json::object();
  for (pb_size_t index = 0; index < count; ++index) {
    const tlmpb_EventParam& param = params[index];
    object[serviceValidUTF8(param.name != nullptr ? param.name : "")] = paramValue(param);
  }
  return object;
}

nlohmann::json attributeValue(const tlmpb_UserAttribute& attribute) {
  if (attribute.string_value != nullptr) return serviceValidUTF8(attribute.string_value);
  if (attribute.int_value != nullptr) return *attribute.int_value;
  if (attribute.double_value != nullptr) return *attribute.double_value;
  return nullptr;
}

std::string sha256Hex(const Bytes& data) {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  if (EVP_Digest(data.data(), data.size(), digest, &length, EVP_sha256(), nullptr) != 1) {
    return "";
  }
  return tlm_hexString(Bytes(digest, digest + length));
}

std::string identityKey(TLMPBMeasurementBundle bundle) {
  bundle.clear_upload_timestamp_millis();
  bundle.clear_uploading_library_version();
  bundle.clear_bundle_checksum();
  bundle.clear_retry_count();
  const std::optional<Bytes> stripped = bundle.protoBuffer();
  return stripped ? sha256Hex(*stripped) : "";
}

std::optional<DecodedBundle> decodeBundle(const tlmpb_MeasurementBundle& raw, std::string* reason) {
  const TLMPBMeasurementBundle bundle = TLMPBMeasurementBundle::copyOfMessage(raw);
  std::optional<Bytes> bytes = bundle.protoBuffer();
  if (!bytes) {
    *reason = "a bundle cannot be encoded again";
    return std::nullopt;
  }
  DecodedBundle decoded;
  decoded.identityKey = identityKey(bundle);
  if (decoded.identityKey.empty()) {
    *reason = "the identity of a bundle cannot be computed";
    return std::nullopt;
  }
  decoded.bytes = std::move(*bytes);
  decoded.appID = optionalString(raw.app_id);
  decoded.appInstanceID = optionalString(raw.app_instance_id);
  decoded.bundleIndex = optionalNumber(raw.bundle_index);
  decoded.startTimestampMillis = optionalNumber(raw.start_timestamp_millis);
  decoded.endTimestampMillis = optionalNumber(raw.end_timestamp_millis);
  for (pb_size_t index = 0; index < raw.events_count; ++index) {
    const tlmpb_Event& event = raw.events[index];
    decoded.events.push_back({optionalString(event.name).value_or(""),
                              optionalNumber(event.timestamp_millis),
                              paramsObject(event.params, event.params_count)});
  }
  for (pb_size_t index = 0; index < raw.user_attributes_count; ++index) {
    const tlmpb_UserAttribute& attribute = raw.user_attributes[index];
    decoded.userAttributes.push_back({optionalString(attribute.name).value_or(""),
                                      attributeValue(attribute),
                                      optionalNumber(attribute.set_timestamp_millis)});
  }
  return decoded;
}

}  // namespace

std::optional<std::vector<DecodedBundle>> decodeMeasurementBatch(const std::string& body,
                                                                 std::string* reason) {
  Error error;
  const std::optional<TLMPBMeasurementBatch> batch = TLMPBMeasurementBatch::initWithBuffer(
      reinterpret_cast<const std::uint8_t*>(body.data()), body.size(), &error);
  if (!batch) {
    *reason = "not a measurement batch: " + error.description.value_or("cannot be decoded");
    return std::nullopt;
  }
  const tlmpb_MeasurementBatch& raw = batch->rawMessage();
  std::vector<DecodedBundle> bundles;
  bundles.reserve(raw.bundles_count);
  for (pb_size_t index = 0; index < raw.bundles_count; ++index) {
    std::optional<DecodedBundle> bundle = decodeBundle(raw.bundles[index], reason);
    if (!bundle) return std::nullopt;
    bundles.push_back(std::move(*bundle));
  }
  return bundles;
}
