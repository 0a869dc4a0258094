#include "engine/TLMAEU.h"

#include "platform/Application.h"
#include "platform/Bundle.h"
#include "platform/Platform.h"

// The device profile is fixed once the Platform is installed, so every
// answer is read from it directly; nothing is cached across Platforms.

bool TLMAEU::isOSSupported() {
  return Platform::current().device().osVersionComponents().major > 7;
}

std::string TLMAEU::systemVersion() { return Platform::current().device().osVersion(); }

std::string TLMAEU::deviceModel() { return Platform::current().device().deviceModel(); }

bool TLMAEU::isNOD() {
  const std::string model = deviceModel();
  return model == "x86_64" || model == "i386";
}

bool TLMAEU::isASRS() { return Platform::current().device().isSandboxInstallation(); }

bool TLMAEU::isFAS() {
  if (isNOD() || isASRS()) return false;
  return Platform::current().device().isAppStoreInstallation();
}

bool TLMAEU::isAEX() {
  Platform& platform = Platform::current();
  return platform.device().isAppExtension(platform.bundle().bundlePath());
}

Application* TLMAEU::sharedApplication() {
  if (isAEX()) return nullptr;
  return &Platform::current().application();
}
