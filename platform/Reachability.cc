#include "platform/Reachability.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>

#include <atomic>
#include <cmath>
#include <map>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "platform/DispatchQueue.h"

namespace {

// The answers that observers care about: one for loopback hosts and one
// for every other host.
struct Answers {
  bool loopback;
  bool remote;
  bool operator==(const Answers&) const = default;
};

bool equalsIgnoringCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    char x = a[i], y = b[i];
    if (x >= 'A' && x <= 'Z') x = static_cast<char>(x - 'A' + 'a');
    if (y >= 'A' && y <= 'Z') y = static_cast<char>(y - 'A' + 'a');
    if (x != y) return false;
  }
  return true;
}

bool isAllDigits(std::string_view text) {
  if (text.empty()) return false;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
  }
  return true;
}

// Strips brackets and an optional ":port". Returns false for malformed
// text ("[::1", "host:port:junk").
bool hostWithoutPort(std::string_view text, std::string_view* host) {
  if (!text.empty() && text.front() == '[') {
    std::size_t close = text.find(']');
    if (close == std::string_view::npos) return false;
    std::string_view rest = text.substr(close + 1);
    if (!rest.empty() && !(rest.front() == ':' && isAllDigits(rest.substr(1)))) return false;
    *host = text.substr(1, close - 1);
    return true;
  }
  std::size_t colon = text.find(':');
  if (colon != std::string_view::npos && text.find(':', colon + 1) == std::string_view::npos) {
    // One colon: "host:port". More than one: a bare IPv6 address.
    if (!isAllDigits(text.substr(colon + 1))) return false;
    *host = text.substr(0, colon);
    return true;
  }
  *host = text;
  return true;
}

bool isUsableAddress(const sockaddr* address) {
  if (address == nullptr) return false;
  if (address->sa_family == AF_INET) {
    const auto* in = reinterpret_cast<const sockaddr_in*>(address);
    std::uint32_t value = ntohl(in->sin_addr.s_addr);
    bool loopback = (value >> 24) == 127;
    bool linkLocal = (value >> 16) == 0xA9FE;  // 169.254.0.0/16
    return value != 0 && !loopback && !linkLocal;
  }
  if (address->sa_family == AF_INET6) {
    const auto* in6 = reinterpret_cast<const sockaddr_in6*>(address);
    return !IN6_IS_ADDR_LOOPBACK(&in6->sin6_addr) && !IN6_IS_ADDR_LINKLOCAL(&in6->sin6_addr) &&
           !IN6_IS_ADDR_UNSPECIFIED(&in6->sin6_addr);
  }
  return false;
}

}  // namespace

struct Reachability::State : std::enable_shared_from_this<State> {
  struct Entry {
    Observer observer;
    std::atomic<bool> active{true};
  };

  explicit State(InterfaceProbe p) : probe(std::move(p)) {}

  Answers answersLocked() const {
    return Answers{override.value_or(true), override.value_or(interfacesUp)};
  }

  // Applies `change` under the lock and notifies when the answers moved.
  template <typename Change>
  void update(Change change) {
    std::vector<std::shared_ptr<Entry>> toNotify;
    {
      std::lock_guard<std::mutex> lock(mutex);
      Answers before = answersLocked();
      change();
      if (answersLocked() == before) return;
      for (const auto& [token, entry] : observers) toNotify.push_back(entry);
    }
    for (const auto& entry : toNotify) {
      if (entry->active.load()) entry->observer();
    }
  }

  void refresh() {
    // The probe runs outside the lock: it makes system calls.
    bool up = probe ? probe() : false;
    update([&] { interfacesUp = up; });
  }

  void scheduleNextRefresh(std::uint64_t generation) {
    std::lock_guard<std::mutex> lock(mutex);
    if (generation != monitorGeneration || !monitorQueue) return;
    std::weak_ptr<State> weak = weak_from_this();
    monitorBlock = monitorQueue->asyncAfter(monitorInterval, [weak, generation] {
      std::shared_ptr<State> state = weak.lock();
      if (!state) return;
      {
        std::lock_guard<std::mutex> lock(state->mutex);
        if (generation != state->monitorGeneration) return;
      }
      state->refresh();
      state->scheduleNextRefresh(generation);
    });
  }

