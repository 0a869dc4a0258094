// The demo game: a tiny engine main loop that drives the application
// through a short life. It launches, becomes active, plays some frames
// across a couple of screens, resigns active, goes to the background and
// terminates, draining the main queue every frame. It configures the
// platform core and logs a few events and user properties through the
// public analytics interface. It prints what it does.
// Runs on the main thread.
#pragma once

#include <cstdio>

class Platform;

class DemoGame {
 public:
  DemoGame(Platform& platform, std::FILE* out);
  // Returns 0 when every step of the life ran in order.
  int run(int argc, char** argv);

 private:
  void frame(int number);
  void say(const char* format, ...) __attribute__((format(printf, 2, 3)));

  Platform& platform_;
  std::FILE* out_;
  int failures_ = 0;
};
