// The log-event interceptor and the log-event listeners. Both are facade
// state of the serial queue: written there directly when the caller is
// already on it (a listener adding another while being notified), else
// through an operation, so that they take effect in call order.
#include <atomic>
#include <map>
#include <memory>
#include <utility>
#include <vector>

#include "api/TLMAnalytics.h"
#include "api/TLMAnalyticsState.h"
#include "engine/TLMMeasurement.h"
#include "upload/TLMMonitor.h"

namespace {

// Runs `block` on the serial queue: at once when already there, else as
// an operation (after start, in call order).
void runOnSerialQueueInOrder(std::function<void()> block) {
  if (TLMAnalytics::isCurrentQueueSerialQueue()) {
    block();
  } else {
    TLMAnalytics::queueOperationWithBlock(std::move(block));
  }
}

}  // namespace

void TLMAnalytics::setLogEventInterceptor(QLFLogEventInterceptor interceptor) {
  if (!isOSSupported()) return;
  runOnSerialQueueInOrder([interceptor = std::move(interceptor)]() mutable {
    TLMAnalyticsState::current().interceptor = std::move(interceptor);
  });
}

std::optional<QLFLogEventListenerToken> TLMAnalytics::addLogEventListener(
    QLFLogEventListener listener) {
  if (!isOSSupported()) return std::nullopt;
  if (!listener) {
    TLMMeasurement::monitor().logWithLevel(2, 25012,
                                           "Attempted addition of nil log event listener.");
    return std::nullopt;
  }
  // Tokens are handed out on the caller's thread, so they come from an
  // atomic counter rather than serial-queue state.
  static std::atomic<QLFLogEventListenerToken> nextToken{1};
  const QLFLogEventListenerToken token = nextToken.fetch_add(1);
  TLMAnalyticsState::current().listenerCount.fetch_add(1);
  runOnSerialQueueInOrder([token, listener = std::move(listener)]() mutable {
    TLMAnalyticsState& state = TLMAnalyticsState::current();
    if (!state.listeners) state.listeners.emplace();
    (*state.listeners)[token] = std::move(listener);
  });
  return token;
}

void TLMAnalytics::removeLogEventListener(std::optional<QLFLogEventListenerToken> token) {
  if (!isOSSupported()) return;
  if (!token) {
    TLMMeasurement::monitor().logWithLevel(2, 25013, "Attempted removal of nil log event.");
    return;
  }
  queueOperationWithBlock([token = *token] {
    TLMAnalyticsState& state = TLMAnalyticsState::current();
    if (!state.listeners) {
      TLMMeasurement::monitor().logWithLevel(2, 25014,
                                             "Attempted removal of nil log event listener.");
      return;
    }
    if (state.listeners->erase(token) == 0) {
      TLMMeasurement::monitor().logWithLevel(
          2, 25015, "Attempted removal of log event listener with invalid token.");
    } else {
      state.listenerCount.fetch_sub(1);
    }
  });
}

void TLMAnalytics::notifyEventListeners(const std::shared_ptr<TLMEvent>& event) {
  if (!isOSSupported()) return;
  // Called for every handled event, from the worker queue.
  if (TLMAnalyticsState::current().listenerCount.load() == 0) return;
  queueOperationWithBlock([event] { notifyEventListenersOnSerialQueue(event); });
}

void TLMAnalytics::notifyEventListenersOnSerialQueue(const std::shared_ptr<TLMEvent>& event) {
  TLMAnalyticsState& state = TLMAnalyticsState::current();
  if (!state.listeners || state.listeners->empty()) return;
  // A listener may add or remove listeners while it runs: iterate over the
  // tokens present now, and skip one removed before its turn. Each call
  // uses its own copy of the block, so a listener may remove itself.
  std::vector<QLFLogEventListenerToken> tokens;
  tokens.reserve(state.listeners->size());
  for (const auto& entry : *state.listeners) tokens.push_back(entry.first);
  for (QLFLogEventListenerToken token : tokens) {
    if (!state.listeners) return;
    auto found = state.listeners->find(token);
    if (found == state.listeners->end()) continue;
    QLFLogEventListener listener = found->second;
    listener(event);
  }
}
