#include "upload/TLMErrors.h"

Error tlm_errorWithCode(long code, const std::string& description,
                        const std::string& monitorContext) {
  Error error;
  error.domain = kTLMErrorDomain;
  error.code = code;
  if (!description.empty()) error.description = description;
  if (!monitorContext.empty()) error.context = Object(monitorContext);
  return error;
}

Error tlm_errorWithCode(long code, const std::string& description) {
  return tlm_errorWithCode(code, description, std::string());
}

std::string tlm_monitorContextOfError(const Error& error) {
  if (error.domain != kTLMErrorDomain || !error.context.has_value()) return std::string();
  const std::string* context = error.context->asString();
  return context != nullptr ? *context : std::string();
}

bool tlm_checkCondition(bool condition, Error* error, long code, const std::string& description,
                        const std::string& monitorContext) {
  if (condition) return true;
  if (error != nullptr) *error = tlm_errorWithCode(code, description, monitorContext);
  return false;
}

bool tlm_checkCondition(bool condition, Error* error, long code, const std::string& description) {
  return tlm_checkCondition(condition, error, code, description, std::string());
}

bool tlm_checkObject(const OptionalObject& object, Error* error, long code,
                     const std::string& description, const std::string& monitorContext) {
  return tlm_checkCondition(object.has_value(), error, code, description, monitorContext);
}

bool tlm_checkObject(const OptionalObject& object, Error* error, long code,
                     const std::string& description) {
  return tlm_checkCondition(object.has_value(), error, code, description, std::string());
}
