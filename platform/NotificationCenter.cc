#include "platform/NotificationCenter.h"

#include <algorithm>
#include <utility>

#include "platform/DispatchQueue.h"

namespace {

struct Delivery {
  std::shared_ptr<NotificationCenter::Handler> handler;
  std::shared_ptr<DispatchQueue> queue;
  std::shared_ptr<std::atomic<bool>> active;
};

}  // namespace

NotificationCenter::Token NotificationCenter::addObserver(const void* owner,
                                                          const std::string& name,
                                                          const void* object, Handler handler,
                                                          std::shared_ptr<DispatchQueue> queue) {
  std::lock_guard<std::mutex> lock(mutex_);
  Token token = nextToken_++;
  entries_.push_back(Entry{token, owner, name, object,
                           std::make_shared<Handler>(std::move(handler)), std::move(queue),
                           std::make_shared<std::atomic<bool>>(true)});
  return token;
}

void NotificationCenter::removeObserver(Token token) {
  std::lock_guard<std::mutex> lock(mutex_);
  auto it = std::find_if(entries_.begin(), entries_.end(),
                         [token](const Entry& entry) { return entry.token == token; });
  if (it == entries_.end()) return;
  it->active->store(false);
  entries_.erase(it);
}

void NotificationCenter::removeObserver(const void* owner, const std::string& name) {
  // A null owner names nobody: ungrouped observations are removed by token.
  if (owner == nullptr) return;
  std::lock_guard<std::mutex> lock(mutex_);
  auto matches = [&](const Entry& entry) {
    return entry.owner == owner && (name.empty() || entry.name == name);
  };
  for (Entry& entry : entries_) {
    if (matches(entry)) entry.active->store(false);
  }
  entries_.erase(std::remove_if(entries_.begin(), entries_.end(), matches), entries_.end());
}

std::size_t NotificationCenter::observerCount(const void* owner) const {
  std::lock_guard<std::mutex> lock(mutex_);
  if (owner == nullptr) return entries_.size();
  return static_cast<std::size_t>(
      std::count_if(entries_.begin(), entries_.end(),
                    [owner](const Entry& entry) { return entry.owner == owner; }));
}

void NotificationCenter::post(const std::string& name, const void* object,
                              std::optional<Object> userInfo) {
  post(Notification{name, object, std::move(userInfo)});
}

void NotificationCenter::post(const Notification& notification) {
  // Observers run without the lock held, so that they may add and remove
  // observers or post again; the `active` flag tells whether each one is
  // still registered when its turn comes.
  std::vector<Delivery> deliveries;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    for (const Entry& entry : entries_) {
      if (!entry.name.empty() && entry.name != notification.name) continue;
      if (entry.object != nullptr && entry.object != notification.object) continue;
      deliveries.push_back(Delivery{entry.handler, entry.queue, entry.active});
    }
  }
  for (Delivery& delivery : deliveries) {
    if (!delivery.active->load()) continue;
    if (delivery.queue) {
      delivery.queue->async([delivery, notification] {
        if (delivery.active->load()) (*delivery.handler)(notification);
      });
    } else {
      (*delivery.handler)(notification);
    }
  }
}
