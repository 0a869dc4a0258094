#include "config/TLMMeasurementServiceAddress.h"

#include <cstdlib>

#include "config/TLMInfoPlistFileUtil.h"
#include "ferrolux/Object.h"
#include "platform/Bundle.h"
#include "platform/Platform.h"

namespace {

bool isLoopbackHost(std::string_view host) {
  return host == "127.0.0.1" || host == "[::1]" || host == "localhost";
}

bool fail(std::string* problem, std::string text) {
  if (problem != nullptr) *problem = std::move(text);
  return false;
}

// Host characters of a registered name, an IPv4 address or a bracketed
// IPv6 literal; anything that could start a path, query, fragment or
// credentials is refused.
bool isHostCharacter(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' ||
         c == '.' || c == '[' || c == ']' || c == ':';
}

bool checkAuthority(std::string_view authority, bool secure, std::string* problem) {
  if (authority.empty()) return fail(problem, "the address has no host");
  for (char c : authority) {
    if (!isHostCharacter(c)) return fail(problem, "the address holds more than scheme, host, port");
  }
  std::string_view host = authority;
  std::string_view port;
  if (authority.front() == '[') {
    const std::size_t close = authority.find(']');
    if (close == std::string_view::npos) return fail(problem, "the address has a bad IPv6 host");
    host = authority.substr(0, close + 1);
    std::string_view rest = authority.substr(close + 1);
    if (!rest.empty()) {
      if (rest.front() != ':') return fail(problem, "the address has a bad IPv6 host");
      port = rest.substr(1);
      if (port.empty()) return fail(problem, "the address has an empty port");
    }
  } else if (const std::size_t colon = authority.find(':'); colon != std::string_view::npos) {
    host = authority.substr(0, colon);
    port = authority.substr(colon + 1);
    if (port.empty()) return fail(problem, "the address has an empty port");
  }
  if (host.empty()) return fail(problem, "the address has no host");
  if (host.front() != '[' && host.find_first_of("[]") != std::string_view::npos) {
    return fail(problem, "the address has a bad host");
  }
  if (port.size() > 5) return fail(problem, "the address has a bad port");
  for (char c : port) {
    if (c < '0' || c > '9') return fail(problem, "the address has a bad port");
  }
  if (!port.empty()) {
    const int number = std::atoi(std::string(port).c_str());
    if (number < 1 || number > 65535) return fail(problem, "the address has a bad port");
  }
  if (!secure && !isLoopbackHost(host)) {
    return fail(problem, "http is allowed only for a loopback host; use https");
  }
  return true;
}

std::optional<std::string> stringForKey(const OptionalObject& dictionary, const char* key) {
  if (!dictionary || !dictionary->isDictionary()) return std::nullopt;
  const Object* value = dictionary->objectForKey(key);
  if (value == nullptr || value->asString() == nullptr) return std::nullopt;
  return *value->asString();
}

}  // namespace

std::optional<std::string> TLMMeasurementServiceAddress::normalizedBaseURL(std::string_view text,
                                                                           std::string* problem) {
  const std::size_t separator = text.find("://");
  if (separator == std::string_view::npos) {
    fail(problem, "the address has no scheme");
    return std::nullopt;
  }
  std::string scheme(text.substr(0, separator));
  for (char& c : scheme) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  if (scheme != "https" && scheme != "http") {
    fail(problem, "the address's scheme is neither https nor http");
    return std::nullopt;
  }
  std::string_view authority = text.substr(separator + 3);
  if (!authority.empty() && authority.back() == '/') authority.remove_suffix(1);
  if (!checkAuthority(authority, scheme == "https", problem)) return std::nullopt;
  return scheme + "://" + std::string(authority);
}

std::string TLMMeasurementServiceAddress::hostOfBaseURL(std::string_view baseURL) {
  const std::size_t separator = baseURL.find("://");
  return std::string(separator == std::string_view::npos ? baseURL : baseURL.substr(separator + 3));
}

std::optional<std::string> TLMMeasurementServiceAddress::configuredBaseURL(std::string* problem) {
  std::optional<std::string> value;
  std::string origin;
  if (const char* environment = std::getenv(kEnvironmentVariable);
      environment != nullptr && *environment != '\0') {
    value = environment;
    origin = kEnvironmentVariable;
  } else if ((value = stringForKey(TLMInfoPlistFileUtil::dictionaryFromTarvixServiceInfoPlist(),
                                   kInfoDictionaryKey))) {
    origin = std::string(kInfoDictionaryKey) + " in TarvixService-Info.plist";
  } else if (const std::shared_ptr<Platform> platform = Platform::installed()) {
    value = stringForKey(platform->bundle().infoDictionary(), kInfoDictionaryKey);
    origin = std::string(kInfoDictionaryKey) + " in Info.plist";
  }
  if (!value) {
    fail(problem, std::string("no measurement service address is configured (") +
                      kEnvironmentVariable + " or " + kInfoDictionaryKey + ")");
    return std::nullopt;
  }
  std::string why;
  std::optional<std::string> address = normalizedBaseURL(*value, &why);
  if (!address) fail(problem, origin + ": " + why);
  return address;
}
