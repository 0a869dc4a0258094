// Runs a scenario's ops against the library and the Platform of one
// process life: the public analytics interface for the measurement calls,
// the Application for lifecycle, windows and view controllers for screens,
// the Application's URL delivery for opened URLs.
//
// Used in a process life's child, on its main thread (the one that made
// the deterministic Platform), with the library loaded.
#pragma once

#include <memory>
#include <string>

#include "tools/sim/SimScenario.h"

class Platform;
class Window;

class SimOpRunner {
 public:
  explicit SimOpRunner(Platform& platform);

  // Runs `op` (not `start`, `wait` or `crash`, which the life itself
  // handles). Returns false and fills `problem` when the app refuses a
  // step (a lifecycle change out of order, a class that cannot be made).
  [[nodiscard]] bool run(const SimOp& op, std::string* problem);

 private:
  bool launch(const SimLaunch& launch, std::string* problem);
  bool moveTo(SimAppState state, std::string* problem);
  bool terminate(std::string* problem);
  bool screen(const SimOp& op, std::string* problem);
  bool openURL(const std::string& url, std::string* problem);

  Platform& platform_;
  // The app's one window, made by its first screen.
  std::shared_ptr<Window> window_;
};
