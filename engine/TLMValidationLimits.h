// Every fixed limit of name and parameter validation, in one place. Lengths
// are counted in code points unless stated otherwise. The number of public
// parameters per event is not here: it is the remote flag
// `maxPublicEventParams` (TLMRemoteConfig).
#pragma once

#include <cstddef>

// Event names, public and internal.
inline constexpr std::size_t kTLMMaxEventNameLength = 40;
// Event origins, the part before the forwarding suffix included.
inline constexpr std::size_t kTLMMaxEventOriginLength = 32;
// Event parameter names, public and internal.
inline constexpr std::size_t kTLMMaxEventParameterNameLength = 40;
// String values of event parameters.
inline constexpr std::size_t kTLMMaxPublicEventParameterValueLength = 100;
inline constexpr std::size_t kTLMMaxInternalEventParameterValueLength = 256;
// User-property names, public and internal.
inline constexpr std::size_t kTLMMaxUserPropertyNameLength = 24;
// String values of user properties; the identifier properties ("_id",
// "_pvbid") take longer ones.
inline constexpr std::size_t kTLMMaxUserPropertyValueLength = 36;
inline constexpr std::size_t kTLMMaxIdentifierUserPropertyValueLength = 256;
// Screen names and classes.
inline constexpr std::size_t kTLMMaxScreenParameterValueLength = 100;
// Conditional user properties.
inline constexpr std::size_t kTLMMaxConditionalUserPropertyOriginLength = 32;
inline constexpr std::size_t kTLMMaxConditionalUserPropertyNameLength = 24;
inline constexpr std::size_t kTLMMaxConditionalUserPropertyValueLength = 36;
// The currency code: exactly this many letters, counted in UTF-16 units.
inline constexpr std::size_t kTLMCurrencyCodeLength = 3;
// Items kept in an ecommerce "items" array; the rest are cut off.
inline constexpr std::size_t kTLMMaxArrayParameterItems = 200;
// The "_ev" marker written while sanitising parameters is trimmed to this
// many code points plus "..."; an "_ev" parameter of this length plus the
// ellipsis counts as trimmed already.
inline constexpr std::size_t kTLMMaxErrorValueMarkerLength = 256;
// The maxima the error event's callers pass for names.
inline constexpr std::size_t kTLMErrorEventNameMaxLength = kTLMMaxEventNameLength;
inline constexpr std::size_t kTLMErrorEventUserPropertyMaxLength = kTLMMaxUserPropertyNameLength;

// Appended to a trimmed "_ev" value.
inline constexpr char kTLMTrimmedSuffix[] = "...";
// Origins of events forwarded by other components end with this.
inline constexpr char kTLMForwardedOriginSuffix[] = "+wkl";
