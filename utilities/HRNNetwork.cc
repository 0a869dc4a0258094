#include "utilities/HRNNetwork.h"

#include <curl/curl.h>

#include <algorithm>
#include <cmath>
#include <mutex>
#include <string_view>
#include <utility>

#include "platform/DispatchQueue.h"

namespace {

constexpr int kLevelError = 3;
constexpr int kLevelWarning = 4;
constexpr int kLevelNotice = 5;
constexpr int kLevelInfo = 6;
constexpr int kLevelDebug = 7;

bool isTokenCharacter(char c) {
  if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9')) return true;
  return std::string_view("!#$%&'*+-.^_`|~").find(c) != std::string_view::npos;
}

bool isValidHeaderName(std::string_view name) {
  return !name.empty() && std::all_of(name.begin(), name.end(), isTokenCharacter);
}

bool isValidHeaderValue(std::string_view value) {
  return value.find_first_of(std::string_view("\r\n\0", 3)) == std::string_view::npos;
}

// The parts of a URL that decide whether it may be requested.
struct ParsedURL {
  std::string normalized;
  std::string scheme;  // lower case
  std::string host;    // IPv6 literals keep their brackets
};

bool parseURL(const std::string& text, ParsedURL* parsed) {
  CURLU* handle = curl_url();
  if (handle == nullptr) return false;
  bool ok = curl_url_set(handle, CURLUPART_URL, text.c_str(), 0) == CURLUE_OK;
  auto part = [&](CURLUPart which, std::string* out) {
    char* value = nullptr;
    if (!ok || curl_url_get(handle, which, &value, 0) != CURLUE_OK || value == nullptr) {
      ok = false;
      return;
    }
    out->assign(value);
    curl_free(value);
  };
  part(CURLUPART_URL, &parsed->normalized);
  part(CURLUPART_SCHEME, &parsed->scheme);
  part(CURLUPART_HOST, &parsed->host);
  curl_url_cleanup(handle);
  return ok && !parsed->host.empty();
}

}  // namespace

struct HRNNetwork::Shared : std::enable_shared_from_this<Shared> {
  Shared(std::string h, std::weak_ptr<Reachability> r, std::weak_ptr<DispatchQueue> q)
      : host(std::move(h)), reachability(std::move(r)), callbackQueue(std::move(q)) {}

  std::shared_ptr<HRNNetworkLoggerDelegate> logger() {
    std::lock_guard<std::mutex> lock(mutex);
    return loggerDelegate.lock();
  }

  void log(int level, long code, const char* message, const OptionalObject& context) {
    if (auto delegate = logger()) delegate->HRNNetwork_logWithLevel(level, code, message, context);
  }

  // Runs where the outcome is delivered, just before the completion.
  void logOutcome(const HRNNetworkTransferResult& result) {
    if (result.error) {
      log(kLevelWarning, kHRNNetworkMessageCodeRequestFailed, "Network request failed. Error",
          Object::error(*result.error));
      return;
    }
    int status = result.response ? result.response->statusCode() : 0;
    if (debugMode.load()) {
      log(kLevelDebug, kHRNNetworkMessageCodeRequestFinished,
          "Network request finished. Status code", Object::integer(status));
    }
    if (status >= 400) {
      log(kLevelNotice, kHRNNetworkMessageCodeHTTPErrorStatus,
          "Network request returned an error status. Status code", Object::integer(status));
    }
  }

  // Called by the reachability service on the thread that changed it.
  void reachabilityMayHaveChanged() {
    std::shared_ptr<Reachability> service = reachability.lock();
    if (!service) return;
    bool reachable = service->isHostReachable(host);
    {
      std::lock_guard<std::mutex> lock(mutex);
      if (reachable == lastReachable) return;
      lastReachable = reachable;
    }
    log(kLevelInfo, kHRNNetworkMessageCodeReachabilityChanged,
        "Network reachability changed. Reachable", Object::boolean(reachable));
    std::weak_ptr<Shared> weak = weak_from_this();
    auto notify = [weak] {
      std::shared_ptr<Shared> self = weak.lock();
      if (!self) return;
      std::shared_ptr<HRNNetworkReachabilityDelegate> delegate;
      {
        std::lock_guard<std::mutex> lock(self->mutex);
        delegate = self->reachabilityDelegate.lock();
      }
      if (delegate) delegate->reachabilityDidChange();
    };
    if (std::shared_ptr<DispatchQueue> queue = callbackQueue.lock()) {
      queue->async(notify);
    } else {
      notify();
    }
  }

  const std::string host;
  const std::weak_ptr<Reachability> reachability;
  // Weak: blocks on this queue hold the Shared state.
  const std::weak_ptr<DispatchQueue> callbackQueue;
  std::atomic<bool> debugMode{false};

