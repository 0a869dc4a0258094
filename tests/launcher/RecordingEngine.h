// What the recording engine framework saw; read by the launcher tests.
#pragma once

#include <string>

struct RecordedLaunch {
  std::string messages;
  bool sameInstance = true;
  const void* header = nullptr;
  int argc = -1;
  char** argv = nullptr;
};

extern "C" {
typedef RecordedLaunch* (*RecordFunction)(void);
}
