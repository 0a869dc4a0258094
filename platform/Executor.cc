#include "platform/Executor.h"

#include <cstdio>
#include <cstdlib>

void platformFatal(const char* message) {
  std::fprintf(stderr, "ferrolux: fatal: %s\n", message);
  std::fflush(stderr);
  std::abort();
}
