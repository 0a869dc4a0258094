#include "tools/service/ServicePage.h"

#include "tools/service/ServiceText.h"

namespace {

constexpr char kStyle[] =
    "body{font-family:sans-serif;margin:1.5em;color:#222}"
    "table{border-collapse:collapse;margin:.3em 0 1em}"
    "td,th{border:1px solid #ccc;padding:.2em .5em;text-align:left;vertical-align:top}"
    "section{border-top:2px solid #888;padding-top:.5em;margin-top:1em}"
    "nav a{margin-right:1.5em}code{white-space:pre-wrap}";

std::string optionalText(const std::optional<std::string>& text) {
  return text ? serviceEscapeHTML(*text) : "<i>none</i>";
}

std::string optionalNumber(const std::optional<std::int64_t>& number) {
  return number ? std::to_string(*number) : "<i>none</i>";
}

std::string optionalTime(const std::optional<std::int64_t>& millis) {
  return millis ? serviceEscapeHTML(serviceDisplayTime(*millis)) : "<i>none</i>";
}

std::string navigation(std::int64_t page, std::int64_t lastPage) {
  std::string html = "<nav>";
  if (page > 1) {
    html += "<a id=\"newer\" rel=\"prev\" href=\"/?page=" + std::to_string(page - 1) +
            "\">Newer bundles</a>";
  }
  html += "Page " + std::to_string(page) + " of " + std::to_string(lastPage);
  if (page < lastPage) {
    html += " <a id=\"older\" rel=\"next\" href=\"/?page=" + std::to_string(page + 1) +
            "\">Older bundles</a>";
  }
  return html + "</nav>\n";
}

std::string renderBundle(const StoredBundle& bundle) {
  std::string html = "<section class=\"bundle\" id=\"bundle-" + std::to_string(bundle.id) + "\">";
  html += "<h2>Bundle " + std::to_string(bundle.id) + "</h2>";
  html += "<table class=\"fields\">";
  html += "<tr><th>Received</th><td>" +
          serviceEscapeHTML(serviceDisplayTime(bundle.receivedAtMillis)) + "</td></tr>";
  html += "<tr><th>App ID</th><td class=\"app-id\">" + optionalText(bundle.appID) + "</td></tr>";
  html += "<tr><th>App instance ID</th><td>" + optionalText(bundle.appInstanceID) + "</td></tr>";
  html += "<tr><th>Bundle index</th><td>" + optionalNumber(bundle.bundleIndex) + "</td></tr>";
  html += "<tr><th>Batch</th><td><a href=\"/api/batches/" + std::to_string(bundle.batchID) +
          "/raw\">" + std::to_string(bundle.batchID) + "</a></td></tr>";
  html += "</table>";
  html += "<h3>Events (" + std::to_string(bundle.events.size()) + ")</h3>";
  if (!bundle.events.empty()) {
    html += "<table class=\"events\"><tr><th>Name</th><th>Time</th><th>Parameters</th></tr>";
    for (const StoredEvent& event : bundle.events) {
      html += "<tr class=\"event\"><td class=\"event-name\">" + serviceEscapeHTML(event.name) +
              "</td><td>" + optionalTime(event.timestampMillis) + "</td><td>";
      if (event.params.is_object()) {
        for (const auto& [name, value] : event.params.items()) {
          html += "<div class=\"param\"><b>" + serviceEscapeHTML(name) + "</b> = <code>" +
                  serviceEscapeHTML(serviceValueText(value)) + "</code></div>";
        }
      }
      html += "</td></tr>";
    }
    html += "</table>";
  }
  html += "<h3>User properties (" + std::to_string(bundle.userAttributes.size()) + ")</h3>";
  if (!bundle.userAttributes.empty()) {
    html += "<table class=\"user-properties\"><tr><th>Name</th><th>Value</th><th>Set</th></tr>";
    for (const StoredUserAttribute& attribute : bundle.userAttributes) {
      html += "<tr><td>" + serviceEscapeHTML(attribute.name) + "</td><td><code>" +
              serviceEscapeHTML(serviceValueText(attribute.value)) + "</code></td><td>" +
              optionalTime(attribute.setTimestampMillis) + "</td></tr>";
    }
    html += "</table>";
  }
  return html + "</section>\n";
}

}  // namespace

std::string serviceValueText(const nlohmann::json& value) {
  return value.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

std::string renderServicePage(const StoreSummary& summary, std::int64_t page,
                              const std::vector<StoredBundle>& bundles) {
  const std::int64_t lastPage =
      summary.bundles == 0 ? 1 : (summary.bundles + kServicePageBundles - 1) / kServicePageBundles;
  std::string html =
      "<!DOCTYPE html>\n<html lang=\"en\"><head><meta charset=\"utf-8\">"
      "<title>ferrolux-service</title><style>";
  html += kStyle;
  html += "</style></head><body>\n<h1>ferrolux-service</h1>\n";
  html += "<p class=\"summary\">" + std::to_string(summary.batches) + " batches, " +
          std::to_string(summary.bundles) + " bundles, " + std::to_string(summary.events) +
          " events, " + std::to_string(summary.duplicatesDropped) +
          " duplicate bundles dropped.</p>\n";
  html += navigation(page, lastPage);
  if (bundles.empty()) html += "<p>No bundles on this page.</p>\n";
  for (const StoredBundle& bundle : bundles) html += renderBundle(bundle);
  html += navigation(page, lastPage);
  return html + "</body></html>\n";
}
