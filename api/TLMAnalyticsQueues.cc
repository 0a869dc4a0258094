// The facade's queues and load timestamp.
//
// The operation queue is a serial queue created suspended: each operation
// only re-dispatches its block to the serial queue, so calls made before
// start run there, in call order, once start resumes it.
#include <memory>
#include <mutex>

#include "api/TLMAnalytics.h"
#include "api/TLMAnalyticsState.h"
#include "common/SharedInstance.h"
#include "engine/TLMAEU.h"
#include "platform/Clock.h"
#include "platform/Dispatch.h"
#include "platform/DispatchQueue.h"
#include "platform/Platform.h"

TLMAnalyticsQueues::TLMAnalyticsQueues() {
  Dispatch& dispatch = Platform::current().dispatch();
  serial = dispatch.createSerialQueue(kTLMAnalyticsQueueLabel,
                                      dispatch.globalQueue(QueuePriority::Background));
  operations = dispatch.createSerialQueue(kTLMAnalyticsOperationQueueLabel);
  operations->suspend();
  timestamps = dispatch.createSerialQueue(kTLMAnalyticsTimestampQueueLabel);
}

TLMAnalyticsQueues& TLMAnalyticsQueues::current() {
  static SharedInstance<TLMAnalyticsQueues> instance;
  return *instance.get([] { return std::make_shared<TLMAnalyticsQueues>(); });
}

TLMAnalyticsState::TLMAnalyticsState() : loadTimestamp(Platform::current().clock().now()) {}

TLMAnalyticsState& TLMAnalyticsState::current() {
  static SharedInstance<TLMAnalyticsState> instance;
  return *instance.get([] { return std::make_shared<TLMAnalyticsState>(); });
}

void TLMAnalytics::load() {
  setLoadTimestamp(Platform::current().clock().now());
  // Error events of calls made before start wait in the operation queue
  // with the calls themselves.
  tlm_connectFacadeSeams();
}

bool TLMAnalytics::isOSSupported() {
  TLMAnalyticsState& state = TLMAnalyticsState::current();
  std::call_once(state.osSupportedOnce, [&] { state.osSupported = TLMAEU::isOSSupported(); });
  return state.osSupported;
}

std::shared_ptr<DispatchQueue> TLMAnalytics::queue() {
  return TLMAnalyticsQueues::current().serial;
}

void TLMAnalytics::dispatchAsyncOnSerialQueue(std::function<void()> block) {
  if (!block) return;
  queue()->async(std::move(block));
}

void TLMAnalytics::queueOperationWithBlock(std::function<void()> block) {
  if (!block) return;
  TLMAnalyticsQueues::current().operations->async(
      [block = std::move(block)]() mutable { dispatchAsyncOnSerialQueue(std::move(block)); });
}

void TLMAnalytics::unsuspendOperationQueue() {
  const std::shared_ptr<DispatchQueue>& operations = TLMAnalyticsQueues::current().operations;
  if (operations->isSuspended()) operations->resume();
}

bool TLMAnalytics::isCurrentQueueSerialQueue() {
  const DispatchQueue* current = DispatchQueue::current();
  return current != nullptr && current->label() == kTLMAnalyticsQueueLabel;
}

double TLMAnalytics::loadTimestamp() {
  TLMAnalyticsState& state = TLMAnalyticsState::current();
  std::lock_guard<std::mutex> lock(state.loadTimestampMutex);
  return state.loadTimestamp;
}

void TLMAnalytics::setLoadTimestamp(double timestamp) {
  TLMAnalyticsState& state = TLMAnalyticsState::current();
  std::lock_guard<std::mutex> lock(state.loadTimestampMutex);
  state.loadTimestamp = timestamp;
}
