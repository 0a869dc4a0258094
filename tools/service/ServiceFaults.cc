#include "tools/service/ServiceFaults.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <set>

namespace {

bool integerIn(const nlohmann::json& value, std::int64_t low, std::int64_t high,
               std::int64_t* result) {
  if (!value.is_number_integer()) return false;
  const std::int64_t number = value.get<std::int64_t>();
  if (value.is_number_unsigned() && value.get<std::uint64_t>() > static_cast<std::uint64_t>(high)) {
    return false;
  }
  if (number < low || number > high) return false;
  *result = number;
  return true;
}

// The port of a socket address, or -1 when it is not IPv4 or IPv6.
int portOf(const sockaddr_storage& address) {
  if (address.ss_family == AF_INET) {
    return ntohs(reinterpret_cast<const sockaddr_in&>(address).sin_port);
  }
  if (address.ss_family == AF_INET6) {
    return ntohs(reinterpret_cast<const sockaddr_in6&>(address).sin6_port);
  }
  return -1;
}

std::string hostOf(const sockaddr_storage& address) {
  char text[INET6_ADDRSTRLEN] = {};
  if (address.ss_family == AF_INET) {
    inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in&>(address).sin_addr, text, sizeof text);
  } else if (address.ss_family == AF_INET6) {
    inet_ntop(AF_INET6, &reinterpret_cast<const sockaddr_in6&>(address).sin6_addr, text,
              sizeof text);
  }
  return text;
}

}  // namespace

std::optional<ServiceFault> parseServiceFault(const nlohmann::json& json, std::string* problem) {
  auto fail = [&](const std::string& text) -> std::optional<ServiceFault> {
    *problem = text;
    return std::nullopt;
  };
  if (!json.is_object()) return fail("a fault is a JSON object");
  static const std::set<std::string> kKeys = {"count", "status", "delay_ms", "drop", "path"};
  for (const auto& [key, value] : json.items()) {
    if (kKeys.count(key) == 0) return fail("unknown key: " + key);
  }
  ServiceFault fault;
  if (!json.contains("count") ||
      !integerIn(json["count"], 1, kServiceFaultMaxCount, &fault.count)) {
    return fail("\"count\" must be an integer from 1 to " + std::to_string(kServiceFaultMaxCount));
  }
  if (json.contains("path")) {
    const nlohmann::json& path = json["path"];
    if (path == "/a") {
      fault.target = ServiceFaultTarget::Upload;
    } else if (path == "/config") {
      fault.target = ServiceFaultTarget::Config;
    } else {
      return fail("\"path\" must be \"/a\" or \"/config\"");
    }
  }
  const int kinds = static_cast<int>(json.contains("status")) +
                    static_cast<int>(json.contains("delay_ms")) +
                    static_cast<int>(json.contains("drop"));
  if (kinds != 1) return fail("a fault has exactly one of \"status\", \"delay_ms\" and \"drop\"");
  if (json.contains("status")) {
    std::int64_t status = 0;
    if (!integerIn(json["status"], 100, 599, &status)) {
      return fail("\"status\" must be an HTTP status from 100 to 599");
    }
    fault.kind = ServiceFaultKind::Status;
    fault.status = static_cast<int>(status);
  } else if (json.contains("delay_ms")) {
    if (!integerIn(json["delay_ms"], 0, kServiceFaultMaxDelayMillis, &fault.delayMillis)) {
      return fail("\"delay_ms\" must be an integer from 0 to " +
                  std::to_string(kServiceFaultMaxDelayMillis));
    }
    fault.kind = ServiceFaultKind::Delay;
  } else {
    const nlohmann::json& drop = json["drop"];
    if (drop == "before_store") {
      fault.kind = ServiceFaultKind::DropBeforeStore;
    } else if (drop == "after_store") {
      fault.kind = ServiceFaultKind::DropAfterStore;
    } else {
      return fail("\"drop\" must be \"before_store\" or \"after_store\"");
    }
  }
  return fault;
}

nlohmann::json serviceFaultJSON(const ServiceFault& fault) {
  nlohmann::json json = {{"count", fault.count},
                         {"path", fault.target == ServiceFaultTarget::Upload ? "/a" : "/config"}};
  switch (fault.kind) {
    case ServiceFaultKind::Status:
      json["status"] = fault.status;
      break;
    case ServiceFaultKind::Delay:
      json["delay_ms"] = fault.delayMillis;
      break;
    case ServiceFaultKind::DropBeforeStore:
      json["drop"] = "before_store";
      break;
    case ServiceFaultKind::DropAfterStore:
      json["drop"] = "after_store";
      break;
  }
  return json;
}

bool ServiceFaults::add(const ServiceFault& fault) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (queue_.size() >= kServiceFaultMaxQueued) return false;
  queue_.push_back(fault);
  return true;
}

void ServiceFaults::clear() {
  std::lock_guard<std::mutex> lock(mutex_);
  queue_.clear();
}

nlohmann::json ServiceFaults::list() const {
  std::lock_guard<std::mutex> lock(mutex_);
  nlohmann::json faults = nlohmann::json::array();
  for (const ServiceFault& fault : queue_) faults.push_back(serviceFaultJSON(fault));
  return faults;
}

std::optional<ServiceFault> ServiceFaults::take(ServiceFaultTarget target) {
  std::lock_guard<std::mutex> lock(mutex_);
  for (auto it = queue_.begin(); it != queue_.end(); ++it) {
    if (it->target != target) continue;
    ServiceFault fault = *it;
    if (--it->count == 0) queue_.erase(it);
    return fault;
  }
  return std::nullopt;
}

bool ServiceFaults::wait(std::int64_t millis) {
  std::unique_lock<std::mutex> lock(mutex_);
  return !stopped_.wait_for(lock, std::chrono::milliseconds(millis), [&] { return stopping_; });
}

void ServiceFaults::stop() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
  }
  stopped_.notify_all();
}

bool serviceDropConnection(const std::string& remoteAddress, int remotePort, int localPort) {
  DIR* descriptors = opendir("/proc/self/fd");
  if (descriptors == nullptr) return false;
  bool dropped = false;
  while (dirent* entry = readdir(descriptors)) {
    char* end = nullptr;
    const long fd = std::strtol(entry->d_name, &end, 10);
    if (end == entry->d_name || *end != '\0' || fd == dirfd(descriptors)) continue;
    sockaddr_storage peer{};
    socklen_t peerLength = sizeof peer;
    if (getpeername(static_cast<int>(fd), reinterpret_cast<sockaddr*>(&peer), &peerLength) != 0) {
      continue;
    }
    sockaddr_storage local{};
    socklen_t localLength = sizeof local;
    if (getsockname(static_cast<int>(fd), reinterpret_cast<sockaddr*>(&local), &localLength) != 0) {
      continue;
    }
    if (portOf(peer) != remotePort || portOf(local) != localPort) continue;
    if (hostOf(peer) != remoteAddress) continue;
    // Shut down rather than closed: the HTTP layer still owns the
    // descriptor and closes it itself.
    dropped = shutdown(static_cast<int>(fd), SHUT_RDWR) == 0;
    break;
  }
  closedir(descriptors);
  return dropped;
}
