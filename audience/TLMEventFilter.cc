#include "audience/TLMEventFilter.h"

#include <utility>

TLMEventFilter::TLMEventFilter(std::int32_t audienceID, std::int32_t filterID,
                               std::string eventName, Bytes data, bool sessionScoped, bool dynamic,
                               bool sequence)
    : sessionScoped_(sessionScoped),
      dynamic_(dynamic),
      sequence_(sequence),
      audienceID_(audienceID),
      filterID_(filterID),
      eventName_(std::move(eventName)),
      data_(std::move(data)) {}

TLMEventFilterPtr TLMEventFilter::initWithAudienceID(std::int32_t audienceID, std::int32_t filterID,
                                                     std::string eventName, Bytes data,
                                                     bool sessionScoped, bool dynamic,
                                                     bool sequence) {
  return std::make_shared<const TLMEventFilter>(audienceID, filterID, std::move(eventName),
                                                std::move(data), sessionScoped, dynamic, sequence);
}

std::string TLMEventFilter::description() const {
  return "TLMEventFilter(audienceID: " + std::to_string(audienceID_) +
         ", filterID: " + std::to_string(filterID_) + ", eventName: " + eventName_ +
         ", data: " + std::to_string(data_.size()) + " bytes" +
         ", sessionScoped: " + (sessionScoped_ ? "YES" : "NO") +
         ", dynamic: " + (dynamic_ ? "YES" : "NO") + ", sequence: " + (sequence_ ? "YES" : "NO") +
         ")";
}
