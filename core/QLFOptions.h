// The platform core's options: the measurement app ID and the two
// analytics collection switches, read from the app bundle.
//
// The default options come from the bundle's "TarvixService-Info.plist"
// (the app ID under "TARVIX_APP_ID") and from the app's Info.plist (the
// collection switches, numbers under "TARVIX_ANALYTICS_COLLECTION_ENABLED"
// and "TARVIX_ANALYTICS_COLLECTION_DEACTIVATED"). A value type; safe to
// copy between threads. Reading the defaults needs the installed Platform.
#pragma once

#include <optional>
#include <string>

#include "ferrolux/Object.h"

inline constexpr char kQLFOptionsAppIDKey[] = "TARVIX_APP_ID";
inline constexpr char kQLFOptionsCollectionEnabledKey[] = "TARVIX_ANALYTICS_COLLECTION_ENABLED";
inline constexpr char kQLFOptionsCollectionDeactivatedKey[] =
    "TARVIX_ANALYTICS_COLLECTION_DEACTIVATED";

class QLFOptions {
 public:
  explicit QLFOptions(std::string tarvixAppID) : tarvixAppID_(std::move(tarvixAppID)) {}

  // The options of the bundle; none when "TarvixService-Info.plist" is
  // missing, unreadable or has no non-empty string app ID.
  static std::optional<QLFOptions> defaultOptions();
  // The dictionary read from "TarvixService-Info.plist"; none when there
  // is no readable dictionary.
  static OptionalObject defaultOptionsDictionary();

  const std::string& tarvixAppID() const { return tarvixAppID_; }
  // On unless switched off.
  bool isAnalyticsCollectionEnabled() const { return analyticsCollectionEnabled_; }
  void setAnalyticsCollectionEnabled(bool enabled) { analyticsCollectionEnabled_ = enabled; }
  // Off unless switched on; when on, collection can never be enabled.
  bool isAnalyticsCollectionDeactivated() const { return analyticsCollectionDeactivated_; }
  void setAnalyticsCollectionDeactivated(bool deactivated) {
    analyticsCollectionDeactivated_ = deactivated;
  }

 private:
  std::string tarvixAppID_;
  bool analyticsCollectionEnabled_ = true;
  bool analyticsCollectionDeactivated_ = false;
};
