// The upload timer: one block, run once on a queue after a delay.
//
// Scheduling again replaces what was scheduled. When the timer fires it
// reports, cancels itself and then runs the block on the alarm's queue.
// Destroying the alarm cancels it; a block already running is not waited
// for. Reports go to the measurement monitor under the alarm's name.
//
// Thread-safe; the engine uses it on its worker queue.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>

class DispatchQueue;

// Monitor codes.
inline constexpr long kTLMAlarmCodeEmptyBlock = 2000;
inline constexpr long kTLMAlarmCodeFired = 2001;
inline constexpr long kTLMAlarmCodeScheduled = 2002;
inline constexpr long kTLMAlarmCodeCanceled = 2003;
inline constexpr long kTLMAlarmCodeNotActive = 2004;

// The name of an alarm made without one.
inline constexpr char kTLMAlarmDefaultName[] = "Timer";

class TLMAlarm {
 public:
  // An alarm whose timer runs on `queue`; an empty or absent name becomes
  // "Timer". Null when `queue` is null.
  static std::shared_ptr<TLMAlarm> initWithDispatchQueue(std::shared_ptr<DispatchQueue> queue,
                                                         const std::optional<std::string>& name);

  TLMAlarm(std::shared_ptr<DispatchQueue> queue, std::string name);
  ~TLMAlarm();
  TLMAlarm(const TLMAlarm&) = delete;
  TLMAlarm& operator=(const TLMAlarm&) = delete;

  const std::string& name() const;
  const std::shared_ptr<DispatchQueue>& queue() const { return queue_; }

  // Runs `block` on the queue `delaySeconds` from now (a past time runs it
  // as soon as the queue gets to it), replacing what was scheduled. An
  // empty block is refused (2000) and leaves the schedule as it was.
  void runAfterDelay(double delaySeconds, std::function<void()> block);
  // Nothing happens when nothing is scheduled.
  void cancel();
  // A timer exists and has not been cancelled.
  bool hasActiveTimer() const;
  // Seconds since 1970 at which the block is due, or none.
  std::optional<double> scheduledTimestamp() const;

 private:
  struct State;
  std::shared_ptr<DispatchQueue> queue_;
  std::shared_ptr<State> state_;
};
