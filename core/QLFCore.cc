#include "core/QLFCore.h"

std::string QLFQuillfenVersion() { return kQLFQuillfenVersionString; }
