// A stored event as read back from the database, with its row and the
// fingerprint of the metadata row it was stored with.
//
// Used on the worker queue only.
#pragma once

#include <cstdint>
#include <memory>

#include "engine/TLMEvent.h"

class TLMRawEventData;
using TLMRawEventDataPtr = std::shared_ptr<TLMRawEventData>;

class TLMRawEventData {
 public:
  // Nil, with a monitor report, for a nil event (code 28000) or a negative
  // row ID (code 28001).
  static TLMRawEventDataPtr initWithRawEvent(TLMEventPtr rawEvent, std::int64_t rowID,
                                             std::int64_t metadataFingerprint);

  const TLMEventPtr& rawEvent() const { return rawEvent_; }
  std::int64_t rowID() const { return rowID_; }
  std::int64_t metadataFingerprint() const { return metadataFingerprint_; }

  // Use initWithRawEvent; public only for std::make_shared.
  struct Token {
    explicit Token() = default;
  };
  TLMRawEventData(Token, TLMEventPtr rawEvent, std::int64_t rowID,
                  std::int64_t metadataFingerprint);

 private:
  TLMEventPtr rawEvent_;
  std::int64_t rowID_;
  std::int64_t metadataFingerprint_;
};
