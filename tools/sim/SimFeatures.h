// The library features that some ops need, and whether the running
// library serves them. A feature is served once the library registers, at
// its load step, the class (and selector) named here in the Platform's
// capability registry; until then the op is refused with a message rather
// than run against a stand-in that does nothing.
//
// Called in a process life's child after the library's load step.
#pragma once

#include <optional>
#include <string>

#include "tools/sim/SimScenario.h"

class CapabilityRegistry;

// The words for the feature `kind` needs that `registry` does not show
// ("screen-view reporting"); none when the op needs no such feature or the
// library serves it.
std::optional<std::string> simMissingFeature(SimOpKind kind, const CapabilityRegistry& registry);
