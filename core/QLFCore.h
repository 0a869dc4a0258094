// The platform core's version and the logger tag of its analytics
// component. Constants; safe from any thread.
#pragma once

#include <string>

// The tag the analytics component's console messages carry.
inline constexpr char kQLFLoggerAnalytics[] = "[Quillfen/Analytics]";

// The platform core's version.
inline constexpr char kQLFQuillfenVersionString[] = "11.0.0";

std::string QLFQuillfenVersion();
