// The app's executable. The operating system's services (here the
// Platform) and the library's load step come before the app's code runs;
// then the launcher hands the process to the game engine in the app bundle.
#include <elf.h>
#include <link.h>

#include <memory>
#include <string>
#include <vector>

#include "ferrolux/FerroluxLibrary.h"
#include "launcher/AppEnvironment.h"
#include "launcher/Launcher.h"
#include "platform/Platform.h"

// The linker's symbol for the first byte of this executable's image: its
// ELF header.
extern "C" const ElfW(Ehdr) __ehdr_start;

int main(int argc, char** argv) {
  PlatformPaths paths = appPathsFromEnvironment();
  // Installed for the life of the process and never destroyed.
  std::shared_ptr<Platform> platform = Platform::createProduction(paths);
  platform->setLaunchArguments(std::vector<std::string>(argv, argv + argc));
  Platform::install(platform);
  // The library's classes are loaded before the app's code runs. A version
  // mismatch is thrown here and ends the process, as intended.
  FerroluxLibrary::load();
  return launchEngineFramework(paths.bundlePath, argc, argv, &__ehdr_start);
}
