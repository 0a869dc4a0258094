// The measurement service's base address ("https://host[:port]"), which is
// configuration of the deployment, never a compiled-in host.
//
// Looked up in this order; the first place that holds a value decides:
//   1. the environment variable FERROLUX_MEASUREMENT_SERVICE_URL (tools,
//      local runs);
//   2. the key "FerroluxMeasurementServiceURL" of the platform configuration
//      file "TarvixService-Info.plist" in the app bundle;
//   3. the same key in the bundle's Info.plist.
// The engine may also be given an address directly (tests, tools), which
// replaces the lookup. See docs/measurement-service-address.md.
//
// An address is a scheme, a host and an optional port, with nothing after
// them but an optional "/". https is required except for loopback hosts
// (127.0.0.1, ::1, localhost), where http is allowed. A value that breaks
// these rules is not used: there is then no address and nothing is sent.
//
// Needs the installed Platform for the bundle lookups. Safe from any thread.
#pragma once

#include <optional>
#include <string>
#include <string_view>

class TLMMeasurementServiceAddress {
 public:
  static constexpr const char* kEnvironmentVariable = "FERROLUX_MEASUREMENT_SERVICE_URL";
  static constexpr const char* kInfoDictionaryKey = "FerroluxMeasurementServiceURL";

  // The configured base address, normalised (no trailing "/"), or none
  // when no place holds one or the value held is not a valid address;
  // `problem`, when given, then says why in words for the monitor.
  static std::optional<std::string> configuredBaseURL(std::string* problem = nullptr);

  // `text` as a base address ("scheme://host[:port]", lower-case scheme,
  // no trailing "/"), or none, filling `problem`, when it is not one.
  static std::optional<std::string> normalizedBaseURL(std::string_view text,
                                                      std::string* problem = nullptr);

  // The "host[:port]" part of a normalised address (what HRNNetwork watches
  // for reachability).
  static std::string hostOfBaseURL(std::string_view baseURL);
};
