// The advertising identifier manager and the tracking authorisation: the
// platform's advertising facilities, which the library looks up by class
// name ("ASIdentifierManager", "ATTrackingManager") so that an app need not
// have them. The host platform has no counterpart, so these are the layer
// itself, with setters that let the host or a test make them answer
// anything the library handles. Thread-safe.
#pragma once

#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

class DispatchQueue;

// Class names and selectors the library looks the facilities up by.
inline constexpr char kAdvertisingIdentifierManagerClassName[] = "ASIdentifierManager";
inline constexpr char kAdvertisingIdentifierManagerSharedManagerSelector[] = "sharedManager";
inline constexpr char kAdvertisingIdentifierSelector[] = "advertisingIdentifier";
inline constexpr char kAdvertisingTrackingEnabledSelector[] = "isAdvertisingTrackingEnabled";
inline constexpr char kTrackingManagerClassName[] = "ATTrackingManager";
inline constexpr char kTrackingAuthorizationStatusSelector[] = "trackingAuthorizationStatus";
inline constexpr char kRequestTrackingAuthorizationSelector[] =
    "requestTrackingAuthorizationWithCompletionHandler:";

// What the identifier reads while tracking is limited.
inline constexpr char kAllZeroAdvertisingIdentifier[] = "00000000-0000-0000-0000-000000000000";

// The platform's raw values. A status read from the platform may also be a
// value outside these (the library maps unknown values itself).
enum class TrackingAuthorizationStatus : int {
  NotDetermined = 0,
  Restricted = 1,
  Denied = 2,
  Authorized = 3,
};

class TrackingAuthorization {
 public:
  using Completion = std::function<void(TrackingAuthorizationStatus status)>;

  // Completions run on `completionQueue` (the platform answers on a queue
  // of its own, never the caller's).
  explicit TrackingAuthorization(std::shared_ptr<DispatchQueue> completionQueue);

  TrackingAuthorizationStatus trackingAuthorizationStatus() const;
  // While the status is not determined the user is asked: the completion
  // gets the answer once there is one (see setUserAnswer), and the answer
  // becomes the status. Otherwise the completion gets the status at once.
  void requestTrackingAuthorizationWithCompletionHandler(Completion completion);

  // --- Host/test -------------------------------------------------------------
  void setTrackingAuthorizationStatus(TrackingAuthorizationStatus status);
  // The answer the user gives when asked; nothing keeps requests waiting
  // until answerPendingRequests.
  void setUserAnswer(std::optional<TrackingAuthorizationStatus> answer);
  // The user answers the requests that are waiting: the answer becomes the
  // status and each waiting completion gets it, in request order. Returns
  // the number answered.
  int answerPendingRequests(TrackingAuthorizationStatus answer);
  int requestCount() const;
  int pendingRequestCount() const;

 private:
  const std::shared_ptr<DispatchQueue> completionQueue_;
  mutable std::mutex mutex_;
  TrackingAuthorizationStatus status_ = TrackingAuthorizationStatus::NotDetermined;
  std::optional<TrackingAuthorizationStatus> userAnswer_;
  std::vector<Completion> pending_;
  int requestCount_ = 0;
};

class AdvertisingIdentifierManager {
 public:
  // With a tracking authorisation (which must outlive the manager),
  // tracking counts as enabled only while it is authorised, as on systems
  // that have it; without one, the switch alone decides.
  explicit AdvertisingIdentifierManager(
      const TrackingAuthorization* trackingAuthorization = nullptr);

  // The identifier (an upper-case UUID string); the all-zero identifier
  // while tracking is limited; nothing when the platform cannot give one.
  std::optional<std::string> advertisingIdentifier() const;
  bool isAdvertisingTrackingEnabled() const;

  // --- Host/test -------------------------------------------------------------
  void setAdvertisingIdentifier(std::optional<std::string> identifier);
  void setAdvertisingTrackingEnabled(bool enabled);

 private:
  const TrackingAuthorization* const trackingAuthorization_;
  mutable std::mutex mutex_;
  // None until the host gives one: this platform has no identifier of its own.
  std::optional<std::string> identifier_;
  bool trackingEnabled_ = true;
};
