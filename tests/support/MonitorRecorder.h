// Records every report made through the diagnostics monitor while it
// lives: level, code, message and contexts, before any level filtering.
#pragma once

#include <algorithm>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "ferrolux/Object.h"
#include "upload/TLMMonitor.h"

struct MonitorReport {
  int level;
  long code;
  std::string message;
  ObjectArray contexts;
};

class MonitorRecorder {
 public:
  MonitorRecorder() {
    TLMMonitor::TEST_setObserver(
        [this](int level, long code, std::string_view message, const ObjectArray& contexts) {
          std::lock_guard<std::mutex> lock(mutex_);
          reports_.push_back(MonitorReport{level, code, std::string(message), contexts});
        });
  }
  ~MonitorRecorder() { TLMMonitor::TEST_setObserver(nullptr); }
  MonitorRecorder(const MonitorRecorder&) = delete;
  MonitorRecorder& operator=(const MonitorRecorder&) = delete;

  std::vector<MonitorReport> reports() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return reports_;
  }
  // Every report with `code`, in order.
  std::vector<MonitorReport> withCode(long code) const {
    std::vector<MonitorReport> found;
    std::lock_guard<std::mutex> lock(mutex_);
    std::copy_if(reports_.begin(), reports_.end(), std::back_inserter(found),
                 [code](const MonitorReport& report) { return report.code == code; });
    return found;
  }
  std::size_t count(long code) const { return withCode(code).size(); }
  void clear() {
    std::lock_guard<std::mutex> lock(mutex_);
    reports_.clear();
  }

 private:
  mutable std::mutex mutex_;
  std::vector<MonitorReport> reports_;
};
