#include "audience/TLMPropertyFilter.h"

#include <utility>

TLMPropertyFilter::TLMPropertyFilter(std::int32_t audienceID, std::int32_t filterID,
                                     std::string propertyName, Bytes data, bool sessionScoped,
                                     bool dynamic, bool sequence)
    : sessionScoped_(sessionScoped),
      dynamic_(dynamic),
      sequence_(sequence),
      audienceID_(audienceID),
      filterID_(filterID),
      propertyName_(std::move(propertyName)),
      data_(std::move(data)) {}

TLMPropertyFilterPtr TLMPropertyFilter::initWithAudienceID(std::int32_t audienceID,
                                                           std::int32_t filterID,
                                                           std::string propertyName, Bytes data,
                                                           bool sessionScoped, bool dynamic,
                                                           bool sequence) {
  return std::make_shared<const TLMPropertyFilter>(audienceID, filterID, std::move(propertyName),
                                                   std::move(data), sessionScoped, dynamic,
                                                   sequence);
}

std::string TLMPropertyFilter::description() const {
  return "TLMPropertyFilter(audienceID: " + std::to_string(audienceID_) +
         ", filterID: " + std::to_string(filterID_) + ", propertyName: " + propertyName_ +
         ", data: " + std::to_string(data_.size()) + " bytes" +
         ", sessionScoped: " + (sessionScoped_ ? "YES" : "NO") +
         ", dynamic: " + (dynamic_ ? "YES" : "NO") + ", sequence: " + (sequence_ ? "YES" : "NO") +
         ")";
}
