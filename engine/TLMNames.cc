#include "engine/TLMNames.h"

#include <map>

#include "engine/TLMMeasurement.h"
#include "platform/CapabilityRegistry.h"
#include "platform/Platform.h"
#include "upload/TLMMonitor.h"

namespace {

constexpr char kFacadeClassName[] = "QLFAnalytics";
constexpr std::string_view kQuillfenPrefix = "quillfen_";
constexpr std::string_view kExperimentPrefix = "_exp_";
constexpr char kExperimentDisplayName[] = "experiment_id";

using NameMap = std::map<std::string, std::string, std::less<>>;

struct NameMaps {
  NameMap longToShort;
  NameMap shortToLong;
  // For display: the long name of a short one, preferring one that does not
  // begin with "quillfen_".
  NameMap shortToDisplay;
};

NameMaps buildMaps(const std::vector<TLMNames::NamePair>& table) {
  NameMaps maps;
  for (const auto& [longName, shortName] : table) {
    maps.longToShort.emplace(longName, shortName);
  }
  // The reverse table is built from the (sorted) forward one, so for a
  // short name with several long names the last in sorted order is kept.
  for (const auto& [longName, shortName] : maps.longToShort) {
    maps.shortToLong.insert_or_assign(shortName, longName);
  }
  for (const auto& [longName, shortName] : table) {
    auto found = maps.shortToDisplay.find(shortName);
    const bool preferred = !std::string_view(longName).starts_with(kQuillfenPrefix);
    if (found == maps.shortToDisplay.end()) {
      maps.shortToDisplay.emplace(shortName, longName);
    } else if (preferred && found->second.starts_with(kQuillfenPrefix)) {
      found->second = longName;
    }
  }
  return maps;
}

const NameMaps& eventMaps() {
  static const NameMaps* maps = new NameMaps(buildMaps(TLMNames::eventNameTable()));
  return *maps;
}

const NameMaps& userPropertyMaps() {
  static const NameMaps* maps = new NameMaps(buildMaps(TLMNames::userPropertyNameTable()));
  return *maps;
}

std::optional<std::string> lookUp(const NameMap& map, std::string_view key) {
  auto found = map.find(key);
  if (found == map.end()) return std::nullopt;
  return found->second;
}

std::string withShortName(std::string_view longName, std::string_view shortName) {
  std::string shown(longName);
  shown += " (";
  shown += shortName;
  shown += ")";
  return shown;
}

}  // namespace

const std::vector<TLMNames::NamePair>& TLMNames::eventNameTable() {
  static const std::vector<NamePair>* table = new std::vector<NamePair>{
      {"adunit_exposure", "_xu"},
      {"ad_activeview", "_aa"},
      {"ad_click", "_ac"},
      {"ad_exposure", "_xa"},
      {"ad_impression", "_ai"},
      {"ad_query", "_aq"},
      {"ad_reward", "_ar"},
      {"app_background", "_ab"},
      {"app_clear_data", "_cd"},
      {"app_exception", "_ae"},
      {"app_remove", "_ui"},
      {"app_store_refund", "_asr"},
      {"app_store_subscription_cancel", "_asse"},
      {"app_store_subscription_convert", "_assc"},
      {"app_store_subscription_renew", "_assr"},
      {"app_update", "_au"},
      {"app_upgrade", "_ug"},
      {"error", "_err"},
      {"quillfen_campaign", "_cmp"},
      {"first_open", "_f"},
      {"first_visit", "_v"},
      {"tx_campaign", "_cmp"},
      {"tx_extra_parameter", "_ep"},
      {"in_app_purchase", "_iap"},
      {"notification_dismiss", "_nd"},
      {"notification_foreground", "_nf"},
      {"notification_open", "_no"},
      {"notification_receive", "_nr"},
      {"os_update", "_ou"},
      {"screen_view", "_vs"},
      {"session_start", "_s"},
      {"session_start_with_rollout", "_ssr"},
      {"user_engagement", "_e"},
  };
  return *table;
}

const std::vector<TLMNames::NamePair>& TLMNames::userPropertyNameTable() {
  static const std::vector<NamePair>* table = new std::vector<NamePair>{
      {"first_open_time", "_fot"},
      {"tx_session_id", "_sid"},
      {"tx_session_number", "_sno"},
      {"user_id", "_id"},
      {"lifetime_user_engagement", "_lte"},
      {"session_user_engagement", "_se"},
      {"first_open_after_install", "_fi"},
      {"quillfen_last_notification", "_ln"},
      {"last_advertising_id_reset", "_lair"},
      {"last_deep_link_referrer", "_ldl"},
  };
  return *table;
}

std::optional<std::string> TLMNames::shortEventName(std::string_view longName) {
  return lookUp(eventMaps().longToShort, longName);
}

std::optional<std::string> TLMNames::longEventName(std::string_view shortName) {
  return lookUp(eventMaps().shortToLong, shortName);
}

std::optional<std::string> TLMNames::shortUserPropertyName(std::string_view longName) {
  return lookUp(userPropertyMaps().longToShort, longName);
}

std::optional<std::string> TLMNames::longUserPropertyName(std::string_view shortName) {
  return lookUp(userPropertyMaps().shortToLong, shortName);
}

bool TLMNames::isDebugDisplayEnabled() {
  return TLMMeasurement::monitor().isDebugModeEnabled() &&
         Platform::current().capabilities().classExists(kFacadeClassName);
}

std::string TLMNames::debugDisplayEventName(std::string_view name) {
  return displayEventName(name, isDebugDisplayEnabled());
}

std::string TLMNames::debugDisplayUserPropertyName(std::string_view name) {
  return displayUserPropertyName(name, isDebugDisplayEnabled());
}

std::string TLMNames::displayEventName(std::string_view name, bool debugDisplay) {
  if (debugDisplay) {
    if (auto longName = lookUp(eventMaps().shortToDisplay, name)) {
      return withShortName(*longName, name);
    }
  }
  return std::string(name);
}

std::string TLMNames::displayUserPropertyName(std::string_view name, bool debugDisplay) {
  if (debugDisplay) {
    if (auto longName = lookUp(userPropertyMaps().shortToDisplay, name)) {
      return withShortName(*longName, name);
    }
    if (name.starts_with(kExperimentPrefix)) return withShortName(kExperimentDisplayName, name);
  }
  return std::string(name);
}
