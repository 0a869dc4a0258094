#include "tools/service/ServiceOptions.h"

#include <charconv>
#include <set>

namespace {

// Parses all of `text` as a decimal integer within [low, high].
bool parseInteger(const std::string& text, int low, int high, int* value) {
  int parsed = 0;
  const char* end = text.data() + text.size();
  const auto [stop, error] = std::from_chars(text.data(), end, parsed);
  if (text.empty() || error != std::errc() || stop != end) return false;
  if (parsed < low || parsed > high) return false;
  *value = parsed;
  return true;
}

}  // namespace

std::string serviceUsage() {
  return "usage: ferrolux-service [--host 127.0.0.1] [--port N] [--data DIR] [--config-dir DIR]\n"
         "                        [--port-file FILE]\n"
         "       ferrolux-service --data DIR --print [--limit N]\n"
         "\n"
         "  --host HOST       address to listen on; only 127.0.0.1 is allowed\n"
         "  --port N          port to listen on (default 8080; 0 picks a free port)\n"
         "  --data DIR        folder of the store service.sqlite (default "
         "./ferrolux-service-data)\n"
         "  --config-dir DIR  folder of measurement configurations named <app id>.pb\n"
         "  --port-file FILE  write the port number there once listening\n"
         "  --print           print what the store holds, newest first, and exit\n"
         "  --limit N         bundles to print (default 20)\n";
}

std::optional<ServiceOptions> parseServiceOptions(const std::vector<std::string>& arguments,
                                                  std::string* problem) {
  ServiceOptions options;
  std::set<std::string> seen;
  bool serverOption = false;
  bool limitGiven = false;
  auto fail = [&](const std::string& text) -> std::optional<ServiceOptions> {
    if (problem != nullptr) *problem = text;
    return std::nullopt;
  };
  for (std::size_t index = 0; index < arguments.size(); ++index) {
    const std::string& name = arguments[index];
    if (name == "--help" || name == "-h") {
      options.help = true;
      continue;
    }
    if (name == "--print") {
      if (options.print) return fail("--print given twice");
      options.print = true;
      continue;
    }
    static const std::set<std::string> kValued = {"--host",       "--port",      "--data",
                                                  "--config-dir", "--port-file", "--limit"};
    if (kValued.count(name) == 0) return fail("unknown argument: " + name);
    if (!seen.insert(name).second) return fail(name + " given twice");
    if (index + 1 >= arguments.size()) return fail(name + " needs a value");
    const std::string& value = arguments[++index];
    if (name == "--host") {
      if (value != kServiceHost) return fail("--host must be 127.0.0.1, not " + value);
      serverOption = true;
    } else if (name == "--port") {
      if (!parseInteger(value, 0, 65535, &options.port)) return fail("bad --port: " + value);
      serverOption = true;
    } else if (name == "--data") {
      if (value.empty()) return fail("--data needs a folder");
      options.dataDir = value;
    } else if (name == "--config-dir") {
      if (value.empty()) return fail("--config-dir needs a folder");
      options.configDir = value;
      serverOption = true;
    } else if (name == "--port-file") {
      if (value.empty()) return fail("--port-file needs a file name");
      options.portFile = value;
      serverOption = true;
    } else if (name == "--limit") {
      if (!parseInteger(value, 1, 1000000, &options.printLimit)) {
        return fail("bad --limit: " + value);
      }
      limitGiven = true;
    }
  }
  if (options.print && serverOption) return fail("--print takes only --data and --limit");
  if (limitGiven && !options.print) return fail("--limit needs --print");
  return options;
}
