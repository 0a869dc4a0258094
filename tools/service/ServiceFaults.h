// Faults a test or a developer queues to see how an app copes: the next
// matching requests get a status without being handled, are handled late,
// or lose their connection without an answer (before or after the batch is
// stored).
//
// Safe from any thread: the queue is guarded, and waits end early when the
// service stops.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>

// Bounds of a fault's numbers, so that a typing slip cannot stall the
// service for hours.
inline constexpr std::int64_t kServiceFaultMaxCount = 1000000;
inline constexpr std::int64_t kServiceFaultMaxDelayMillis = 120000;
inline constexpr std::size_t kServiceFaultMaxQueued = 1000;

enum class ServiceFaultTarget { Upload, Config };
enum class ServiceFaultKind { Status, Delay, DropBeforeStore, DropAfterStore };

struct ServiceFault {
  ServiceFaultTarget target = ServiceFaultTarget::Upload;
  ServiceFaultKind kind = ServiceFaultKind::Status;
  std::int64_t count = 1;  // matching requests still to be hit
  int status = 0;
  std::int64_t delayMillis = 0;
};

// Parses {"count":N, "status":S} | {"count":N, "delay_ms":D} |
// {"count":N, "drop":"before_store"|"after_store"}, with an optional
// "path": "/a" (default) or "/config". Nothing, with `problem` filled, for
// anything else (unknown keys included, so that a misspelt key is not
// silently ignored).
[[nodiscard]] std::optional<ServiceFault> parseServiceFault(const nlohmann::json& json,
                                                            std::string* problem);

// The JSON form of a queued fault, as the listing shows it.
nlohmann::json serviceFaultJSON(const ServiceFault& fault);

class ServiceFaults {
 public:
  // Queues `fault` behind the others; false when the queue is full.
  [[nodiscard]] bool add(const ServiceFault& fault);
  void clear();
  nlohmann::json list() const;

  // The fault for the next request to `target`, counting it against the
  // first queued fault for that target (removed when used up).
  std::optional<ServiceFault> take(ServiceFaultTarget target);

  // Waits `millis` or until stop(); false when stopped.
  bool wait(std::int64_t millis);
  void stop();

 private:
  mutable std::mutex mutex_;
  std::condition_variable stopped_;
  bool stopping_ = false;
  std::deque<ServiceFault> queue_;
};

// Closes the connection a request came on without an answer: shuts the
// socket down so the client reads the end of the stream. The HTTP layer
// gives handlers no socket, so the socket is found among the process's
// descriptors by its two addresses. False when it cannot be found.
bool serviceDropConnection(const std::string& remoteAddress, int remotePort, int localPort);
