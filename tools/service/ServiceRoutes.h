// The service's HTTP interface:
//   POST   /a                       a serialized measurement batch (gzip allowed)
//   GET    /config/app/<app id>     <config dir>/<app id>.pb, with Last-Modified
//   GET    /                        the HTML page (?page=N)
//   GET    /api/summary             counts
//   GET    /api/bundles             newest first (?page=P&per_page=N)
//   GET    /api/events              newest first (?page=P&per_page=N)
//   GET    /api/batches             newest first (?page=P&per_page=N)
//   GET    /api/batches/<id>/raw    the stored batch bytes
//   POST, GET, DELETE /api/faults   the fault queue
// Handlers run on the HTTP layer's worker threads; everything they share is
// thread-safe. No handler lets an exception reach the HTTP layer.
#pragma once

#include <httplib.h>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "tools/service/ServiceFaults.h"
#include "tools/service/ServiceStore.h"

// The largest body accepted, before and after inflating.
inline constexpr std::size_t kServiceMaxBodySize = 16u * 1024 * 1024;
// The largest configuration file served.
inline constexpr std::size_t kServiceMaxConfigSize = 16u * 1024 * 1024;
// The longest app id looked up as a configuration file name.
inline constexpr std::size_t kServiceMaxAppIDLength = 255;
inline constexpr std::int64_t kServiceDefaultPerPage = 50;
inline constexpr std::int64_t kServiceMaxPerPage = 500;
inline constexpr std::int64_t kServiceMaxPage = 1000000000;

struct ServiceContext {
  ServiceStore* store = nullptr;
  ServiceFaults* faults = nullptr;
  std::optional<std::string> configDir;     // no folder: every configuration is missing
  std::function<std::int64_t()> nowMillis;  // wall time of arrival
};

// Installs every route on `server`; `context` must outlive it.
void installServiceRoutes(httplib::Server& server, const ServiceContext& context);

// Whether `appID` may name a file in the configuration folder: not empty,
// at most kServiceMaxAppIDLength bytes, no "/", "\", "..", control
// characters or leading ".".
[[nodiscard]] bool isServableAppID(const std::string& appID);
