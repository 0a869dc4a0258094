// The demo's game-engine framework: the principal class the launcher
// talks to. Its main loop is DemoGame's.
#include <cstdio>

#include "demo/DemoGame.h"
#include "launcher/EngineFramework.h"
#include "platform/Platform.h"

namespace {

struct Engine {
  void* appController = nullptr;
  const void* executableHeader = nullptr;
};

void* getInstance() {
  static Engine* engine = new Engine();  // lives as long as the process
  return engine;
}

void* appController(void* self) { return static_cast<Engine*>(self)->appController; }

void setExecuteHeader(void* self, const void* header) {
  static_cast<Engine*>(self)->executableHeader = header;
  std::printf("[demo] host image header at %p\n", header);
}

int runUIApplicationMain(void* self, int argc, char** argv) {
  Engine* engine = static_cast<Engine*>(self);
  std::shared_ptr<Platform> platform = Platform::installed();
  if (platform == nullptr) {
    std::fprintf(stderr, "[demo] no platform installed; nothing to run\n");
    return 1;
  }
  engine->appController = engine;  // the app is now under way
  DemoGame game(*platform, stdout);
  return game.run(argc, argv);
}

const KelvoPrincipalClass kPrincipalClass = {getInstance, appController, setExecuteHeader,
                                             runUIApplicationMain};

}  // namespace

extern "C" __attribute__((visibility("default"))) const KelvoPrincipalClass*
KelvoFrameworkPrincipalClass(void) {
  return &kPrincipalClass;
}
