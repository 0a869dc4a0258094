// The service's HTML page: newest bundles first, one page at a time,
// rendered on the server so it works without JavaScript. Every stored
// string is escaped, so nothing a posted bundle holds can become markup.
// Pure functions, safe from any thread.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "tools/service/ServiceStore.h"

inline constexpr std::int64_t kServicePageBundles = 50;

// Page `page` (1 = newest) of the bundles `summary` counts, showing
// `bundles`.
std::string renderServicePage(const StoreSummary& summary, std::int64_t page,
                              const std::vector<StoredBundle>& bundles);

// A parameter or property value as text: strings quoted, numbers as they
// are, arrays of items in JSON.
std::string serviceValueText(const nlohmann::json& value);
