#include "tools/sim/SimScenario.h"

#include <charconv>
#include <cmath>
#include <nlohmann/json.hpp>
#include <set>
#include <sstream>
#include <utility>

#include "tools/sim/SimParameters.h"

namespace {

using nlohmann::json;

// A malformed line; caught where the line is parsed.
struct LineError {
  std::string what;
};

struct OpName {
  const char* name;
  SimOpKind kind;
};

// The one table of op names.
constexpr OpName kOpNames[] = {
    {"start", SimOpKind::Start},
    {"launch", SimOpKind::Launch},
    {"log_event", SimOpKind::LogEvent},
    {"set_user_property", SimOpKind::SetUserProperty},
    {"set_user_id", SimOpKind::SetUserID},
    {"set_collection_enabled", SimOpKind::SetCollectionEnabled},
    {"set_consent", SimOpKind::SetConsent},
    {"set_default_params", SimOpKind::SetDefaultParams},
    {"set_session_timeout", SimOpKind::SetSessionTimeout},
    {"reset", SimOpKind::Reset},
    {"app_state", SimOpKind::AppState},
    {"screen", SimOpKind::Screen},
    {"open_url", SimOpKind::OpenURL},
    {"terminate", SimOpKind::Terminate},
    {"crash", SimOpKind::Crash},
    {"wait", SimOpKind::Wait},
};

std::string quoted(const std::string& text) { return json(text).dump(); }

// Reads the fields of one line's object, remembering which were read so
// that any other field is reported as unknown.
class FieldReader {
 public:
  FieldReader(const json& object, const char* op) : object_(object), op_(op) {}

  const json* find(const char* key) {
    used_.insert(key);
    const auto found = object_.find(key);
    return found == object_.end() ? nullptr : &*found;
  }

  std::string requiredString(const char* key, bool allowEmpty = false) {
    const json* value = find(key);
    if (value == nullptr) throw LineError{missing(key)};
    return stringValue(key, *value, allowEmpty);
  }
  std::optional<std::string> optionalString(const char* key) {
    const json* value = find(key);
    if (value == nullptr) return std::nullopt;
    return stringValue(key, *value, false);
  }
  // Present and a string or null (null: none).
  std::optional<std::string> requiredStringOrNull(const char* key) {
    const json* value = find(key);
    if (value == nullptr) throw LineError{missing(key)};
    if (value->is_null()) return std::nullopt;
    if (!value->is_string()) throw LineError{wrongType(key, "a string or null", *value)};
    return value->get<std::string>();
  }
  std::optional<bool> optionalBool(const char* key) {
    const json* value = find(key);
    if (value == nullptr) return std::nullopt;
    if (!value->is_boolean()) throw LineError{wrongType(key, "true or false", *value)};
    return value->get<bool>();
  }
  bool requiredBool(const char* key) {
    if (find(key) == nullptr) throw LineError{missing(key)};
    return *optionalBool(key);
  }
  std::optional<double> optionalNumber(const char* key) {
    const json* value = find(key);
    if (value == nullptr) return std::nullopt;
    if (!value->is_number()) throw LineError{wrongType(key, "a number", *value)};
    const double number = value->get<double>();
    if (!std::isfinite(number)) throw LineError{"\"" + std::string(key) + "\" is not finite"};
    return number;
  }
  double requiredNumber(const char* key) {
    if (find(key) == nullptr) throw LineError{missing(key)};
    return *optionalNumber(key);
  }
  // A parameters object, or null for none.
  OptionalObject parametersOrNull(const char* key, bool required) {
    const json* value = find(key);
    if (value == nullptr) {
      if (required) throw LineError{missing(key)};
      return std::nullopt;
    }
    if (value->is_null()) return std::nullopt;
    if (!value->is_object()) throw LineError{wrongType(key, "an object or null", *value)};
    std::string problem;
    std::optional<Object> converted = simObjectFromJSON(*value, kSimMaxParameterDepth, &problem);
    if (!converted) throw LineError{"\"" + std::string(key) + "\": " + problem};
    return converted;
  }

