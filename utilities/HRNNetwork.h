// The HTTP client of the utilities layer, with reachability of its host.
//
// One client serves one host. Requests run on the client's own I/O thread
// (libcurl); every completion is handed to the DispatchQueue given with the
// request and runs there exactly once. While a request is in flight the
// queue's executor counts it as external work, so a deterministic test
// executor waits for it instead of going idle.
//
// Transport rules: https with verified certificates; plain http only to
// loopback hosts; redirects are never followed (a 3xx reaches the caller as
// it is); bodies are sent and received as they are (no compression); the
// timeout covers the whole request. There is no background-session daemon
// on this platform: `usingBackgroundSession` runs the request like any
// other.
//
// Destroying the client cancels what is still in flight: each such
// completion still runs once, on its queue, with kHRNNetworkErrorCancelled.
//
// All members are thread-safe. Logger delegate methods are called on the
// thread that calls the client for start and refusal messages, and on the
// request's completion queue (just before the completion) for outcomes.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>

#include "ferrolux/Object.h"
#include "platform/Reachability.h"
#include "utilities/HRNHTTPResponse.h"
#include "utilities/HRNNetworkTransfer.h"

class DispatchQueue;

// Codes of the client's own messages, reported through its logger
// delegate. Levels: 3 error, 4 warning, 5 notice, 6 info, 7 debug.
enum HRNNetworkMessageCode : long {
  // Level 7, debug mode only; context: the URL.
  kHRNNetworkMessageCodeRequestStarted = 3000,
  // Level 7, debug mode only; context: the status code.
  kHRNNetworkMessageCodeRequestFinished = 3001,
  // Level 5; context: the status code. Statuses of 400 and above.
  kHRNNetworkMessageCodeHTTPErrorStatus = 3002,
  // Level 4; context: the error.
  kHRNNetworkMessageCodeRequestFailed = 3003,
  // Level 3; context: the URL.
  kHRNNetworkMessageCodeInvalidURL = 3004,
  // Level 3; context: the URL.
  kHRNNetworkMessageCodeInsecureURL = 3005,
  // Level 3; context: the header name.
  kHRNNetworkMessageCodeInvalidHeader = 3006,
  // Level 3; context: the error.
  kHRNNetworkMessageCodeCannotStartRequest = 3007,
  // Level 6; context: the reachable flag.
  kHRNNetworkMessageCodeReachabilityChanged = 3008,
};

// The default request timeout, and the bounds a timeout is clamped to.
inline constexpr double kHRNNetworkDefaultTimeoutInterval = 60.0;
inline constexpr double kHRNNetworkMinTimeoutInterval = 0.001;
inline constexpr double kHRNNetworkMaxTimeoutInterval = 86400.0;
// Product token at the start of every User-Agent.
inline constexpr const char* kHRNNetworkUserAgentProduct = "ferrolux-HRNNetwork/1.0";

class HRNNetworkLoggerDelegate {
 public:
  virtual ~HRNNetworkLoggerDelegate() = default;
  virtual void HRNNetwork_logWithLevel(int level, long messageCode, const std::string& message) = 0;
  virtual void HRNNetwork_logWithLevel(int level, long messageCode, const std::string& message,
                                       const OptionalObject& context) = 0;
  virtual void HRNNetwork_logWithLevel(int level, long messageCode, const std::string& message,
                                       const ObjectArray& contexts) = 0;
};

class HRNNetworkReachabilityDelegate {
 public:
  virtual ~HRNNetworkReachabilityDelegate() = default;
  // Called on the client's callback queue when its host's reachability
  // changed.
  virtual void reachabilityDidChange() = 0;
};

class HRNNetwork {
 public:
  // `response` is absent when the request failed before a complete
  // response arrived; `data` is the body (empty on failure); `error` is set
  // on failure only (an HTTP error status is a response, not an error).
  using CompletionHandler = std::function<void(std::optional<HRNHTTPResponse> response, Bytes data,
                                               std::optional<Error> error)>;

