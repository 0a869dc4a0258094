// The search-ads attribution client: asked once in a while whether the app
// was installed from a search advertisement. The host platform has no such
// service, so this is the layer itself: the answer (attribution details, an
// error, or neither) is set by the host or a test, with an optional delay,
// and the completion runs on the client's own queue, never the caller's.
// Thread-safe.
#pragma once

#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "ferrolux/Object.h"

class DispatchQueue;

// The class name and selectors the library looks the client up by.
inline constexpr char kSearchAdsClientClassName[] = "ADClient";
inline constexpr char kSearchAdsClientSharedClientSelector[] = "sharedClient";
inline constexpr char kRequestAttributionDetailsSelector[] = "requestAttributionDetailsWithBlock:";

// Errors of the client, in its error domain.
inline constexpr char kSearchAdsClientErrorDomain[] = "ADClientErrorDomain";
enum class SearchAdsClientErrorCode : long {
  Unknown = 0,
  TrackingRestrictedOrDenied = 1,
  MissingData = 2,
  CorruptResponse = 3,
  RequestClientError = 4,
  RequestServerError = 5,
  RequestNetworkError = 6,
  UnsupportedPlatform = 7,
};

// Keys of the details: the outer dictionary is keyed by a version string;
// its value holds these.
inline constexpr char kSearchAdsDetailsVersionKey[] = "Version3.1";
inline constexpr char kSearchAdsAttributionKey[] = "iad-attribution";
inline constexpr char kSearchAdsCampaignNameKey[] = "iad-campaign-name";
inline constexpr char kSearchAdsKeywordKey[] = "iad-keyword";
inline constexpr char kSearchAdsCampaignIDKey[] = "iad-campaign-id";

class SearchAdsClient {
 public:
  // Details (a dictionary) or nothing, and an error or nothing.
  using Completion =
      std::function<void(std::optional<Object> attributionDetails, std::optional<Error> error)>;

  explicit SearchAdsClient(std::shared_ptr<DispatchQueue> callbackQueue);

  // Asks for the details; the completion runs once, on the client's queue,
  // after the configured delay.
  void requestAttributionDetailsWithBlock(Completion completion);

  // --- Host/test -------------------------------------------------------------
  // The answer of later requests, given after `delaySeconds` of uptime. The
  // default answer is an error "MissingData" (no attribution on this platform).
  void setAnswer(std::optional<Object> attributionDetails, std::optional<Error> error,
                 double delaySeconds = 0);
  int requestCount() const;

  // Details as the platform gives them, under kSearchAdsDetailsVersionKey.
  static Object attributionDetails(bool attributed, const std::string& campaignName,
                                   const std::string& keyword, const std::string& campaignID);
  // The platform's test data: campaign ID "1234567890", name "CampaignName".
  static Object testAttributionDetails();
  static Error error(SearchAdsClientErrorCode code, std::string description = "");

 private:
  const std::shared_ptr<DispatchQueue> callbackQueue_;
  mutable std::mutex mutex_;
  std::optional<Object> details_;
  std::optional<Error> error_;
  double delaySeconds_ = 0;
  int requestCount_ = 0;
};
