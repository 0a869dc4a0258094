#include "audience/TLMFilterResult.h"

#include <utility>

TLMFilterResult::TLMFilterResult(std::int32_t audienceID, Bytes currentResults,
                                 Bytes previousResults)
    : audienceID_(audienceID),
      currentResults_(std::move(currentResults)),
      previousResults_(std::move(previousResults)) {}

TLMFilterResultPtr TLMFilterResult::initWithAudienceID(std::int32_t audienceID,
                                                       Bytes currentResults,
                                                       Bytes previousResults) {
  return std::make_shared<const TLMFilterResult>(audienceID, std::move(currentResults),
                                                 std::move(previousResults));
}

std::string TLMFilterResult::description() const {
  return "TLMFilterResult(audienceID: " + std::to_string(audienceID_) +
         ", currentResults: " + std::to_string(currentResults_.size()) +
         " bytes, previousResults: " + std::to_string(previousResults_.size()) + " bytes)";
}
