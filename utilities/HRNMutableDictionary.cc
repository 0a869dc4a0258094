#include "utilities/HRNMutableDictionary.h"

#include <utility>

HRNMutableDictionary::HRNMutableDictionary(ObjectDictionary contents)
    : objects_(std::move(contents)) {}

std::optional<Object> HRNMutableDictionary::objectForKey(const Object& key) const {
  std::lock_guard<std::mutex> lock(mutex_);
  auto it = objects_.find(key);
  if (it == objects_.end()) return std::nullopt;
  return it->second;
}

void HRNMutableDictionary::setObject(Object object, const Object& forKey) {
  std::lock_guard<std::mutex> lock(mutex_);
  objects_.insert_or_assign(forKey, std::move(object));
}

void HRNMutableDictionary::removeObjectForKey(const Object& key) {
  std::lock_guard<std::mutex> lock(mutex_);
  objects_.erase(key);
}

void HRNMutableDictionary::removeAllObjects() {
  ObjectDictionary removed;  // destroyed after the lock is released
  std::lock_guard<std::mutex> lock(mutex_);
  removed.swap(objects_);
}

std::size_t HRNMutableDictionary::count() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return objects_.size();
}

ObjectDictionary HRNMutableDictionary::dictionary() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return objects_;
}
