// One stored user-property filter of an audience: which audience and filter it
// is, the property name it looks at, the serialized TLMPBPropertyFilter it was
// made from, and the flags read from that message.
//
// Immutable once made; safe to share between threads.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "ferrolux/Object.h"

class TLMPropertyFilter;
using TLMPropertyFilterPtr = std::shared_ptr<const TLMPropertyFilter>;

class TLMPropertyFilter {
 public:
  static TLMPropertyFilterPtr initWithAudienceID(std::int32_t audienceID, std::int32_t filterID,
                                                 std::string propertyName, Bytes data,
                                                 bool sessionScoped, bool dynamic, bool sequence);

  TLMPropertyFilter(std::int32_t audienceID, std::int32_t filterID, std::string propertyName,
                    Bytes data, bool sessionScoped, bool dynamic, bool sequence);

  bool sessionScoped() const { return sessionScoped_; }
  bool dynamic() const { return dynamic_; }
  bool sequence() const { return sequence_; }
  std::int32_t audienceID() const { return audienceID_; }
  std::int32_t filterID() const { return filterID_; }
  const std::string& propertyName() const { return propertyName_; }
  // The serialized TLMPBPropertyFilter.
  const Bytes& data() const { return data_; }

  std::string description() const;

  friend bool operator==(const TLMPropertyFilter& a, const TLMPropertyFilter& b) = default;

 private:
  bool sessionScoped_;
  bool dynamic_;
  bool sequence_;
  std::int32_t audienceID_;
  std::int32_t filterID_;
  std::string propertyName_;
  Bytes data_;
};