  void stopMonitoringLocked() {
    ++monitorGeneration;
    if (monitorBlock.isValid()) monitorBlock.cancel();
    monitorBlock = DelayedBlock();
    monitorQueue.reset();
  }

  const InterfaceProbe probe;
  mutable std::mutex mutex;
  bool interfacesUp = false;
  std::optional<bool> override;
  std::map<ObserverToken, std::shared_ptr<Entry>> observers;
  ObserverToken nextToken = 1;

  std::shared_ptr<DispatchQueue> monitorQueue;
  double monitorInterval = 0;
  DelayedBlock monitorBlock;
  std::uint64_t monitorGeneration = 0;
};

Reachability::Reachability() : Reachability(InterfaceProbe(&Reachability::probeInterfaces)) {}

Reachability::Reachability(InterfaceProbe probe)
    : state_(std::make_shared<State>(std::move(probe))) {
  state_->interfacesUp = state_->probe ? state_->probe() : false;
}

Reachability::~Reachability() { stopMonitoring(); }

bool Reachability::isHostReachable(std::string_view host) const {
  std::lock_guard<std::mutex> lock(state_->mutex);
  Answers answers = state_->answersLocked();
  return isLoopbackHost(host) ? answers.loopback : answers.remote;
}

bool Reachability::isLoopbackHost(std::string_view text) {
  std::string_view host;
  if (!hostWithoutPort(text, &host) || host.empty()) return false;
  if (equalsIgnoringCase(host, "localhost") || equalsIgnoringCase(host, "localhost.")) return true;
  std::string copy(host);
  in_addr v4{};
  if (inet_pton(AF_INET, copy.c_str(), &v4) == 1) return (ntohl(v4.s_addr) >> 24) == 127;
  in6_addr v6{};
  if (inet_pton(AF_INET6, copy.c_str(), &v6) == 1) return IN6_IS_ADDR_LOOPBACK(&v6);
  return false;
}

void Reachability::setOverride(std::optional<bool> reachable) {
  state_->update([&] { state_->override = reachable; });
}

std::optional<bool> Reachability::currentOverride() const {
  std::lock_guard<std::mutex> lock(state_->mutex);
  return state_->override;
}

void Reachability::refresh() { state_->refresh(); }

Reachability::ObserverToken Reachability::addObserver(Observer observer) {
  auto entry = std::make_shared<State::Entry>();
  entry->observer = std::move(observer);
  std::lock_guard<std::mutex> lock(state_->mutex);
  ObserverToken token = state_->nextToken++;
  state_->observers.emplace(token, std::move(entry));
  return token;
}

void Reachability::removeObserver(ObserverToken token) {
  std::lock_guard<std::mutex> lock(state_->mutex);
  auto it = state_->observers.find(token);
  if (it == state_->observers.end()) return;
  it->second->active.store(false);
  state_->observers.erase(it);
}

void Reachability::startMonitoring(std::shared_ptr<DispatchQueue> queue, double intervalSeconds) {
  std::uint64_t generation;
  {
    std::lock_guard<std::mutex> lock(state_->mutex);
    state_->stopMonitoringLocked();
    if (!queue || !std::isfinite(intervalSeconds) || intervalSeconds <= 0) return;
    state_->monitorQueue = std::move(queue);
    state_->monitorInterval = intervalSeconds;
    generation = state_->monitorGeneration;
  }
  state_->scheduleNextRefresh(generation);
}

void Reachability::stopMonitoring() {
  std::lock_guard<std::mutex> lock(state_->mutex);
  state_->stopMonitoringLocked();
}

bool Reachability::probeInterfaces() {
  ifaddrs* list = nullptr;
  if (getifaddrs(&list) != 0) return false;
  bool usable = false;
  for (ifaddrs* it = list; it != nullptr && !usable; it = it->ifa_next) {
    if ((it->ifa_flags & IFF_UP) == 0 || (it->ifa_flags & IFF_LOOPBACK) != 0) continue;
    usable = isUsableAddress(it->ifa_addr);
  }
  freeifaddrs(list);
  return usable;
}
