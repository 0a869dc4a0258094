// The library's load step: what the original platform ran when the
// library's classes were loaded. The host calls FerroluxLibrary::load()
// once, on the main thread, after installing its Platform and before the
// app finishes launching.
//
// load() checks that the public interface and the engine come from the
// same version and throws QLFAnalyticsVersionMismatch when they do not:
// the one exception the library throws into the host. It then registers
// the library's own classes with the Platform's capability registry and
// runs the facade's and the engine's load steps. Repeated calls for the
// same installed Platform do nothing.
#pragma once

#include <stdexcept>
#include <string>
#include <string_view>

// Raised by FerroluxLibrary::load() when the versions differ.
class QLFAnalyticsVersionMismatch : public std::runtime_error {
 public:
  explicit QLFAnalyticsVersionMismatch(const std::string& reason) : std::runtime_error(reason) {}
  // The exception's name, "QLFAnalyticsVersionMismatch".
  static const char* name() { return "QLFAnalyticsVersionMismatch"; }
};

class FerroluxLibrary {
 public:
  FerroluxLibrary() = delete;

  static void load();

  // Throws QLFAnalyticsVersionMismatch when `facadeVersion` and
  // `engineVersion` differ.
  static void checkVersions(std::string_view facadeVersion, std::string_view engineVersion);
  // The mismatch exception's reason for the two versions.
  static std::string versionMismatchReason(std::string_view facadeVersion,
                                           std::string_view engineVersion);
};
