// The stored evaluation state of one audience: its current and previous
// results, each a serialized TLMPBResultData that the audience code owns.
// Empty bytes mean "no results"; empty previous results are stored as
// NULL.
//
// Immutable once made; safe to share between threads.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "ferrolux/Object.h"

class TLMFilterResult;
using TLMFilterResultPtr = std::shared_ptr<const TLMFilterResult>;

class TLMFilterResult {
 public:
  static TLMFilterResultPtr initWithAudienceID(std::int32_t audienceID, Bytes currentResults,
                                               Bytes previousResults);

  TLMFilterResult(std::int32_t audienceID, Bytes currentResults, Bytes previousResults);

  std::int32_t audienceID() const { return audienceID_; }
  const Bytes& currentResults() const { return currentResults_; }
  const Bytes& previousResults() const { return previousResults_; }

  std::string description() const;

  friend bool operator==(const TLMFilterResult& a, const TLMFilterResult& b) = default;

 private:
  std::int32_t audienceID_;
  Bytes currentResults_;
  Bytes previousResults_;
};
