// One stored event filter of an audience: which audience and filter it
// is, the event name it listens to, the serialized TLMPBEventFilter it was
// made from, and the flags read from that message.
//
// Immutable once made; safe to share between threads.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "ferrolux/Object.h"

class TLMEventFilter;
using TLMEventFilterPtr = std::shared_ptr<const TLMEventFilter>;

class TLMEventFilter {
 public:
  static TLMEventFilterPtr initWithAudienceID(std::int32_t audienceID, std::int32_t filterID,
                                              std::string eventName, Bytes data, bool sessionScoped,
                                              bool dynamic, bool sequence);

  TLMEventFilter(std::int32_t audienceID, std::int32_t filterID, std::string eventName, Bytes data,
                 bool sessionScoped, bool dynamic, bool sequence);

  bool sessionScoped() const { return sessionScoped_; }
  bool dynamic() const { return dynamic_; }
  bool sequence() const { return sequence_; }
  std::int32_t audienceID() const { return audienceID_; }
  std::int32_t filterID() const { return filterID_; }
  const std::string& eventName() const { return eventName_; }
  // The serialized TLMPBEventFilter.
  const Bytes& data() const { return data_; }

  std::string description() const;

  friend bool operator==(const TLMEventFilter& a, const TLMEventFilter& b) = default;

 private:
  bool sessionScoped_;
  bool dynamic_;
  bool sequence_;
  std::int32_t audienceID_;
  std::int32_t filterID_;
  std::string eventName_;
  Bytes data_;
};
