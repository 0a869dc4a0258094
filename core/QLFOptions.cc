#include "core/QLFOptions.h"

#include "config/TLMInfoPlistFileUtil.h"
#include "platform/Bundle.h"
#include "platform/Platform.h"

namespace {

// A number under `key` in the app's Info.plist, as a boolean.
std::optional<bool> infoPlistBoolean(const char* key) {
  const OptionalObject value = Platform::current().bundle().objectForInfoDictionaryKey(key);
  if (!value || !value->isNumber()) return std::nullopt;
  return value->boolValue();
}

}  // namespace

OptionalObject QLFOptions::defaultOptionsDictionary() {
  return TLMInfoPlistFileUtil::dictionaryFromTarvixServiceInfoPlist();
}

std::optional<QLFOptions> QLFOptions::defaultOptions() {
  const OptionalObject dictionary = defaultOptionsDictionary();
  if (!dictionary) return std::nullopt;
  const Object* appID = dictionary->objectForKey(kQLFOptionsAppIDKey);
  if (appID == nullptr || appID->asString() == nullptr || appID->asString()->empty()) {
    return std::nullopt;
  }
  QLFOptions options(*appID->asString());
  if (std::optional<bool> enabled = infoPlistBoolean(kQLFOptionsCollectionEnabledKey)) {
    options.setAnalyticsCollectionEnabled(*enabled);
  }
  if (std::optional<bool> deactivated = infoPlistBoolean(kQLFOptionsCollectionDeactivatedKey)) {
    options.setAnalyticsCollectionDeactivated(*deactivated);
  }
  return options;
}