  // A client for `host` (a host name, optionally with ":port"), watching its
  // reachability through `reachability`. Reachability changes are delivered
  // on `callbackQueue`. Returns null when an argument is missing or the
  // client's I/O thread cannot be started.
  static std::shared_ptr<HRNNetwork> initWithReachabilityHost(
      const std::string& host, std::shared_ptr<Reachability> reachability,
      std::shared_ptr<DispatchQueue> callbackQueue);

  // As above, but never fails: a client whose I/O could not start refuses
  // every request with kHRNNetworkErrorCannotStart. A null callback queue
  // delivers reachability changes on the thread that noticed them; without
  // a reachability service the client never counts as connected.
  HRNNetwork(std::string host, std::shared_ptr<Reachability> reachability,
             std::shared_ptr<DispatchQueue> callbackQueue);
  // Cancels requests in flight (see above) and waits for the I/O thread.
  ~HRNNetwork();
  HRNNetwork(const HRNNetwork&) = delete;
  HRNNetwork& operator=(const HRNNetwork&) = delete;

  const std::string& reachabilityHost() const { return host_; }

  void setLoggerDelegate(std::weak_ptr<HRNNetworkLoggerDelegate> delegate);
  void setIsDebugModeEnabled(bool enabled);
  bool isDebugModeEnabled() const;
  // An empty pointer unregisters.
  void setReachabilityDelegate(std::weak_ptr<HRNNetworkReachabilityDelegate> delegate);

  // Whether the host is reachable now. Does not block.
  bool isNetworkConnected() const;
  // True while any request of this client is in flight; false again before
  // the request's completion runs.
  bool hasUploadInProgress() const;

  // Applies to requests started afterwards. Non-positive or non-finite
  // values restore kHRNNetworkDefaultTimeoutInterval; others are clamped
  // to [kHRNNetworkMinTimeoutInterval, kHRNNetworkMaxTimeoutInterval].
  void setTimeoutInterval(double seconds);
  double timeoutInterval() const;

  // POSTs `payload` as the body to `url`. Returns the request identifier,
  // or "" when the request could not start; either way `completion` runs
  // exactly once, asynchronously on `queue` (the callback queue when null;
  // with neither, on the calling thread before this returns).
  [[nodiscard]] std::string postURL(const std::string& url, Bytes payload,
                                    std::shared_ptr<DispatchQueue> queue,
                                    bool usingBackgroundSession, CompletionHandler completion);
  // GETs `url` with `headers` added to the request; as postURL otherwise.
  // Header names must be HTTP tokens and values may not hold line breaks.
  [[nodiscard]] std::string getURL(const std::string& url,
                                   const std::map<std::string, std::string>& headers,
                                   std::shared_ptr<DispatchQueue> queue,
                                   bool usingBackgroundSession, CompletionHandler completion);

  // Hands a background-session wake-up to the network layer. Without a
  // background-session daemon there are never events to deliver, so
  // `completionHandler` just runs once, asynchronously on `queue` (the
  // main queue in an app), or at once on the calling thread when `queue`
  // is null.
  static void handleEventsForBackgroundURLSessionID(const std::string& identifier,
                                                    std::function<void()> completionHandler,
                                                    const std::shared_ptr<DispatchQueue>& queue);

 private:
  struct Shared;

  std::string startRequest(const std::string& url, HRNNetworkTransferRequest::Method method,
                           Bytes payload, const std::map<std::string, std::string>& headers,
                           std::shared_ptr<DispatchQueue> queue, CompletionHandler completion);

  const std::string host_;
  const std::shared_ptr<Reachability> reachability_;
  const std::shared_ptr<DispatchQueue> callbackQueue_;
  const std::shared_ptr<Shared> shared_;
  std::string userAgent_;
  Reachability::ObserverToken observerToken_ = 0;
  std::atomic<double> timeoutSeconds_{kHRNNetworkDefaultTimeoutInterval};
  std::atomic<std::uint64_t> nextRequestID_{1};
  Error transferError_;
  // Declared last: destroyed first, so that in-flight requests are
  // cancelled while everything they use still exists.
  std::unique_ptr<HRNNetworkTransfer> transfer_;
};