  // Every field present was read.
  void finish() const {
    for (const auto& [key, value] : object_.items()) {
      if (used_.count(key) == 0) {
        throw LineError{"unknown field " + quoted(key) + " for op \"" + op_ + "\""};
      }
    }
  }

 private:
  std::string stringValue(const char* key, const json& value, bool allowEmpty) const {
    if (!value.is_string()) throw LineError{wrongType(key, "a string", value)};
    std::string text = value.get<std::string>();
    if (text.empty() && !allowEmpty) throw LineError{"\"" + std::string(key) + "\" is empty"};
    return text;
  }
  std::string missing(const char* key) const { return "op \"" + op_ + "\" needs \"" + key + "\""; }
  static std::string wrongType(const char* key, const char* wanted, const json& value) {
    return "\"" + std::string(key) + "\" must be " + wanted + ", not " + value.dump();
  }

  const json& object_;
  std::string op_;
  std::set<std::string> used_;
};

SimAppState appStateNamed(const std::string& name) {
  if (name == "active") return SimAppState::Active;
  if (name == "inactive") return SimAppState::Inactive;
  if (name == "background") return SimAppState::Background;
  throw LineError{"\"state\" must be \"active\", \"inactive\" or \"background\", not " +
                  quoted(name)};
}

void readLaunch(FieldReader& fields, SimLaunch* launch) {
  launch->appID = fields.requiredString("app_id");
  launch->bundleID = fields.requiredString("bundle_id");
  launch->appVersion = fields.requiredString("app_version");
  launch->osVersion = fields.optionalString("os_version");
  if (const json* options = fields.find("options")) {
    if (!options->is_object()) {
      throw LineError{"\"options\" must be an object, not " + options->dump()};
    }
    for (const auto& [key, value] : options->items()) {
      std::optional<bool>* target = nullptr;
      if (key == "QUILLFEN_ANALYTICS_COLLECTION_ENABLED") target = &launch->collectionEnabled;
      if (key == "QUILLFEN_ANALYTICS_COLLECTION_DEACTIVATED") {
        target = &launch->collectionDeactivated;
      }
      if (target == nullptr) throw LineError{"unknown start option " + quoted(key)};
      if (!value.is_boolean()) {
        throw LineError{"start option " + quoted(key) + " must be true or false"};
      }
      *target = value.get<bool>();
    }
  }
  launch->configure = fields.optionalBool("configure").value_or(true);
}

void readConsent(FieldReader& fields, SimOp* op) {
  const json* consent = fields.find("consent");
  if (consent == nullptr) throw LineError{"op \"set_consent\" needs \"consent\""};
  if (!consent->is_object()) {
    throw LineError{"\"consent\" must be an object, not " + consent->dump()};
  }
  ObjectDictionary settings;
  for (const auto& [type, status] : consent->items()) {
    if (!status.is_string()) {
      throw LineError{"consent " + quoted(type) + " must be a string, not " + status.dump()};
    }
    settings[Object(type)] = Object(status.get<std::string>());
  }
  op->consent = Object::dictionary(std::move(settings));
}

// The op-specific fields of one line.
void readFields(FieldReader& fields, SimOp* op) {
  switch (op->kind) {
    case SimOpKind::Start:
      op->wall = fields.optionalNumber("wall").value_or(kSimDefaultStartWall);
      op->uptime = fields.optionalNumber("uptime").value_or(kSimDefaultStartUptime);
      if (op->uptime < 0) throw LineError{"\"uptime\" must not be negative"};
      break;
    case SimOpKind::Launch:
      readLaunch(fields, &op->launch);
      break;
    case SimOpKind::LogEvent:
      op->name = fields.requiredString("name");
      op->parameters = fields.parametersOrNull("params", false);
      op->text = fields.optionalString("origin");
      break;
    case SimOpKind::SetUserProperty:
      op->name = fields.requiredString("name");
      op->text = fields.requiredStringOrNull("value");
      break;
    case SimOpKind::SetUserID:
      op->text = fields.requiredStringOrNull("value");
      break;
    case SimOpKind::SetCollectionEnabled:
      op->enabled = fields.requiredBool("value");
      break;
    case SimOpKind::SetConsent:
      readConsent(fields, op);
      break;
    case SimOpKind::SetDefaultParams:
      op->parameters = fields.parametersOrNull("params", true);
      break;
    case SimOpKind::SetSessionTimeout:
      op->seconds = fields.requiredNumber("seconds");
      break;
    case SimOpKind::AppState:
      op->state = appStateNamed(fields.requiredString("state"));
      break;
    case SimOpKind::Screen:
      op->name = fields.requiredString("class");
      op->text = fields.optionalString("name");
      break;
    case SimOpKind::OpenURL:
      op->text = fields.requiredString("url");
      break;
    case SimOpKind::Reset:
    case SimOpKind::Terminate:
    case SimOpKind::Crash:
    case SimOpKind::Wait:
      break;
  }
}

// One non-empty line. `previousT` is the time of the line before.
SimOp parseLine(const std::string& text, int line, double previousT) {
  json object = json::parse(text, nullptr, false);
  if (object.is_discarded()) throw LineError{"not valid JSON"};
  if (!object.is_object()) throw LineError{"not a JSON object"};
  const auto opField = object.find("op");
  if (opField == object.end()) throw LineError{"missing \"op\""};
  if (!opField->is_string()) throw LineError{"\"op\" must be a string, not " + opField->dump()};
  const std::string opName = opField->get<std::string>();
  SimOp op;
  op.line = line;
  bool known = false;
  for (const OpName& entry : kOpNames) {
    if (opName == entry.name) {
      op.kind = entry.kind;
      known = true;
    }
  }
  if (!known) throw LineError{"unknown op " + quoted(opName)};

  FieldReader fields(object, opName.c_str());
  fields.find("op");
  op.t = fields.optionalNumber("t").value_or(previousT);
  if (op.t < 0) throw LineError{"\"t\" must not be negative"};
  if (op.t < previousT) {
    std::ostringstream message;
    message << "time goes backwards: \"t\" " << op.t << " is before the previous line's "
            << previousT;
    throw LineError{message.str()};
  }
  readFields(fields, &op);
  fields.finish();
  return op;
}

// Which ops may come where: `start` first, nothing but `wait` outside a
// process life.
void checkOrder(const SimOp& op, bool first, bool inLife) {
  if (op.kind == SimOpKind::Start) {
    if (!first) throw LineError{"\"start\" may only be the first op"};
    if (op.t != 0) throw LineError{"\"start\" runs at \"t\" 0"};
    return;
  }
  if (!inLife && op.kind != SimOpKind::Launch && op.kind != SimOpKind::Wait) {
    throw LineError{"no process life: launch first"};
  }
}

}  // namespace

