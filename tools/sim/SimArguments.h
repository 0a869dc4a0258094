// The simulator's command line:
//   ferrolux-sim SCENARIO.jsonl --container DIR --keychain DIR --service URL [--trace]
#pragma once

#include <optional>
#include <string>
#include <vector>

struct SimArguments {
  std::string scenarioPath;
  std::string containerPath;
  std::string keychainPath;
  // Normalised ("http://127.0.0.1:8080", no trailing "/").
  std::string serviceURL;
  bool trace = false;
};

inline constexpr char kSimUsage[] =
    "usage: ferrolux-sim SCENARIO.jsonl --container DIR --keychain DIR --service URL [--trace]";

// None, with `problem` filled, when an option is unknown, repeated or
// missing its value, a required one is absent, or the service address is
// not one the library accepts.
std::optional<SimArguments> parseSimArguments(const std::vector<std::string>& arguments,
                                              std::string* problem);
