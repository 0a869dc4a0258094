// The fixed name lists of validation: reserved prefixes, the ecommerce
// events that may carry an "items" array, and the parameter names allowed
// inside an item. Constant tables; safe from any thread.
#pragma once

#include <array>
#include <string_view>

inline constexpr std::array<std::string_view, 3> kTLMReservedPrefixes = {"quillfen_", "tarvix_",
                                                                         "tx_"};

// The one name an array parameter may have.
inline constexpr std::string_view kTLMItemsParameterName = "items";

// Event names of the event-name table that public events may use anyway.
inline constexpr std::array<std::string_view, 2> kTLMAllowedTableEventNames = {"screen_view",
                                                                               "ad_impression"};

// User properties whose values may be as long as an identifier.
inline constexpr std::array<std::string_view, 2> kTLMIdentifierUserPropertyNames = {"_id",
                                                                                    "_pvbid"};

[[nodiscard]] bool tlm_isEcommerceEventName(std::string_view name);
[[nodiscard]] bool tlm_isItemParameterName(std::string_view name);
