#include "tools/sim/SimArguments.h"

#include "config/TLMMeasurementServiceAddress.h"

namespace {

bool fail(std::string* problem, const std::string& what) {
  if (problem != nullptr) *problem = what;
  return false;
}

// Stores the value after option `arguments[*index]` into `target`.
bool takeValue(const std::vector<std::string>& arguments, std::size_t* index, std::string* target,
               std::string* problem) {
  const std::string& option = arguments[*index];
  if (!target->empty()) return fail(problem, option + " given twice");
  if (*index + 1 >= arguments.size() || arguments[*index + 1].empty()) {
    return fail(problem, option + " needs a value");
  }
  *target = arguments[++*index];
  return true;
}

}  // namespace

std::optional<SimArguments> parseSimArguments(const std::vector<std::string>& arguments,
                                              std::string* problem) {
  SimArguments parsed;
  std::string service;
  for (std::size_t index = 0; index < arguments.size(); ++index) {
    const std::string& argument = arguments[index];
    bool ok = true;
    if (argument == "--container") {
      ok = takeValue(arguments, &index, &parsed.containerPath, problem);
    } else if (argument == "--keychain") {
      ok = takeValue(arguments, &index, &parsed.keychainPath, problem);
    } else if (argument == "--service") {
      ok = takeValue(arguments, &index, &service, problem);
    } else if (argument == "--trace") {
      parsed.trace = true;
    } else if (argument.size() > 1 && argument[0] == '-') {
      ok = fail(problem, "unknown option " + argument);
    } else if (parsed.scenarioPath.empty()) {
      parsed.scenarioPath = argument;
    } else {
      ok = fail(problem, "more than one scenario: " + argument);
    }
    if (!ok) return std::nullopt;
  }
  if (parsed.scenarioPath.empty()) return fail(problem, "no scenario given"), std::nullopt;
  if (parsed.containerPath.empty()) return fail(problem, "--container is required"), std::nullopt;
  if (parsed.keychainPath.empty()) return fail(problem, "--keychain is required"), std::nullopt;
  if (service.empty()) return fail(problem, "--service is required"), std::nullopt;
  std::string why;
  std::optional<std::string> normalized =
      TLMMeasurementServiceAddress::normalizedBaseURL(service, &why);
  if (!normalized) {
    fail(problem, "--service " + service + " is not a usable address: " + why);
    return std::nullopt;
  }
  parsed.serviceURL = *normalized;
  return parsed;
}
