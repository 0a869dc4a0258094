#include "launcher/Launcher.h"

#include <dlfcn.h>

#include "launcher/EngineFramework.h"

namespace {

// Opens the framework, or answers the image already loaded at that path.
void* openFramework(const std::string& path) {
  void* handle = dlopen(path.c_str(), RTLD_NOW | RTLD_NOLOAD | RTLD_GLOBAL);
  if (handle == nullptr) handle = dlopen(path.c_str(), RTLD_NOW | RTLD_GLOBAL);
  return handle;
}

const KelvoPrincipalClass* principalClass(void* framework) {
  if (framework == nullptr) return nullptr;
  auto function =
      reinterpret_cast<KelvoPrincipalClassFunction>(dlsym(framework, KELVO_PRINCIPAL_CLASS_SYMBOL));
  return function != nullptr ? function() : nullptr;
}

}  // namespace

int launchEngineFramework(const std::string& bundlePath, int argc, char** argv,
                          const void* executableHeader) {
  const std::string frameworkPath =
      bundlePath + kEngineFrameworkPath + "/" + kEngineFrameworkExecutable;
  // The framework stays loaded for the life of the process.
  const KelvoPrincipalClass* engineClass = principalClass(openFramework(frameworkPath));

  void* engine = (engineClass != nullptr && engineClass->getInstance != nullptr)
                     ? engineClass->getInstance()
                     : nullptr;
  if (engine == nullptr) return 0;

  void* controller =
      engineClass->appController != nullptr ? engineClass->appController(engine) : nullptr;
  if (controller == nullptr && engineClass->setExecuteHeader != nullptr) {
    engineClass->setExecuteHeader(engine, executableHeader);
  }
  if (engineClass->runUIApplicationMainWithArgc != nullptr) {
    engineClass->runUIApplicationMainWithArgc(engine, argc, argv);
  }
  return 0;
}
