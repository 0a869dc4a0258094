// Queries of the user properties and of the user-property limit. Answers
// are delivered on the queue the caller names, never on the serial queue.
#include <memory>
#include <utility>

#include "api/TLMAnalytics.h"
#include "engine/TLMMeasurement.h"
#include "platform/Dispatch.h"
#include "platform/DispatchQueue.h"
#include "platform/Platform.h"
#include "upload/TLMMonitor.h"

namespace {

std::shared_ptr<TLMMeasurement> engineIfCreated() {
  if (!TLMMeasurement::hasSharedInstance()) return nullptr;
  return TLMMeasurement::sharedInstance();
}

void deliverProperties(const std::shared_ptr<DispatchQueue>& queue,
                       QLFUserPropertiesCallback callback, ObjectDictionary properties) {
  queue->async([callback = std::move(callback), properties = std::move(properties)] {
    callback(properties);
  });
}

}  // namespace

void TLMAnalytics::userPropertiesIncludingInternal(bool includingInternal,
                                                   std::shared_ptr<DispatchQueue> queue,
                                                   QLFUserPropertiesCallback callback) {
  if (!isOSSupported()) return;
  queueOperationWithBlock(
      [includingInternal, queue = std::move(queue), callback = std::move(callback)]() mutable {
        TLMMonitor& monitor = TLMMeasurement::monitor();
        if (!callback) {
          monitor.logWithLevel(2, 25006, "Analytics userProperties callback cannot be nil");
          return;
        }
        if (queue == nullptr) {
          monitor.logWithLevel(2, 25007,
                               "Cannot query for Analytics user properties. Queue cannot be nil");
          deliverProperties(Platform::current().dispatch().mainQueue(), std::move(callback), {});
          return;
        }
        if (!isEnabled()) {
          monitor.logWithLevel(
              5, 25008, "Cannot query for public user properties when Analytics is disabled");
          deliverProperties(queue, std::move(callback), {});
          return;
        }
        std::shared_ptr<TLMMeasurement> engine = engineIfCreated();
        if (engine == nullptr) {
          // Enabled without an engine only when start made none (an empty app
          // ID): there are no properties, and the caller still gets its answer.
          deliverProperties(queue, std::move(callback), {});
          return;
        }
        engine->userPropertiesIncludingInternal(
            includingInternal, [queue, callback](const ObjectDictionary& properties) {
              deliverProperties(queue, callback, properties);
            });
      });
}

void TLMAnalyticsInterop::maxUserPropertiesForOrigin(const std::string& origin,
                                                     std::shared_ptr<DispatchQueue> queue,
                                                     QLFMaxUserPropertiesCallback callback) {
  TLMMonitor& monitor = TLMMeasurement::monitor();
  if (origin.empty()) {
    monitor.logWithLevel(
        2, 25009,
        "Cannot query Analytics for max user properties. Origin must be a non-empty string");
    return;
  }
  if (queue == nullptr) {
    monitor.logWithLevel(
        2, 25010, "Cannot query Analytics for max user properties. Queue cannot be nil. Origin",
        Object(origin));
    return;
  }
  if (!callback) {
    monitor.logWithLevel(2, 25011,
                         "Cannot query Analytics for max user properties. MaxUserProperties "
                         "callback cannot be nil. Origin",
                         Object(origin));
    return;
  }
  TLMAnalytics::queueOperationWithBlock(
      [origin, queue = std::move(queue), callback = std::move(callback)]() mutable {
        std::shared_ptr<TLMMeasurement> engine = engineIfCreated();
        if (engine == nullptr) return;
        engine->maxUserPropertiesForOrigin(origin, [queue, callback](long maxUserProperties) {
          queue->async([callback, maxUserProperties] { callback(maxUserProperties); });
        });
      });
}
