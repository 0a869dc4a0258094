// Whether a host can be reached from this machine.
//
// A loopback host (localhost, 127.0.0.0/8, ::1) is always reachable; any
// other host is reachable while the machine has an interface that is up
// with a usable non-loopback address. The interface state is read on
// construction and on `refresh`; a forced answer (`setOverride`) wins over
// both rules for every host. Observers are told when an answer may have
// changed. Thread-safe; observers run on the thread that made the change,
// outside any lock, and may add or remove observers.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string_view>

class DispatchQueue;

class Reachability {
 public:
  using ObserverToken = std::uint64_t;
  using Observer = std::function<void()>;
  // Answers whether an interface is up with a usable non-loopback address.
  using InterfaceProbe = std::function<bool()>;

  // Probes the machine's interfaces with getifaddrs.
  Reachability();
  // Uses `probe` instead of getifaddrs (tests, hosts with their own view).
  explicit Reachability(InterfaceProbe probe);
  ~Reachability();
  Reachability(const Reachability&) = delete;
  Reachability& operator=(const Reachability&) = delete;

  // `host` may carry a port ("127.0.0.1:8080", "[::1]:80"). Does not block.
  bool isHostReachable(std::string_view host) const;
  // "localhost", an IPv4 address in 127.0.0.0/8 or ::1 (bracketed or not),
  // each optionally followed by a port. Names that merely start with a
  // loopback address ("127.0.0.1.example.com") are not loopback.
  static bool isLoopbackHost(std::string_view host);

  // Forces every answer to `reachable`; nullopt returns to the real state.
  // Notifies observers when an answer changed.
  void setOverride(std::optional<bool> reachable);
  std::optional<bool> currentOverride() const;

  // Probes the interfaces again; notifies observers when an answer changed.
  void refresh();

  ObserverToken addObserver(Observer observer);
  // Once this returns, `token`'s observer is not started again (a call
  // already running on another thread may still finish).
  void removeObserver(ObserverToken token);

  // Calls `refresh` every `intervalSeconds` on `queue` until stopped or
  // destroyed. Starting again replaces the previous schedule.
  void startMonitoring(std::shared_ptr<DispatchQueue> queue, double intervalSeconds);
  void stopMonitoring();

  // The getifaddrs probe used by the default constructor.
  static bool probeInterfaces();

 private:
  struct State;
  std::shared_ptr<State> state_;
};
