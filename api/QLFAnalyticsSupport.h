// Helpers of the public interface, internal to api/.
#pragma once

#include <string>

#include "ferrolux/Object.h"

// True when `value`, or anything inside it (dictionary keys and values,
// array and set elements, at any depth), has the class name `className`.
// Stops at the first hit.
bool QLFAnalyticsContainsClass(const Object& value, const std::string& className);