  std::mutex mutex;
  std::weak_ptr<HRNNetworkLoggerDelegate> loggerDelegate;
  std::weak_ptr<HRNNetworkReachabilityDelegate> reachabilityDelegate;
  bool lastReachable = false;
};

std::shared_ptr<HRNNetwork> HRNNetwork::initWithReachabilityHost(
    const std::string& host, std::shared_ptr<Reachability> reachability,
    std::shared_ptr<DispatchQueue> callbackQueue) {
  if (host.empty() || !reachability || !callbackQueue) return nullptr;
  auto network =
      std::make_shared<HRNNetwork>(host, std::move(reachability), std::move(callbackQueue));
  if (!network->transfer_) return nullptr;
  return network;
}

HRNNetwork::HRNNetwork(std::string host, std::shared_ptr<Reachability> reachability,
                       std::shared_ptr<DispatchQueue> callbackQueue)
    : host_(std::move(host)),
      reachability_(std::move(reachability)),
      callbackQueue_(std::move(callbackQueue)),
      shared_(std::make_shared<Shared>(host_, reachability_, callbackQueue_)) {
  userAgent_ = kHRNNetworkUserAgentProduct;
  if (const curl_version_info_data* info = curl_version_info(CURLVERSION_NOW)) {
    userAgent_.append(" libcurl/").append(info->version);
  }
  if (reachability_) {
    shared_->lastReachable = reachability_->isHostReachable(host_);
    std::weak_ptr<Shared> weak = shared_;
    observerToken_ = reachability_->addObserver([weak] {
      if (std::shared_ptr<Shared> shared = weak.lock()) shared->reachabilityMayHaveChanged();
    });
  }
  transfer_ = HRNNetworkTransfer::create(&transferError_);
}

HRNNetwork::~HRNNetwork() {
  if (reachability_) reachability_->removeObserver(observerToken_);
  // Cancels in-flight requests; their completions are queued before this
  // returns.
  transfer_.reset();
}

void HRNNetwork::setLoggerDelegate(std::weak_ptr<HRNNetworkLoggerDelegate> delegate) {
  std::lock_guard<std::mutex> lock(shared_->mutex);
  shared_->loggerDelegate = std::move(delegate);
}

void HRNNetwork::setIsDebugModeEnabled(bool enabled) { shared_->debugMode.store(enabled); }

bool HRNNetwork::isDebugModeEnabled() const { return shared_->debugMode.load(); }

void HRNNetwork::setReachabilityDelegate(std::weak_ptr<HRNNetworkReachabilityDelegate> delegate) {
  std::lock_guard<std::mutex> lock(shared_->mutex);
  shared_->reachabilityDelegate = std::move(delegate);
}

bool HRNNetwork::isNetworkConnected() const {
  if (!reachability_) return false;
  // Cheap (no I/O beyond a netlink query); keeps the answer current even
  // when nobody monitors the interfaces.
  reachability_->refresh();
  return reachability_->isHostReachable(host_);
}

bool HRNNetwork::hasUploadInProgress() const {
  return transfer_ != nullptr && transfer_->activeCount() > 0;
}

void HRNNetwork::setTimeoutInterval(double seconds) {
  if (!std::isfinite(seconds) || seconds <= 0) seconds = kHRNNetworkDefaultTimeoutInterval;
  timeoutSeconds_.store(
      std::clamp(seconds, kHRNNetworkMinTimeoutInterval, kHRNNetworkMaxTimeoutInterval));
}

double HRNNetwork::timeoutInterval() const { return timeoutSeconds_.load(); }

std::string HRNNetwork::postURL(const std::string& url, Bytes payload,
                                std::shared_ptr<DispatchQueue> queue,
                                bool /*usingBackgroundSession*/, CompletionHandler completion) {
  return startRequest(url, HRNNetworkTransferRequest::Method::Post, std::move(payload), {},
                      std::move(queue), std::move(completion));
}

std::string HRNNetwork::getURL(const std::string& url,
                               const std::map<std::string, std::string>& headers,
                               std::shared_ptr<DispatchQueue> queue,
                               bool /*usingBackgroundSession*/, CompletionHandler completion) {
  return startRequest(url, HRNNetworkTransferRequest::Method::Get, {}, headers, std::move(queue),
                      std::move(completion));
}

