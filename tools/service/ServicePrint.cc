#include "tools/service/ServicePrint.h"

#include "tools/service/ServicePage.h"
#include "tools/service/ServiceText.h"

namespace {

std::string safe(std::string_view text) { return serviceTerminalSafe(text); }

std::string orNone(const std::optional<std::string>& text) { return text ? safe(*text) : "(none)"; }

std::string orNone(const std::optional<std::int64_t>& number) {
  return number ? std::to_string(*number) : "(none)";
}

std::string timeOrNone(const std::optional<std::int64_t>& millis) {
  return millis ? serviceDisplayTime(*millis) : "(no time)";
}

}  // namespace

bool printServiceStore(ServiceStore& store, std::int64_t limit, std::string* text,
                       std::string* problem) {
  const std::optional<StoreSummary> summary = store.summary(problem);
  if (!summary) return false;
  const std::optional<std::vector<StoredBundle>> bundles = store.bundles(0, limit, problem);
  if (!bundles) return false;
  std::string out = "batches: " + std::to_string(summary->batches) +
                    "\nbundles: " + std::to_string(summary->bundles) +
                    "\nevents: " + std::to_string(summary->events) +
                    "\nduplicates dropped: " + std::to_string(summary->duplicatesDropped) + "\n";
  for (const StoredBundle& bundle : *bundles) {
    out += "\nbundle " + std::to_string(bundle.id) + " (batch " + std::to_string(bundle.batchID) +
           ", received " + serviceDisplayTime(bundle.receivedAtMillis) + ")\n";
    out += "  app id: " + orNone(bundle.appID) + "\n";
    out += "  app instance id: " + orNone(bundle.appInstanceID) + "\n";
    out += "  bundle index: " + orNone(bundle.bundleIndex) + "\n";
    out += "  events: " + std::to_string(bundle.events.size()) + "\n";
    for (const StoredEvent& event : bundle.events) {
      out += "    " + safe(event.name) + " at " + timeOrNone(event.timestampMillis) + "\n";
      if (!event.params.is_object()) continue;
      for (const auto& [name, value] : event.params.items()) {
        out += "      " + safe(name) + " = " + safe(serviceValueText(value)) + "\n";
      }
    }
    out += "  user properties: " + std::to_string(bundle.userAttributes.size()) + "\n";
    for (const StoredUserAttribute& attribute : bundle.userAttributes) {
      out += "    " + safe(attribute.name) + " = " + safe(serviceValueText(attribute.value)) +
             " (set " + timeOrNone(attribute.setTimestampMillis) + ")\n";
    }
  }
  *text = std::move(out);
  return true;
}
