// The HTTP statuses callers test for, and the response record that
// HRNNetwork hands to a completion. A response is an immutable value, safe
// to copy and read from any thread.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

inline constexpr int kHRNNetworkHTTPStatusOK = 200;
inline constexpr int kHRNNetworkHTTPStatusNoContent = 204;
inline constexpr int kHRNNetworkHTTPStatusCodeNotModified = 304;
inline constexpr int kHRNNetworkHTTPStatusCodeNotFound = 404;
// The two statuses on which the service asks clients to back off.
inline constexpr int kHRNNetworkHTTPStatusCodeUnavailable = 503;
inline constexpr int kHRNNetworkHTTPStatusCodeCannotAcceptTraffic = 429;

class HRNHTTPResponse {
 public:
  // (name, value) in arrival order; a name that came several times holds
  // its values joined with ", ".
  using HeaderFields = std::vector<std::pair<std::string, std::string>>;

  HRNHTTPResponse(std::string url, int statusCode, HeaderFields headers,
                  std::int64_t expectedContentLength)
      : url_(std::move(url)),
        statusCode_(statusCode),
        headers_(std::move(headers)),
        expectedContentLength_(expectedContentLength) {}

  // The URL that was requested.
  const std::string& url() const { return url_; }
  int statusCode() const { return statusCode_; }
  // The Content-Length the server announced, or -1 when it gave none.
  std::int64_t expectedContentLength() const { return expectedContentLength_; }
  const HeaderFields& allHeaderFields() const { return headers_; }

  // Case-insensitive lookup; nullopt when the field is absent.
  std::optional<std::string> valueForHTTPHeaderField(std::string_view field) const {
    for (const auto& [name, value] : headers_) {
      if (equalsIgnoringASCIICase(name, field)) return value;
    }
    return std::nullopt;
  }

  static bool equalsIgnoringASCIICase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
      if (lower(a[i]) != lower(b[i])) return false;
    }
    return true;
  }

 private:
  static char lower(char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
  }

  std::string url_;
  int statusCode_;
  HeaderFields headers_;
  std::int64_t expectedContentLength_;
};
