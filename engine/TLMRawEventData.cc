#include "engine/TLMRawEventData.h"

#include <utility>

#include "engine/TLMMeasurement.h"
#include "upload/TLMMonitor.h"

TLMRawEventData::TLMRawEventData(Token, TLMEventPtr rawEvent, std::int64_t rowID,
                                 std::int64_t metadataFingerprint)
    : rawEvent_(std::move(rawEvent)), rowID_(rowID), metadataFingerprint_(metadataFingerprint) {}

TLMRawEventDataPtr TLMRawEventData::initWithRawEvent(TLMEventPtr rawEvent, std::int64_t rowID,
                                                     std::int64_t metadataFingerprint) {
  if (rawEvent == nullptr) {
    TLMMeasurement::monitor().logWithLevel(
        4, 28000, "Failed to create raw event data. Received invalid raw event.");
    return nullptr;
  }
  if (rowID < 0) {
    TLMMeasurement::monitor().logWithLevel(
        4, 28001, "Failed to create raw event data. Received invalid row ID. Row ID",
        Object::integer(rowID));
    return nullptr;
  }
  return std::make_shared<TLMRawEventData>(Token(), std::move(rawEvent), rowID,
                                           metadataFingerprint);
}
