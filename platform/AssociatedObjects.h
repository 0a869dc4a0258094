// Per-object storage for records that the library keeps on platform objects
// it does not own (a window's screen stack, a view controller's screen):
// values of any type under string keys. A reader asks for the type it
// expects and gets nothing when another type is stored, so a stray value
// can be detected and discarded. Thread-safe; values are copied out, so
// store shared pointers for anything larger than a number.
#pragma once

#include <any>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <utility>

class AssociatedObjects {
 public:
  // An empty value removes the key.
  void setAssociatedObject(const std::string& key, std::any value) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (value.has_value()) {
      values_[key] = std::move(value);
    } else {
      values_.erase(key);
    }
  }
  void removeAssociatedObject(const std::string& key) {
    std::lock_guard<std::mutex> lock(mutex_);
    values_.erase(key);
  }
  // The stored value, whatever its type; empty when absent.
  std::any associatedObject(const std::string& key) const {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = values_.find(key);
    return it == values_.end() ? std::any() : it->second;
  }
  // The stored value when it is a T; nothing when absent or of another type.
  template <typename T>
  std::optional<T> associatedObjectAs(const std::string& key) const {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = values_.find(key);
    if (it == values_.end()) return std::nullopt;
    if (const T* value = std::any_cast<T>(&it->second)) return *value;
    return std::nullopt;
  }

 private:
  mutable std::mutex mutex_;
  std::map<std::string, std::any> values_;
};
