// ferrolux-sim: runs a scenario of app operations against the real library
// on the deterministic platform, one child process per process life, with
// virtual time, uploading to a measurement service. See docs/sim.md.
#include <stdlib.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "config/TLMMeasurementServiceAddress.h"
#include "tools/sim/SimAppBundle.h"
#include "tools/sim/SimArguments.h"
#include "tools/sim/SimClock.h"
#include "tools/sim/SimLife.h"
#include "tools/sim/SimScenario.h"

namespace {

int complain(int status, const std::string& message) {
  std::fprintf(stderr, "ferrolux-sim: %s\n", message.c_str());
  return status;
}

// A folder for the lives' app bundles, removed with them at the end.
class ScratchFolder {
 public:
  ScratchFolder() {
    std::string pattern = (std::filesystem::temp_directory_path() / "ferrolux-sim-XXXXXX").string();
    if (::mkdtemp(pattern.data()) != nullptr) path_ = pattern;
  }
  ~ScratchFolder() {
    std::error_code ignored;
    if (!path_.empty()) std::filesystem::remove_all(path_, ignored);
  }
  ScratchFolder(const ScratchFolder&) = delete;
  ScratchFolder& operator=(const ScratchFolder&) = delete;
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

int run(const SimArguments& arguments, const SimScenario& scenario) {
  std::error_code error;
  for (const std::string& folder : {arguments.containerPath, arguments.keychainPath}) {
    std::filesystem::create_directories(folder, error);
    if (error) return complain(kSimExitFailed, "cannot create " + folder + ": " + error.message());
  }
  ScratchFolder scratch;
  if (scratch.path().empty()) return complain(kSimExitFailed, "cannot make a temporary folder");
  ::setenv(TLMMeasurementServiceAddress::kEnvironmentVariable, arguments.serviceURL.c_str(), 1);

  SimClock clock;
  clock.wall = scenario.startWall;
  clock.uptime = scenario.startUptime;
  clock.originUptime = scenario.startUptime;
  int lives = 0;
  std::size_t index = 0;
  while (index < scenario.ops.size()) {
    const SimOp& op = scenario.ops[index];
    clock.moveTo(op.t);
    if (op.kind == SimOpKind::Wait) {
      // Outside any life: only time passes.
      if (arguments.trace) std::fprintf(stderr, "%s\n", simTraceLine(op).c_str());
      ++index;
      continue;
    }
    SimLifePlan plan;
    plan.arguments = &arguments;
    plan.scenario = &scenario;
    plan.first = index;
    plan.end = simLifeEnd(scenario, index);
    plan.number = ++lives;
    plan.bundlePath = scratch.path() + "/life-" + std::to_string(lives) + "/SimApp.app";
    std::string problem;
    if (!simWriteAppBundle(plan.bundlePath, op.launch, &problem)) {
      return complain(kSimExitFailed, problem);
    }
    const SimLifeResult result = runSimLife(plan, clock);
    if (result.exitStatus != kSimExitOK) return result.exitStatus;
    clock = *result.clock;
    index = plan.end;
  }
  return kSimExitOK;
}

}  // namespace

int main(int argc, char** argv) {
  std::string problem;
  const std::optional<SimArguments> arguments =
      parseSimArguments(std::vector<std::string>(argv + 1, argv + argc), &problem);
  if (!arguments) {
    std::fprintf(stderr, "ferrolux-sim: %s\n%s\n", problem.c_str(), kSimUsage);
    return kSimExitMalformed;
  }
  std::ifstream file(arguments->scenarioPath, std::ios::binary);
  if (!file) return complain(kSimExitMalformed, "cannot read " + arguments->scenarioPath);
  const std::string text((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
  const std::optional<SimScenario> scenario =
      parseSimScenario(arguments->scenarioPath, text, &problem);
  if (!scenario) return complain(kSimExitMalformed, problem);
  return run(*arguments, *scenario);
}