const char* simOpName(SimOpKind kind) {
  for (const OpName& entry : kOpNames) {
    if (entry.kind == kind) return entry.name;
  }
  return "?";
}

std::string simTraceLine(const SimOp& op) {
  char t[32];
  const auto end = std::to_chars(t, t + sizeof t, op.t).ptr;
  return "t=" + std::string(t, end) + " op=" + simOpName(op.kind) +
         " line=" + std::to_string(op.line);
}

std::optional<SimScenario> parseSimScenario(const std::string& path, const std::string& text,
                                            std::string* problem) {
  SimScenario scenario;
  scenario.path = path;
  std::istringstream lines(text);
  std::string line;
  int number = 0;
  double previousT = 0;
  bool first = true;
  bool inLife = false;
  while (std::getline(lines, line)) {
    ++number;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.find_first_not_of(" \t") == std::string::npos) continue;
    try {
      SimOp op = parseLine(line, number, previousT);
      checkOrder(op, first, inLife);
      first = false;
      previousT = op.t;
      if (op.kind == SimOpKind::Start) {
        scenario.startWall = op.wall;
        scenario.startUptime = op.uptime;
        continue;
      }
      if (op.kind == SimOpKind::Launch) inLife = true;
      if (op.kind == SimOpKind::Terminate || op.kind == SimOpKind::Crash) inLife = false;
      scenario.ops.push_back(std::move(op));
    } catch (const LineError& error) {
      if (problem != nullptr) *problem = path + ":" + std::to_string(number) + ": " + error.what;
      return std::nullopt;
    }
  }
  return scenario;
}
