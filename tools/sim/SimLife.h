// One process life of the simulated app: from a `launch` line to the
// `terminate` or `crash` that ends it, the next `launch`, or the end of the
// scenario. Each life runs in a child process of its own, so the library's
// process-wide objects start fresh as in a real launch; the parent never
// touches them. The container and keychain are files and carry over by
// themselves; the virtual clock comes back through a pipe.
#pragma once

#include <cstddef>
#include <optional>
#include <string>

#include "tools/sim/SimArguments.h"
#include "tools/sim/SimClock.h"
#include "tools/sim/SimScenario.h"

// Exit statuses of the simulator (and of a life's child).
inline constexpr int kSimExitOK = 0;
inline constexpr int kSimExitFailed = 1;
inline constexpr int kSimExitMalformed = 2;
inline constexpr int kSimExitUnserved = 3;

// Every life uses a fixed seed of its own, so the same scenario gives the
// same run and no two lives draw the same numbers.
inline constexpr std::uint64_t kSimSeedBase = 0x5eed0000;

struct SimLifePlan {
  const SimArguments* arguments = nullptr;
  const SimScenario* scenario = nullptr;
  // The life's ops: scenario->ops[first, end), the first a `launch`.
  std::size_t first = 0;
  std::size_t end = 0;
  // 1 for the first life; the first also checks every op's feature.
  int number = 1;
  std::string bundlePath;
};

struct SimLifeResult {
  int exitStatus = kSimExitOK;
  // The clock at the life's end; none when the life failed.
  std::optional<SimClock> clock;
};

// The index after the last op of the life that starts at `first`.
std::size_t simLifeEnd(const SimScenario& scenario, std::size_t first);

// Forks the child, runs the life there and waits for it. Called in the
// parent. Messages about failures are written to standard error.
SimLifeResult runSimLife(const SimLifePlan& plan, const SimClock& clock);
