#include "engine/TLMValidationTables.h"

#include <algorithm>

namespace {

constexpr std::string_view kEcommerceEvents[] = {
    "add_payment_info",
    "add_shipping_info",
    "add_to_cart",
    "add_to_wishlist",
    "begin_checkout",
    "purchase",
    "refund",
    "remove_from_cart",
    "select_item",
    "select_promotion",
    "view_cart",
    "view_item",
    "view_item_list",
    "view_promotion",
    "ecommerce_purchase",
    "checkout_progress",
    "purchase_refund",
    "select_content",
    "set_checkout_option",
    "view_search_results",
};

constexpr std::string_view kItemParameters[] = {
    "affiliation",     "coupon",         "creative_name",
    "creative_slot",   "currency",       "discount",
    "index",           "item_id",        "item_brand",
    "item_category",   "item_category2", "item_category3",
    "item_category4",  "item_category5", "item_list_name",
    "item_list_id",    "item_name",      "item_variant",
    "location_id",     "payment_type",   "price",
    "promotion_id",    "promotion_name", "quantity",
    "shipping",        "shipping_tier",  "tax",
    "transaction_id",  "value",          "checkout_step",
    "checkout_option", "item_list",      "item_location_id",
};

template <std::size_t N>
bool contains(const std::string_view (&table)[N], std::string_view name) {
  return std::find(std::begin(table), std::end(table), name) != std::end(table);
}

}  // namespace

bool tlm_isEcommerceEventName(std::string_view name) { return contains(kEcommerceEvents, name); }

bool tlm_isItemParameterName(std::string_view name) { return contains(kItemParameters, name); }
