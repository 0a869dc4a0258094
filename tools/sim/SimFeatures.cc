#include "tools/sim/SimFeatures.h"

#include "platform/CapabilityRegistry.h"

namespace {

struct SimFeature {
  SimOpKind kind;
  const char* words;
  const char* className;
  // Null: the class alone says it.
  const char* selector;
};

// The one table of gated ops.
constexpr SimFeature kFeatures[] = {
    {SimOpKind::Screen, "screen-view reporting", "TLMScreenViewReporter", nullptr},
    {SimOpKind::OpenURL, "deep-link handling", "TLMMeasurement",
     "handleOpenURLOnWorkerQueue:clickTimestampInMs:eventTimestampInSeconds:extraParameters:"},
};

}  // namespace

std::optional<std::string> simMissingFeature(SimOpKind kind, const CapabilityRegistry& registry) {
  for (const SimFeature& feature : kFeatures) {
    if (feature.kind != kind) continue;
    const bool served = feature.selector == nullptr
                            ? registry.classExists(feature.className)
                            : registry.respondsToSelector(feature.className, feature.selector);
    if (!served) return std::string(feature.words);
  }
  return std::nullopt;
}
