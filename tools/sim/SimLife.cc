#include "tools/sim/SimLife.h"

#include <fcntl.h>
#include <string.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <exception>
#include <memory>

#include "ferrolux/FerroluxLibrary.h"
#include "platform/DeterministicExecutor.h"
#include "platform/DeviceProfile.h"
#include "platform/Platform.h"
#include "tools/sim/SimFeatures.h"
#include "tools/sim/SimOps.h"

namespace {

void say(const std::string& line) {
  std::fprintf(stderr, "ferrolux-sim: %s\n", line.c_str());
  std::fflush(stderr);
}

std::string where(const SimScenario& scenario, const SimOp& op) {
  return scenario.path + ":" + std::to_string(op.line) + ": ";
}

// A vendor identifier that stays the same for the app across lives and
// runs, as the device's does: FNV-1a of the bundle identifier, as a UUID.
std::string vendorIdentifierFor(const std::string& bundleID) {
  std::uint64_t halves[2] = {0xcbf29ce484222325ULL, 0x84222325cbf29ce4ULL};
  for (std::uint64_t& hash : halves) {
    for (unsigned char c : bundleID) {
      hash ^= c;
      hash *= 0x100000001b3ULL;
    }
  }
  char text[40];
  std::snprintf(text, sizeof text, "%08llX-%04llX-%04llX-%04llX-%012llX",
                static_cast<unsigned long long>(halves[0] >> 32),
                static_cast<unsigned long long>((halves[0] >> 16) & 0xffff),
                static_cast<unsigned long long>(halves[0] & 0xffff),
                static_cast<unsigned long long>(halves[1] >> 48),
                static_cast<unsigned long long>(halves[1] & 0xffffffffffffULL));
  return text;
}

[[noreturn]] void leave(int status) {
  std::fflush(stderr);
  ::_exit(status);
}

// The child's whole life. Never returns.
[[noreturn]] void liveInChild(const SimLifePlan& plan, const SimClock& start, int clockFd) {
  const SimScenario& scenario = *plan.scenario;
  const SimArguments& arguments = *plan.arguments;
  const SimLaunch& launch = scenario.ops[plan.first].launch;

  DeviceProfile device;
  if (launch.osVersion) device.setOSVersion(*launch.osVersion);
  device.setVendorIdentifier(vendorIdentifierFor(launch.bundleID));
  PlatformPaths paths;
  paths.bundlePath = plan.bundlePath;
  paths.containerPath = arguments.containerPath;
  paths.keychainPath = arguments.keychainPath;
  std::shared_ptr<Platform> platform = Platform::createDeterministic(
      paths, device, kSimSeedBase + static_cast<std::uint64_t>(plan.number), start.wall,
      start.uptime);
  Platform::install(platform);
  try {
    FerroluxLibrary::load();
  } catch (const std::exception& error) {
    say(std::string("the library did not load: ") + error.what());
    leave(kSimExitFailed);
  }

  // Refused before anything runs, so a scenario never half runs.
  if (plan.number == 1) {
    for (std::size_t index = plan.first; index < scenario.ops.size(); ++index) {
      const SimOp& op = scenario.ops[index];
      if (std::optional<std::string> missing =
              simMissingFeature(op.kind, platform->capabilities())) {
        say(where(scenario, op) + "op \"" + simOpName(op.kind) + "\" needs " + *missing +
            ", which the library does not provide yet");
        leave(kSimExitUnserved);
      }
    }
  }

  DeterministicExecutor& executor = *platform->deterministicExecutor();
  SimOpRunner runner(*platform);
  bool crashed = false;
  for (std::size_t index = plan.first; index < plan.end && !crashed; ++index) {
    const SimOp& op = scenario.ops[index];
    const double behind = op.t - (platform->clock().uptime() - start.originUptime);
    if (behind > 0) executor.advance(behind);
    if (arguments.trace) {
      std::fprintf(stderr, "%s\n", simTraceLine(op).c_str());
      std::fflush(stderr);
    }
    if (op.kind == SimOpKind::Crash) {
      crashed = true;
      continue;
    }
    std::string problem;
    if (!runner.run(op, &problem)) {
      say(where(scenario, op) + problem);
      leave(kSimExitFailed);
    }
    executor.runUntilIdle();
  }

  SimClock end;
  end.wall = platform->clock().now();
  end.uptime = platform->clock().uptime();
  end.originUptime = start.originUptime;
  if (!simWriteAll(clockFd, end.encode())) leave(kSimExitFailed);
  ::close(clockFd);
  // A crash ends the process where it stands: no handler, no flush.
  if (crashed) ::_exit(kSimExitOK);
  // Otherwise the process exits normally, running what the platform runs
  // at exit (the preference store saves).
  std::fflush(stderr);
  std::exit(kSimExitOK);
}

}  // namespace

std::size_t simLifeEnd(const SimScenario& scenario, std::size_t first) {
  std::size_t index = first + 1;
  for (; index < scenario.ops.size(); ++index) {
    const SimOpKind kind = scenario.ops[index].kind;
    if (kind == SimOpKind::Launch) return index;
    if (kind == SimOpKind::Terminate || kind == SimOpKind::Crash) return index + 1;
  }
  return index;
}

SimLifeResult runSimLife(const SimLifePlan& plan, const SimClock& clock) {
  SimLifeResult result;
  result.exitStatus = kSimExitFailed;
  const SimOp& launchOp = plan.scenario->ops[plan.first];
  const std::string life = "process life " + std::to_string(plan.number) + " (line " +
                           std::to_string(launchOp.line) + ")";
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0) {
    say(std::string("cannot make a pipe: ") + ::strerror(errno));
    return result;
  }
  std::fflush(stdout);
  std::fflush(stderr);
  const pid_t pid = ::fork();
  if (pid < 0) {
    say(std::string("cannot start ") + life + ": " + ::strerror(errno));
    ::close(fds[0]);
    ::close(fds[1]);
    return result;
  }
  if (pid == 0) {
    ::close(fds[0]);
    liveInChild(plan, clock, fds[1]);
  }
  ::close(fds[1]);
  const std::optional<std::string> text = simReadAll(fds[0]);
  ::close(fds[0]);
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) {
      say(std::string("lost ") + life + ": " + ::strerror(errno));
      return result;
    }
  }
  if (WIFSIGNALED(status)) {
    say(life + " ended by signal " + std::to_string(WTERMSIG(status)) + " (" +
        ::strsignal(WTERMSIG(status)) + ")");
    return result;
  }
  const int exitStatus = WIFEXITED(status) ? WEXITSTATUS(status) : kSimExitFailed;
  if (exitStatus != kSimExitOK) {
    result.exitStatus = exitStatus == kSimExitUnserved ? kSimExitUnserved : kSimExitFailed;
    return result;
  }
  result.clock = text ? SimClock::decode(*text) : std::nullopt;
  if (!result.clock) {
    say(life + " ended without handing back the clock");
    return result;
  }
  result.exitStatus = kSimExitOK;
  return result;
}
