// Records what the console logger writes while it lives, instead of
// printing it.
#pragma once

#include <mutex>
#include <string>
#include <vector>

#include "utilities/HRNLogger.h"

class ConsoleRecorder {
 public:
  ConsoleRecorder() {
    HRNLogger_TEST_setSink([this](const std::string& line) {
      std::lock_guard<std::mutex> lock(mutex_);
      lines_.push_back(line);
    });
  }
  ~ConsoleRecorder() { HRNLogger_TEST_setSink(nullptr); }
  ConsoleRecorder(const ConsoleRecorder&) = delete;
  ConsoleRecorder& operator=(const ConsoleRecorder&) = delete;

  std::vector<std::string> lines() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return lines_;
  }
  std::string lastLine() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return lines_.empty() ? std::string() : lines_.back();
  }
  void clear() {
    std::lock_guard<std::mutex> lock(mutex_);
    lines_.clear();
  }

 private:
  mutable std::mutex mutex_;
  std::vector<std::string> lines_;
};
