#include "platform/AdvertisingIdentifier.h"

#include <utility>

#include "platform/DispatchQueue.h"

// --- Tracking authorisation -----------------------------------------------------------

TrackingAuthorization::TrackingAuthorization(std::shared_ptr<DispatchQueue> completionQueue)
    : completionQueue_(std::move(completionQueue)) {}

TrackingAuthorizationStatus TrackingAuthorization::trackingAuthorizationStatus() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return status_;
}

void TrackingAuthorization::requestTrackingAuthorizationWithCompletionHandler(
    Completion completion) {
  TrackingAuthorizationStatus answer;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    ++requestCount_;
    if (status_ == TrackingAuthorizationStatus::NotDetermined) {
      if (!userAnswer_) {
        pending_.push_back(std::move(completion));
        return;
      }
      status_ = *userAnswer_;
    }
    answer = status_;
  }
  if (completion) completionQueue_->async([completion, answer] { completion(answer); });
}

void TrackingAuthorization::setTrackingAuthorizationStatus(TrackingAuthorizationStatus status) {
  std::lock_guard<std::mutex> lock(mutex_);
  status_ = status;
}

void TrackingAuthorization::setUserAnswer(std::optional<TrackingAuthorizationStatus> answer) {
  std::lock_guard<std::mutex> lock(mutex_);
  userAnswer_ = answer;
}

int TrackingAuthorization::answerPendingRequests(TrackingAuthorizationStatus answer) {
  std::vector<Completion> waiting;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    waiting.swap(pending_);
    if (!waiting.empty()) status_ = answer;
  }
  for (auto& completion : waiting) {
    if (completion) {
      completionQueue_->async([completion = std::move(completion), answer] { completion(answer); });
    }
  }
  return static_cast<int>(waiting.size());
}

int TrackingAuthorization::requestCount() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return requestCount_;
}

int TrackingAuthorization::pendingRequestCount() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return static_cast<int>(pending_.size());
}

// --- Advertising identifier -------------------------------------------------------------

AdvertisingIdentifierManager::AdvertisingIdentifierManager(
    const TrackingAuthorization* trackingAuthorization)
    : trackingAuthorization_(trackingAuthorization) {}

bool AdvertisingIdentifierManager::isAdvertisingTrackingEnabled() const {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!trackingEnabled_) return false;
  }
  return trackingAuthorization_ == nullptr ||
         trackingAuthorization_->trackingAuthorizationStatus() ==
             TrackingAuthorizationStatus::Authorized;
}

std::optional<std::string> AdvertisingIdentifierManager::advertisingIdentifier() const {
  std::optional<std::string> identifier;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    identifier = identifier_;
  }
  if (!identifier) return std::nullopt;
  if (!isAdvertisingTrackingEnabled()) return std::string(kAllZeroAdvertisingIdentifier);
  return identifier;
}

void AdvertisingIdentifierManager::setAdvertisingIdentifier(std::optional<std::string> identifier) {
  std::lock_guard<std::mutex> lock(mutex_);
  identifier_ = std::move(identifier);
}

void AdvertisingIdentifierManager::setAdvertisingTrackingEnabled(bool enabled) {
  std::lock_guard<std::mutex> lock(mutex_);
  trackingEnabled_ = enabled;
}
