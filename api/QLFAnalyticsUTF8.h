// The public interface refuses text that is not valid UTF-8: such text
// could not be stored, uploaded or shown faithfully, so a call carrying it
// is dropped whole, with a message naming where the bad text was.
#pragma once

#include <initializer_list>
#include <optional>
#include <string>
#include <string_view>

#include "ferrolux/Object.h"

// Monitor codes of the refusals (level 3).
inline constexpr long kQLFInvalidUTF8EventCode = 25041;
inline constexpr long kQLFInvalidUTF8UserPropertyCode = 25042;
inline constexpr long kQLFInvalidUTF8UserIDCode = 25043;
inline constexpr long kQLFInvalidUTF8DefaultParametersCode = 25044;
inline constexpr long kQLFInvalidUTF8ConsentCode = 25045;
inline constexpr long kQLFInvalidUTF8URLCode = 25046;

// Where in `value` (strings, and dictionary keys and values, array and set
// elements at any depth) the first text that is not valid UTF-8 is, as a
// short description ("the key of a parameter", "the value of parameter
// \"level\"", ...); none when all of it is valid. `label` names `value`
// itself ("the name", "the parameters").
std::optional<std::string> QLFAnalyticsInvalidUTF8Location(const Object& value,
                                                           std::string_view label);

// Checks each labelled value in turn; on the first invalid one logs
// level 3, `code`, "<refusal> Text is not valid UTF-8. Location" with the
// location as context, and answers true (the call must be dropped).
struct QLFLabelledValue {
  QLFLabelledValue(std::string_view label, const std::string& text) : label(label), text(&text) {}
  QLFLabelledValue(std::string_view label, const OptionalObject& value)
      : label(label), value(value ? &*value : nullptr) {}
  QLFLabelledValue(std::string_view label, const Object& value) : label(label), value(&value) {}
  std::string_view label;
  const std::string* text = nullptr;
  const Object* value = nullptr;  // neither: nothing to check
};
bool QLFAnalyticsRefuseInvalidUTF8(long code, std::string_view refusal,
                                   std::initializer_list<QLFLabelledValue> values);
