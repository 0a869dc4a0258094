// The fixed tables of internal short names and their public long forms,
// and how names are shown in debug logs. Pure lookups over constant
// tables; safe from any thread.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

class TLMNames {
 public:
  using NamePair = std::pair<std::string_view, std::string_view>;  // long, short

  // The 33 public event names that have a short internal form, in table order.
  static const std::vector<NamePair>& eventNameTable();
  // The user-property names that have a short internal form.
  static const std::vector<NamePair>& userPropertyNameTable();

  // Long event name -> short ("session_start" -> "_s"); nullopt when the
  // name is not a long name of the table.
  static std::optional<std::string> shortEventName(std::string_view longName);
  // Short event name -> long, from the reverse table. "_cmp" has two long
  // names; the reverse table keeps "tx_campaign".
  static std::optional<std::string> longEventName(std::string_view shortName);
  static std::optional<std::string> shortUserPropertyName(std::string_view longName);
  static std::optional<std::string> longUserPropertyName(std::string_view shortName);

  // How a name appears in log contexts: the long name followed by the short
  // name in parentheses ("user_engagement (_e)") when debug display is on,
  // that is when the monitor's debug mode is on and the public facade
  // class ("QLFAnalytics") exists; otherwise the name as it is.
  static std::string debugDisplayEventName(std::string_view name);
  static std::string debugDisplayUserPropertyName(std::string_view name);
  // The same with the condition given; for event names a long name not
  // beginning with "quillfen_" is preferred. User-property names beginning
  // with "_exp_" show as "experiment_id (<name>)".
  static std::string displayEventName(std::string_view name, bool debugDisplay);
  static std::string displayUserPropertyName(std::string_view name, bool debugDisplay);
  // Whether names are shown in their debug form right now.
  static bool isDebugDisplayEnabled();
};
