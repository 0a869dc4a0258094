#include "tools/sim/SimParameters.h"

#include <cmath>
#include <cstdint>
#include <limits>
#include <utility>

namespace {

bool fail(std::string* problem, std::string what) {
  if (problem != nullptr) *problem = std::move(what);
  return false;
}

bool convert(const nlohmann::json& value, int depthLeft, Object* out, std::string* problem) {
  switch (value.type()) {
    case nlohmann::json::value_t::null:
      *out = Object::null();
      return true;
    case nlohmann::json::value_t::boolean:
      *out = Object::boolean(value.get<bool>());
      return true;
    case nlohmann::json::value_t::string:
      *out = Object(value.get<std::string>());
      return true;
    case nlohmann::json::value_t::number_integer:
      *out = Object::integer(value.get<std::int64_t>());
      return true;
    case nlohmann::json::value_t::number_unsigned: {
      const std::uint64_t number = value.get<std::uint64_t>();
      if (number > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) {
        return fail(problem, "integer " + value.dump() + " is outside the 64-bit range");
      }
      *out = Object::integer(static_cast<std::int64_t>(number));
      return true;
    }
    case nlohmann::json::value_t::number_float: {
      const double number = value.get<double>();
      if (!std::isfinite(number)) return fail(problem, "number " + value.dump() + " is not finite");
      *out = Object::floating(number);
      return true;
    }
    case nlohmann::json::value_t::array: {
      if (depthLeft <= 0) return fail(problem, "values nest too deeply");
      ObjectArray items;
      items.reserve(value.size());
      for (const nlohmann::json& item : value) {
        Object converted;
        if (!convert(item, depthLeft - 1, &converted, problem)) return false;
        items.push_back(std::move(converted));
      }
      *out = Object::array(std::move(items));
      return true;
    }
    case nlohmann::json::value_t::object: {
      if (depthLeft <= 0) return fail(problem, "values nest too deeply");
      ObjectDictionary entries;
      for (const auto& [key, item] : value.items()) {
        Object converted;
        if (!convert(item, depthLeft - 1, &converted, problem)) return false;
        entries[Object(key)] = std::move(converted);
      }
      *out = Object::dictionary(std::move(entries));
      return true;
    }
    default:
      return fail(problem, "unsupported value " + value.dump());
  }
}

}  // namespace

std::optional<Object> simObjectFromJSON(const nlohmann::json& value, int maxDepth,
                                        std::string* problem) {
  Object out;
  if (!convert(value, maxDepth, &out, problem)) return std::nullopt;
  return out;
}
