// The facade's process-wide state, shared by its source files. Internal to
// api/.
//
// The queues are made on first use from the installed Platform. Fields of
// TLMAnalyticsState other than the load timestamp (under its mutex) and
// the start-once flag are read and written on the serial queue, except the
// flags the start block writes before the operation queue is resumed.
#pragma once

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>

#include "ferrolux/Object.h"
#include "ferrolux/QLFAnalytics.h"

class DispatchQueue;

// Connects the validation error events and the consent wipe to the
// facade. Idempotent; called by the load step and by start.
void tlm_connectFacadeSeams();

struct TLMAnalyticsQueues {
  TLMAnalyticsQueues();
  static TLMAnalyticsQueues& current();

  std::shared_ptr<DispatchQueue> serial;
  std::shared_ptr<DispatchQueue> operations;
  std::shared_ptr<DispatchQueue> timestamps;
};

struct TLMAnalyticsState {
  TLMAnalyticsState();
  static TLMAnalyticsState& current();

  std::once_flag osSupportedOnce;
  bool osSupported = false;

  std::mutex loadTimestampMutex;
  double loadTimestamp = 0;

  // Start runs its block once per process.
  std::once_flag startOnce;
  // Set by the start block; when true, enabling is refused.
  std::atomic<bool> collectionDeactivated{false};
  // Serial queue.
  std::atomic<bool> enabled{false};

  // Serial queue.
  QLFLogEventInterceptor interceptor;
  std::optional<std::map<QLFLogEventListenerToken, QLFLogEventListener>> listeners;
  // Listeners added (counted when the addition is asked for) and not yet
  // removed: lets the engine skip queueing a notification nobody gets.
  std::atomic<long> listenerCount{0};
  QLFOpenURLListener openURLListener;

  // The latest enable or disable asked for while no engine existed. The
  // start block applies it to the engine it creates, so that it is not
  // lost. Serial queue.
  std::optional<bool> enabledRequestBeforeStart;

  // The configuration object observed for set-enabled notifications, kept
  // so that its identity stays valid while observed. Caller's thread of
  // observeNotificationsForAnalyticsConfiguration, under the mutex.
  std::mutex configurationMutex;
  OptionalObject observedConfiguration;

  std::once_flag appDelegateProxyOnce;
};
