#include "platform/Dispatch.h"

Dispatch::Dispatch(std::shared_ptr<Executor> executor)
    : executor_(std::move(executor)),
      main_(std::make_shared<DispatchQueue>(executor_, kMainQueueLabel, DispatchQueue::Kind::Main,
                                            nullptr)),
      background_(std::make_shared<DispatchQueue>(executor_, kBackgroundQueueLabel,
                                                  DispatchQueue::Kind::Concurrent, nullptr)),
      default_(std::make_shared<DispatchQueue>(executor_, kDefaultQueueLabel,
                                               DispatchQueue::Kind::Concurrent, nullptr)) {}

std::shared_ptr<DispatchQueue> Dispatch::createSerialQueue(const std::string& label,
                                                           std::shared_ptr<DispatchQueue> target) {
  return std::make_shared<DispatchQueue>(executor_, label, DispatchQueue::Kind::Serial,
                                         std::move(target));
}

std::shared_ptr<DispatchQueue> Dispatch::globalQueue(QueuePriority priority) const {
  return priority == QueuePriority::Background ? background_ : default_;
}

bool Dispatch::isMainThread() const {
  if (!executor_->isMainThreadCurrent()) return false;
  const DispatchQueue* current = DispatchQueue::current();
  return current == nullptr || current == main_.get();
}

int Dispatch::drainMainQueue() { return executor_->drainMain(); }