std::string HRNNetwork::startRequest(const std::string& url,
                                     HRNNetworkTransferRequest::Method method, Bytes payload,
                                     const std::map<std::string, std::string>& headers,
                                     std::shared_ptr<DispatchQueue> queue,
                                     CompletionHandler completion) {
  if (!queue) queue = callbackQueue_;

  // Refusals: logged here, completion queued with the error, no identifier.
  auto refuse = [&](long messageCode, const char* message, const OptionalObject& context,
                    Error error) -> std::string {
    shared_->log(kLevelError, messageCode, message, context);
    if (!completion) return std::string();
    if (queue) {
      queue->async([completion, error] { completion(std::nullopt, Bytes(), error); });
    } else {
      completion(std::nullopt, Bytes(), error);
    }
    return std::string();
  };

  ParsedURL parsed;
  if (!parseURL(url, &parsed) || (parsed.scheme != "https" && parsed.scheme != "http")) {
    return refuse(kHRNNetworkMessageCodeInvalidURL, "Invalid request URL", Object(url),
                  HRNNetworkMakeError(kHRNNetworkErrorInvalidURL, "invalid URL: " + url));
  }
  bool loopback = Reachability::isLoopbackHost(parsed.host);
  if (parsed.scheme == "http" && !loopback) {
    return refuse(kHRNNetworkMessageCodeInsecureURL,
                  "Plain HTTP is only allowed to loopback hosts. URL", Object(url),
                  HRNNetworkMakeError(kHRNNetworkErrorInsecureURL,
                                      "plain http is only allowed to loopback hosts: " + url));
  }

  HRNNetworkTransferRequest request;
  request.url = parsed.normalized;
  request.method = method;
  request.payload = std::move(payload);
  request.timeoutSeconds = timeoutSeconds_.load();
  request.allowProxy = !loopback;
  request.userAgent = userAgent_;
  for (const auto& [name, value] : headers) {
    if (!isValidHeaderName(name) || !isValidHeaderValue(value)) {
      return refuse(kHRNNetworkMessageCodeInvalidHeader, "Invalid request header. Name",
                    Object(name),
                    HRNNetworkMakeError(kHRNNetworkErrorInvalidHeader, "invalid header: " + name));
    }
    // curl drops a header given as "Name:"; "Name;" sends it empty.
    request.headerLines.push_back(value.empty() ? name + ";" : name + ": " + value);
  }
  if (method == HRNNetworkTransferRequest::Method::Post) {
    request.headerLines.push_back("Content-Type: application/octet-stream");
    // No "Expect: 100-continue" round trip before large bodies.
    request.headerLines.push_back("Expect:");
  }

  if (!transfer_) {
    return refuse(kHRNNetworkMessageCodeCannotStartRequest,
                  "Unable to start network request. Error", Object::error(transferError_),
                  transferError_);
  }
  if (!queue) {
    Error error = HRNNetworkMakeError(kHRNNetworkErrorCannotStart, "no completion queue");
    return refuse(kHRNNetworkMessageCodeCannotStartRequest,
                  "Unable to start network request. Error", Object::error(error), error);
  }

  std::string identifier = std::to_string(nextRequestID_.fetch_add(1));
  if (shared_->debugMode.load()) {
    shared_->log(kLevelDebug, kHRNNetworkMessageCodeRequestStarted, "Starting network request. URL",
                 Object(url));
  }

  // Counted before the I/O thread can finish the request, and released
  // only after its completion is queued, so a deterministic executor never
  // sees a moment without work.
  queue->executor().beginExternalWork();
  auto delivery = std::make_shared<CompletionHandler>(std::move(completion));
  std::shared_ptr<Shared> shared = shared_;
  auto finish = [queue, delivery, shared](HRNNetworkTransferResult result) mutable {
    // Runs on the I/O thread. Hands its references to the block, so that a
    // completion holding the last reference to its client is released on
    // the queue, never on the I/O thread (which the client's destructor
    // joins). The block holds no reference to the queue itself.
    queue->async([delivery = std::move(delivery), shared = std::move(shared), result]() mutable {
      shared->logOutcome(result);
      if (*delivery) {
        (*delivery)(std::move(result.response), std::move(result.body), std::move(result.error));
      }
    });
    queue->executor().endExternalWork();
  };
  Error error;
  if (!transfer_->start(request, std::move(finish), &error)) {
    queue->executor().endExternalWork();
    completion = std::move(*delivery);
    return refuse(kHRNNetworkMessageCodeCannotStartRequest,
                  "Unable to start network request. Error", Object::error(error), error);
  }
  return identifier;
}

void HRNNetwork::handleEventsForBackgroundURLSessionID(
    const std::string& /*identifier*/, std::function<void()> completionHandler,
    const std::shared_ptr<DispatchQueue>& queue) {
  if (!completionHandler) return;
  if (queue) {
    queue->async(std::move(completionHandler));
  } else {
    completionHandler();
  }
}
