#include "api/QLFAnalyticsUTF8.h"

#include "common/StringHelpers.h"
#include "engine/TLMMeasurement.h"
#include "upload/TLMMonitor.h"

namespace {

constexpr int kRefusalLevel = 3;

// A key is quoted in the location only when it is itself valid text.
std::string quoted(const Object& key) {
  const std::string* text = key.asString();
  if (text == nullptr || !tlm_isValidUTF8(*text)) return "a parameter";
  return "parameter \"" + *text + "\"";
}

std::optional<std::string> locate(const Object& value, const std::string& label, int depth) {
  if (const std::string* text = value.asString()) {
    if (tlm_isValidUTF8(*text)) return std::nullopt;
    return label;
  }
  // Nesting deeper than any value the library accepts is refused later
  // by the validator; stop here rather than recurse without bound.
  if (depth > 64) return std::nullopt;
  if (const ObjectDictionary* dictionary = value.asDictionary()) {
    for (const auto& [key, element] : *dictionary) {
      if (std::optional<std::string> found = locate(key, "the key of " + quoted(key), depth + 1)) {
        return found;
      }
      if (std::optional<std::string> found =
              locate(element, "the value of " + quoted(key), depth + 1)) {
        return found;
      }
    }
    return std::nullopt;
  }
  if (const ObjectArray* array = value.asArray()) {
    for (const Object& element : *array) {
      if (std::optional<std::string> found = locate(element, "an item of " + label, depth + 1)) {
        return found;
      }
    }
    return std::nullopt;
  }
  if (const ObjectSet* set = value.asSet()) {
    for (const Object& element : *set) {
      if (std::optional<std::string> found = locate(element, "an item of " + label, depth + 1)) {
        return found;
      }
    }
  }
  return std::nullopt;
}

}  // namespace

std::optional<std::string> QLFAnalyticsInvalidUTF8Location(const Object& value,
                                                           std::string_view label) {
  return locate(value, std::string(label), 0);
}

bool QLFAnalyticsRefuseInvalidUTF8(long code, std::string_view refusal,
                                   std::initializer_list<QLFLabelledValue> values) {
  for (const QLFLabelledValue& entry : values) {
    std::optional<std::string> location;
    if (entry.text != nullptr) {
      if (!tlm_isValidUTF8(*entry.text)) location = std::string(entry.label);
    } else if (entry.value != nullptr) {
      location = QLFAnalyticsInvalidUTF8Location(*entry.value, entry.label);
    }
    if (!location) continue;
    TLMMeasurement::monitor().logWithLevel(
        kRefusalLevel, code, std::string(refusal) + " Text is not valid UTF-8. Location",
        Object(*location));
    return true;
  }
  return false;
}
