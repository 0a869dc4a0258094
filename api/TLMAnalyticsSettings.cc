// The facade's settings domain and its reset and start bookkeeping keys.
#include <memory>

#include "api/TLMAnalytics.h"
#include "common/SharedInstance.h"
#include "config/TLMSettingsKeys.h"
#include "config/TLMUserDefaults.h"

std::shared_ptr<TLMUserDefaults> TLMAnalytics::settings() {
  static SharedInstance<TLMUserDefaults> instance;
  return instance.get([] { return std::make_shared<TLMUserDefaults>(kTLMAnalyticsSuiteName); });
}

long TLMAnalytics::resetRetryCount() {
  return static_cast<long>(settings()->integerForKey(kTLMResetRetryCountKey));
}

void TLMAnalytics::setResetRetryCount(long count) {
  if (count < 1) {
    settings()->removeObjectForKey(kTLMResetRetryCountKey);
  } else {
    settings()->setInteger(count, kTLMResetRetryCountKey);
  }
}

bool TLMAnalytics::needFirstOpenAfterReset() {
  return settings()->boolForKey(kTLMNeedFirstOpenAfterResetKey);
}

void TLMAnalytics::setNeedFirstOpenAfterReset(bool value) {
  settings()->setBool(value, kTLMNeedFirstOpenAfterResetKey);
}

void TLMAnalytics::removeNeedFirstOpenAfterReset() {
  settings()->removeObjectForKey(kTLMNeedFirstOpenAfterResetKey);
}

std::optional<std::string> TLMAnalytics::appInstanceIDAfterReset() {
  const OptionalObject value = settings()->stringForKey(kTLMAppInstanceIDAfterResetKey);
  if (!value || value->asString() == nullptr) return std::nullopt;
  return *value->asString();
}

void TLMAnalytics::setAppInstanceIDAfterReset(const std::optional<std::string>& appInstanceID) {
  if (!appInstanceID) {
    settings()->removeObjectForKey(kTLMAppInstanceIDAfterResetKey);
  } else {
    settings()->setObject(Object(*appInstanceID), kTLMAppInstanceIDAfterResetKey);
  }
}

OptionalObject TLMAnalytics::deferredAnalyticsCollection() {
  return settings()->objectForKey(kTLMDeferredAnalyticsCollectionKey);
}

void TLMAnalytics::setDeferredAnalyticsCollection(const OptionalObject& value) {
  settings()->setObject(value, kTLMDeferredAnalyticsCollectionKey);
}
