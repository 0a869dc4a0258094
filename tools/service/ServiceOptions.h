// The service's command line:
//   ferrolux-service [--host 127.0.0.1] [--port N] [--data DIR]
//                    [--config-dir DIR] [--port-file FILE]
//   ferrolux-service --data DIR --print [--limit N]
// Pure parsing; nothing is opened or checked on disk here.
#pragma once

#include <optional>
#include <string>
#include <vector>

// The only address the service listens on: it stores whatever is posted,
// so it must never be reachable from another machine.
inline constexpr char kServiceHost[] = "127.0.0.1";
inline constexpr int kServiceDefaultPort = 8080;
inline constexpr char kServiceDefaultDataDir[] = "./ferrolux-service-data";
// Bundles printed by --print when no --limit is given.
inline constexpr int kServiceDefaultPrintLimit = 20;

// Exit statuses.
inline constexpr int kServiceExitOK = 0;
inline constexpr int kServiceExitFailure = 1;
inline constexpr int kServiceExitUsage = 2;

struct ServiceOptions {
  int port = kServiceDefaultPort;  // 0: any free port
  std::string dataDir = kServiceDefaultDataDir;
  std::optional<std::string> configDir;
  std::optional<std::string> portFile;
  bool print = false;
  int printLimit = kServiceDefaultPrintLimit;
  bool help = false;
};

// Parses the arguments after the program name. Returns nothing and fills
// `problem` when an option is unknown, lacks its value, repeats, has a value
// out of range, names a host other than 127.0.0.1, or mixes --print with the
// server's options.
[[nodiscard]] std::optional<ServiceOptions> parseServiceOptions(
    const std::vector<std::string>& arguments, std::string* problem);

// The usage text, ending with a newline.
std::string serviceUsage();
