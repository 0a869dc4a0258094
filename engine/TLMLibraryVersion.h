// The library's version, as the engine, the monitor and uploads report it.
#pragma once

#include <cstdint>

inline constexpr char kFerroluxLibraryVersionString[] = "80300000";
inline constexpr std::int64_t kFerroluxLibraryVersion = 80300000;
// The version the component connector registers.
inline constexpr char kFerroluxConnectorVersionString[] = "8.3.0";
