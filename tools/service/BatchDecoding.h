// Turns a posted measurement batch into what the store keeps: each bundle's
// bytes, its identity key and the fields the pages show, with events and
// user properties as JSON. Nothing posted is trusted: the codec's limits
// bound the decoding, and every string is made valid UTF-8.
//
// Pure functions, safe from any thread.
#pragma once

#include <cstdint>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

#include "ferrolux/Object.h"

struct DecodedEvent {
  std::string name;
  std::optional<std::int64_t> timestampMillis;
  nlohmann::json params;  // an object: parameter name → value
};

struct DecodedUserAttribute {
  std::string name;
  nlohmann::json value;  // string, number or null
  std::optional<std::int64_t> setTimestampMillis;
};

struct DecodedBundle {
  Bytes bytes;  // the bundle's serialization
  // The identity of the bundle across upload attempts: the lower-case
  // hexadecimal SHA-256 of its serialization with the fields an attempt
  // changes (upload time, uploading library version, checksum, retry count)
  // cleared.
  std::string identityKey;
  std::optional<std::string> appID;
  std::optional<std::string> appInstanceID;
  std::optional<std::int64_t> bundleIndex;
  std::optional<std::int64_t> startTimestampMillis;
  std::optional<std::int64_t> endTimestampMillis;
  std::vector<DecodedEvent> events;
  std::vector<DecodedUserAttribute> userAttributes;
};

// Decodes a serialized measurement batch. Returns nothing and fills
// `reason` when the bytes are not one (malformed, or beyond the codec's
// limits). An empty body is an empty batch.
[[nodiscard]] std::optional<std::vector<DecodedBundle>> decodeMeasurementBatch(
    const std::string& body, std::string* reason);
