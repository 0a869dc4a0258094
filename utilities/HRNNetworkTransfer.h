// The I/O side of HRNNetwork: one thread that drives every transfer of a
// client through a libcurl multi handle.
//
// `start` may be called from any thread. Each started transfer finishes
// exactly once: `finish` runs on the I/O thread when the transfer ends, or
// with a kHRNNetworkErrorCancelled error when the transfer object is
// destroyed first. The destructor waits for the I/O thread, so once it
// returns no `finish` is running or will run. `finish` must not block for
// long nor call back into this object.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "ferrolux/Object.h"
#include "utilities/HRNHTTPResponse.h"

// Domain and codes of the errors that HRNNetwork reports.
inline constexpr const char* kHRNNetworkErrorDomain = "com.tarvix.hrn.network";
enum HRNNetworkErrorCode : long {
  kHRNNetworkErrorInvalidURL = 1,
  // Plain http to a host that is not a loopback host.
  kHRNNetworkErrorInsecureURL = 2,
  kHRNNetworkErrorInvalidHeader = 3,
  kHRNNetworkErrorCancelled = 4,
  kHRNNetworkErrorTimedOut = 5,
  kHRNNetworkErrorCannotConnect = 6,
  kHRNNetworkErrorCannotFindHost = 7,
  // The connection closed before the whole response arrived.
  kHRNNetworkErrorConnectionLost = 8,
  kHRNNetworkErrorSecureConnectionFailed = 9,
  // The body grew past kHRNNetworkMaxResponseBodyBytes.
  kHRNNetworkErrorResponseTooLarge = 10,
  // The client could not set up the request (out of resources).
  kHRNNetworkErrorCannotStart = 11,
  kHRNNetworkErrorRequestFailed = 12,
};

// Responses longer than this are abandoned with kHRNNetworkErrorResponseTooLarge.
inline constexpr std::size_t kHRNNetworkMaxResponseBodyBytes = 8u * 1024u * 1024u;

Error HRNNetworkMakeError(long code, std::string description);

struct HRNNetworkTransferRequest {
  enum class Method { Get, Post };

  // Already checked by the caller: http or https, absolute.
  std::string url;
  Method method = Method::Get;
  Bytes payload;
  // Complete header lines ("Name: value").
  std::vector<std::string> headerLines;
  double timeoutSeconds = 60;
  // False sends the request directly even when a proxy is configured in
  // the environment (loopback hosts).
  bool allowProxy = true;
  std::string userAgent;
};

struct HRNNetworkTransferResult {
  // Absent when the transfer failed.
  std::optional<HRNHTTPResponse> response;
  // Empty when the transfer failed.
  Bytes body;
  std::optional<Error> error;
};

class HRNNetworkTransfer {
 public:
  using Finish = std::function<void(HRNNetworkTransferResult result)>;

  // Starts the I/O thread. Returns null and fills `error` when libcurl or
  // the thread cannot be set up.
  static std::unique_ptr<HRNNetworkTransfer> create(Error* error);
  ~HRNNetworkTransfer();
  HRNNetworkTransfer(const HRNNetworkTransfer&) = delete;
  HRNNetworkTransfer& operator=(const HRNNetworkTransfer&) = delete;

  // Returns false and fills `error` when the request could not be set up;
  // `finish` is then never called.
  [[nodiscard]] bool start(const HRNNetworkTransferRequest& request, Finish finish, Error* error);

  // Transfers started and not yet finished. The count drops before the
  // transfer's `finish` runs.
  int activeCount() const { return active_.load(); }

 private:
  struct Transfer;

  HRNNetworkTransfer() = default;
  void run();
  void complete(std::unique_ptr<Transfer> transfer, int curlCode);
  void cancel(std::unique_ptr<Transfer> transfer);

  void* multi_ = nullptr;  // CURLM*
  std::thread thread_;
  std::atomic<int> active_{0};

  std::mutex mutex_;
  bool stopping_ = false;
  std::vector<std::unique_ptr<Transfer>> incoming_;
  // Owned by the I/O thread only.
  std::map<void*, std::unique_ptr<Transfer>> running_;
};
