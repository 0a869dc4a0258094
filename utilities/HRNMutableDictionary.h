// A dictionary from Object to Object that several queues may use at once.
//
// Every call takes one internal lock for its duration, so each call is
// atomic on its own; a read followed by a write is not. Values are
// returned as copies (Objects share their storage, so copies are cheap).
#pragma once

#include <cstddef>
#include <mutex>
#include <optional>

#include "ferrolux/Object.h"

class HRNMutableDictionary {
 public:
  HRNMutableDictionary() = default;
  explicit HRNMutableDictionary(ObjectDictionary contents);
  HRNMutableDictionary(const HRNMutableDictionary&) = delete;
  HRNMutableDictionary& operator=(const HRNMutableDictionary&) = delete;

  // Nothing (nil) when the key is absent.
  [[nodiscard]] std::optional<Object> objectForKey(const Object& key) const;
  // Replaces any value stored under an equal key.
  void setObject(Object object, const Object& forKey);
  void removeObjectForKey(const Object& key);
  void removeAllObjects();
  [[nodiscard]] std::size_t count() const;
  // A copy of the contents at one moment.
  [[nodiscard]] ObjectDictionary dictionary() const;

 private:
  mutable std::mutex mutex_;
  ObjectDictionary objects_;
};
