// A scenario for the simulator: JSON Lines, one operation a line, read and
// checked as a whole before anything runs. Each line becomes a typed
// SimOp; a malformed line is reported with its number and what is wrong.
//
// A plain value, built in the simulator's parent process and copied into
// each process life's child by fork.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "ferrolux/Object.h"

// The clock's starting point when the scenario does not set one.
inline constexpr double kSimDefaultStartWall = 1767225600.0;
inline constexpr double kSimDefaultStartUptime = 1000.0;
// How deeply parameter values may nest (arrays and objects).
inline constexpr int kSimMaxParameterDepth = 16;

enum class SimOpKind {
  Start,
  Launch,
  LogEvent,
  SetUserProperty,
  SetUserID,
  SetCollectionEnabled,
  SetConsent,
  SetDefaultParams,
  SetSessionTimeout,
  Reset,
  AppState,
  Screen,
  OpenURL,
  Terminate,
  Crash,
  Wait,
};

enum class SimAppState { Active, Inactive, Background };

// What `launch` makes the app from.
struct SimLaunch {
  std::string appID;
  std::string bundleID;
  std::string appVersion;
  std::optional<std::string> osVersion;
  // Start options; none leaves the platform core's defaults.
  std::optional<bool> collectionEnabled;
  std::optional<bool> collectionDeactivated;
  bool configure = true;
};

struct SimOp {
  SimOpKind kind = SimOpKind::Wait;
  // 1-based line in the scenario file.
  int line = 0;
  // Seconds since the scenario's start at which the line runs.
  double t = 0;

  SimLaunch launch;                 // launch
  std::string name;                 // log_event, set_user_property; screen's class
  std::optional<std::string> text;  // origin, property value, user ID, screen name, URL
  OptionalObject parameters;        // log_event, set_default_params (nil: none)
  Object consent;                   // set_consent: a dictionary of strings
  bool enabled = false;             // set_collection_enabled
  double seconds = 0;               // set_session_timeout
  SimAppState state = SimAppState::Active;
  double wall = kSimDefaultStartWall;      // start
  double uptime = kSimDefaultStartUptime;  // start
};

// The scenario's op name for `kind` ("log_event").
const char* simOpName(SimOpKind kind);
// What --trace prints for `op`: "t=2.5 op=log_event line=3".
std::string simTraceLine(const SimOp& op);

struct SimScenario {
  std::string path;
  double startWall = kSimDefaultStartWall;
  double startUptime = kSimDefaultStartUptime;
  // Every line but the empty ones and `start`, in file order.
  std::vector<SimOp> ops;
};

// Parses `text` (the contents of the file named `path`). Returns none and
// fills `problem` ("PATH:LINE: what is wrong") for the first bad line.
std::optional<SimScenario> parseSimScenario(const std::string& path, const std::string& text,
                                            std::string* problem);
