#include "platform/SearchAdsClient.h"

#include <utility>

#include "platform/DispatchQueue.h"

SearchAdsClient::SearchAdsClient(std::shared_ptr<DispatchQueue> callbackQueue)
    : callbackQueue_(std::move(callbackQueue)),
      error_(error(SearchAdsClientErrorCode::MissingData, "No attribution data")) {}

void SearchAdsClient::requestAttributionDetailsWithBlock(Completion completion) {
  std::optional<Object> details;
  std::optional<Error> failure;
  double delay;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    ++requestCount_;
    details = details_;
    failure = error_;
    delay = delaySeconds_;
  }
  if (!completion) return;
  auto answer = [completion = std::move(completion), details = std::move(details),
                 failure = std::move(failure)] { completion(details, failure); };
  if (delay > 0) {
    (void)callbackQueue_->asyncAfter(delay, std::move(answer));
  } else {
    callbackQueue_->async(std::move(answer));
  }
}

void SearchAdsClient::setAnswer(std::optional<Object> attributionDetails,
                                std::optional<Error> error, double delaySeconds) {
  std::lock_guard<std::mutex> lock(mutex_);
  details_ = std::move(attributionDetails);
  error_ = std::move(error);
  delaySeconds_ = delaySeconds < 0 ? 0 : delaySeconds;
}

int SearchAdsClient::requestCount() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return requestCount_;
}

Object SearchAdsClient::attributionDetails(bool attributed, const std::string& campaignName,
                                           const std::string& keyword,
                                           const std::string& campaignID) {
  ObjectDictionary inner;
  inner.emplace(Object(kSearchAdsAttributionKey), Object::boolean(attributed));
  inner.emplace(Object(kSearchAdsCampaignNameKey), Object(campaignName));
  inner.emplace(Object(kSearchAdsKeywordKey), Object(keyword));
  inner.emplace(Object(kSearchAdsCampaignIDKey), Object(campaignID));
  return Object::dictionary(
      {{Object(kSearchAdsDetailsVersionKey), Object::dictionary(std::move(inner))}});
}

Object SearchAdsClient::testAttributionDetails() {
  return attributionDetails(true, "CampaignName", "Keyword", "1234567890");
}

Error SearchAdsClient::error(SearchAdsClientErrorCode code, std::string description) {
  Error e;
  e.domain = kSearchAdsClientErrorDomain;
  e.code = static_cast<long>(code);
  if (!description.empty()) e.description = std::move(description);
  return e;
}
