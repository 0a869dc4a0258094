// The --print mode: what the store holds, as text for a terminal.
#pragma once

#include <cstdint>
#include <string>

#include "tools/service/ServiceStore.h"

// The counts, then the newest `limit` bundles with their events (with
// parameters) and user properties. Returns false and fills `problem` when
// the store cannot be read.
[[nodiscard]] bool printServiceStore(ServiceStore& store, std::int64_t limit, std::string* text,
                                     std::string* problem);
