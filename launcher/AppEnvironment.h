// Where the running app's bundle, container and keychain are, for the
// executable's entry point.
#pragma once

#include "platform/Platform.h"

// The main bundle is the folder holding the executable, unless
// FERROLUX_BUNDLE_PATH names another. The container is
// FERROLUX_CONTAINER_DIR, else
// "$HOME/.local/share/ferrolux/containers/<bundle identifier>"; the keychain
// is FERROLUX_KEYCHAIN_DIR, else "$HOME/.local/share/ferrolux/keychain".
PlatformPaths appPathsFromEnvironment();
