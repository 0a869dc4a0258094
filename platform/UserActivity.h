// A user activity handed to the app (a universal link opened from the web
// is a browsing activity with a web page URL). Immutable; travels as a
// library object inside launch options ("UIApplicationLaunchOptionsUserActivityKey").
// Safe to share between threads.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <utility>

#include "ferrolux/Object.h"

// The class name the library looks the activity type up by.
inline constexpr char kUserActivityClassName[] = "NSUserActivity";
inline constexpr char kUserActivityWebpageURLSelector[] = "webpageURL";
inline constexpr char kUserActivityActivityTypeSelector[] = "activityType";
// The activity type of a web page opened in the app (a universal link).
inline constexpr char NSUserActivityTypeBrowsingWeb[] = "NSUserActivityTypeBrowsingWeb";

class UserActivity final : public LibraryObject {
 public:
  explicit UserActivity(std::string activityType,
                        std::optional<std::string> webpageURL = std::nullopt)
      : activityType_(std::move(activityType)), webpageURL_(std::move(webpageURL)) {}

  const std::string& activityType() const { return activityType_; }
  // The absolute string of the web page URL; nothing when there is none.
  const std::optional<std::string>& webpageURL() const { return webpageURL_; }

  std::string className() const override { return kUserActivityClassName; }
  std::string description() const override {
    return "<NSUserActivity type=" + activityType_ +
           " webpageURL=" + webpageURL_.value_or("(null)") + ">";
  }

  // The activity as a value, for launch options and diagnostics contexts.
  static Object toObject(std::shared_ptr<const UserActivity> activity) {
    return Object::library(std::move(activity));
  }
  // The activity a value holds; null when it holds something else.
  static std::shared_ptr<const UserActivity> fromObject(const Object& object) {
    return std::dynamic_pointer_cast<const UserActivity>(object.sharedLibrary());
  }

 private:
  const std::string activityType_;
  const std::optional<std::string> webpageURL_;
};
