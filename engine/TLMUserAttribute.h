// A user property: origin, name, value and when it was last set.
//
// Immutable once made; safe to share between threads.
#pragma once

#include <memory>
#include <string>

#include "engine/TLMValue.h"

class TLMUserAttribute;
using TLMUserAttributePtr = std::shared_ptr<const TLMUserAttribute>;
// upload/TLMPBUploadMessages.h
class TLMPBUserAttribute;

class TLMUserAttribute {
 public:
  // Nil, without a message of its own, unless `name` is a valid internal
  // user-property name and `value` a valid internal user-property value
  // for it (the validator reports why). Also nil, with a report (code
  // 16007), when `lastSetTimestamp` is NaN or infinite: such a time has no
  // millisecond form.
  static TLMUserAttributePtr initWithOrigin(const std::string& origin, const std::string& name,
                                            TLMValuePtr value, double lastSetTimestamp);

  const std::string& origin() const { return origin_; }
  const std::string& name() const { return name_; }
  const TLMValuePtr& value() const { return value_; }
  double lastSetTimestamp() const { return lastSetTimestamp_; }
  // A non-empty name that does not begin with "_".
  bool isPublic() const;

  // The upload message: the set time in milliseconds, the name and the
  // value in the field of its kind (string, integer or double; an array
  // value, which no valid user property has, sets no value field).
  TLMPBUserAttribute protoUserAttribute() const;

  std::string description() const;

  // Use initWithOrigin; public only for std::make_shared.
  struct Token {
    explicit Token() = default;
  };
  TLMUserAttribute(Token, std::string origin, std::string name, TLMValuePtr value,
                   double lastSetTimestamp);

 private:
  std::string origin_;
  std::string name_;
  TLMValuePtr value_;
  double lastSetTimestamp_;
};
