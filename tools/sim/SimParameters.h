// Scenario parameter values, from JSON to the library's Object: a string
// is a string; an integer literal an integer number; a literal with a
// fraction or exponent a floating number; true/false boolean numbers;
// null the null value; arrays and objects arrays and dictionaries (so an
// array of objects is an array of dictionaries).
#pragma once

#include <nlohmann/json.hpp>
#include <optional>
#include <string>

#include "ferrolux/Object.h"

// `value` as an Object. None, with `problem` filled, for an integer
// outside the signed 64-bit range, a number that is not finite, or
// nesting deeper than `maxDepth`.
std::optional<Object> simObjectFromJSON(const nlohmann::json& value, int maxDepth,
                                        std::string* problem);
