// An in-process notification centre. Observers run synchronously on the
// posting thread (or, when registered with a queue, asynchronously on that
// queue), in the order they were added. An observer may add or remove
// observers, itself included, while it runs: observers added during a post
// are not called for it, and a removed observer is not called once
// `removeObserver` has returned (not later in the same post, nor from a
// delivery already queued; a call running on another thread at that moment
// may still finish). Thread-safe.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "ferrolux/Object.h"

class DispatchQueue;

struct Notification {
  std::string name;
  // The posting object, compared by identity only; may be null.
  const void* object = nullptr;
  // A dictionary, or nothing.
  std::optional<Object> userInfo;
};

class NotificationCenter {
 public:
  using Handler = std::function<void(const Notification&)>;
  using Token = std::uint64_t;

  // Observes notifications named `name` ("" for every name) posted by
  // `object` (null for any poster). `owner` groups observations so that
  // they can be removed together; it may be null.
  Token addObserver(const void* owner, const std::string& name, const void* object, Handler handler,
                    std::shared_ptr<DispatchQueue> queue = nullptr);
  void removeObserver(Token token);
  // Removes every observation of `owner`; with a name, only those for it.
  void removeObserver(const void* owner, const std::string& name = "");
  // Number of observations of `owner` (all of them when owner is null).
  std::size_t observerCount(const void* owner = nullptr) const;

  void post(const Notification& notification);
  void post(const std::string& name, const void* object = nullptr,
            std::optional<Object> userInfo = std::nullopt);

 private:
  struct Entry {
    Token token;
    const void* owner;
    std::string name;
    const void* object;
    std::shared_ptr<Handler> handler;
    std::shared_ptr<DispatchQueue> queue;
    // Cleared on removal; checked right before each delivery.
    std::shared_ptr<std::atomic<bool>> active;
  };
  mutable std::mutex mutex_;
  std::vector<Entry> entries_;
  Token nextToken_ = 1;
};
