// The contract between the app's executable and the game-engine framework
// that ships in the app bundle at "Frameworks/KelvoFramework.framework".
//
// The framework is a shared library whose file is named KelvoFramework. It
// exports one C symbol, `KelvoFrameworkPrincipalClass`, answering its
// principal class: a table of the messages the launcher sends. A missing
// entry, like a null instance, makes the message a no-op (as a message to
// nil would be). The launcher calls everything on the main thread.
#pragma once

#ifdef __cplusplus
extern "C" {
#endif

typedef struct KelvoPrincipalClass {
  // The engine framework object, or null.
  void* (*getInstance)(void);
  // The engine's app controller, or null when it has none yet.
  void* (*appController)(void* instance);
  // The address of the executable's own ELF header, so that the engine can
  // find the host image.
  void (*setExecuteHeader)(void* instance, const void* header);
  // Runs the app's main loop; returns when the app has terminated.
  int (*runUIApplicationMainWithArgc)(void* instance, int argc, char** argv);
} KelvoPrincipalClass;

#define KELVO_PRINCIPAL_CLASS_SYMBOL "KelvoFrameworkPrincipalClass"
typedef const KelvoPrincipalClass* (*KelvoPrincipalClassFunction)(void);

#ifdef __cplusplus
}
#endif
