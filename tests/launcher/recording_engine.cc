// A stand-in engine framework that records the messages it receives.
// KELVO_TEST_HAS_CONTROLLER=1 makes `appController` answer non-nil;
// KELVO_TEST_NO_INSTANCE=1 makes `getInstance` answer nil.
#include <cstdlib>
#include <cstring>
#include <string>

#include "launcher/EngineFramework.h"
#include "tests/launcher/RecordingEngine.h"

namespace {

RecordedLaunch record;
int instance;
int controller;

bool envIs(const char* name) {
  const char* value = std::getenv(name);
  return value != nullptr && std::strcmp(value, "1") == 0;
}

void* getInstance() {
  record.messages += "getInstance;";
  return envIs("KELVO_TEST_NO_INSTANCE") ? nullptr : &instance;
}

void* appController(void* self) {
  record.messages += "appController;";
  record.sameInstance = record.sameInstance && self == &instance;
  return envIs("KELVO_TEST_HAS_CONTROLLER") ? &controller : nullptr;
}

void setExecuteHeader(void* self, const void* header) {
  record.messages += "setExecuteHeader;";
  record.sameInstance = record.sameInstance && self == &instance;
  record.header = header;
}

int runMain(void* self, int argc, char** argv) {
  record.messages += "runUIApplicationMain;";
  record.sameInstance = record.sameInstance && self == &instance;
  record.argc = argc;
  record.argv = argv;
  return 7;  // the launcher must still answer 0
}

const KelvoPrincipalClass principal = {getInstance, appController, setExecuteHeader, runMain};

}  // namespace

extern "C" __attribute__((visibility("default"))) const KelvoPrincipalClass*
KelvoFrameworkPrincipalClass(void) {
  return &principal;
}

extern "C" __attribute__((visibility("default"))) RecordedLaunch* kelvoTestRecord(void) {
  return &record;
}
