#include "utilities/HRNNetworkTransfer.h"

#include <curl/curl.h>

#include <cmath>
#include <mutex>
#include <system_error>
#include <utility>

namespace {

// How long the I/O thread sleeps at most when nothing happens; new work
// and curl's own timers wake it earlier.
constexpr int kPollIntervalMilliseconds = 1000;

bool initializeCurlOnce(Error* error) {
  static std::once_flag once;
  static CURLcode result = CURLE_OK;
  std::call_once(once, [] { result = curl_global_init(CURL_GLOBAL_DEFAULT); });
  if (result != CURLE_OK) {
    if (error)
      *error = HRNNetworkMakeError(kHRNNetworkErrorCannotStart, curl_easy_strerror(result));
    return false;
  }
  return true;
}

long errorCodeFor(CURLcode code) {
  switch (code) {
    case CURLE_OPERATION_TIMEDOUT:
      return kHRNNetworkErrorTimedOut;
    case CURLE_COULDNT_CONNECT:
      return kHRNNetworkErrorCannotConnect;
    case CURLE_COULDNT_RESOLVE_HOST:
    case CURLE_COULDNT_RESOLVE_PROXY:
      return kHRNNetworkErrorCannotFindHost;
    case CURLE_PARTIAL_FILE:
    case CURLE_RECV_ERROR:
    case CURLE_SEND_ERROR:
    case CURLE_GOT_NOTHING:
    case CURLE_HTTP2:
    case CURLE_HTTP2_STREAM:
      return kHRNNetworkErrorConnectionLost;
    case CURLE_SSL_CONNECT_ERROR:
    case CURLE_PEER_FAILED_VERIFICATION:
    case CURLE_SSL_CERTPROBLEM:
    case CURLE_SSL_CIPHER:
    case CURLE_SSL_CACERT_BADFILE:
    case CURLE_SSL_ISSUER_ERROR:
    case CURLE_SSL_PINNEDPUBKEYNOTMATCH:
    case CURLE_SSL_INVALIDCERTSTATUS:
      return kHRNNetworkErrorSecureConnectionFailed;
    case CURLE_FILESIZE_EXCEEDED:
      return kHRNNetworkErrorResponseTooLarge;
    case CURLE_URL_MALFORMAT:
    case CURLE_UNSUPPORTED_PROTOCOL:
      return kHRNNetworkErrorInvalidURL;
    case CURLE_OUT_OF_MEMORY:
    case CURLE_FAILED_INIT:
      return kHRNNetworkErrorCannotStart;
    default:
      return kHRNNetworkErrorRequestFailed;
  }
}

}  // namespace

Error HRNNetworkMakeError(long code, std::string description) {
  Error error;
  error.domain = kHRNNetworkErrorDomain;
  error.code = code;
  error.description = std::move(description);
  return error;
}

struct HRNNetworkTransfer::Transfer {
  ~Transfer() {
    if (easy != nullptr) curl_easy_cleanup(easy);
    curl_slist_free_all(headers);
  }

  static size_t onWrite(char* data, size_t size, size_t count, void* context) {
    auto* transfer = static_cast<Transfer*>(context);
    size_t length = size * count;
    if (length > kHRNNetworkMaxResponseBodyBytes - transfer->body.size()) {
      transfer->tooLarge = true;
      return 0;  // makes curl abandon the transfer
    }
    transfer->body.insert(transfer->body.end(), data, data + length);
    return length;
  }

  CURL* easy = nullptr;
  curl_slist* headers = nullptr;
  std::string url;
  // curl reads the body from here while the transfer runs.
  Bytes payload;
  Bytes body;
  bool tooLarge = false;
  char errorBuffer[CURL_ERROR_SIZE] = {};
  Finish finish;
};

std::unique_ptr<HRNNetworkTransfer> HRNNetworkTransfer::create(Error* error) {
  if (!initializeCurlOnce(error)) return nullptr;
  std::unique_ptr<HRNNetworkTransfer> transfer(new HRNNetworkTransfer());
  transfer->multi_ = curl_multi_init();
  if (transfer->multi_ == nullptr) {
    if (error) *error = HRNNetworkMakeError(kHRNNetworkErrorCannotStart, "curl_multi_init failed");
    return nullptr;
  }
  try {
    transfer->thread_ = std::thread([raw = transfer.get()] { raw->run(); });
  } catch (const std::system_error& e) {
    if (error) *error = HRNNetworkMakeError(kHRNNetworkErrorCannotStart, e.what());
    return nullptr;
  }
  return transfer;
}

HRNNetworkTransfer::~HRNNetworkTransfer() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
  }
  if (multi_ != nullptr) curl_multi_wakeup(multi_);
  if (thread_.joinable()) thread_.join();
  if (multi_ != nullptr) curl_multi_cleanup(multi_);
}

bool HRNNetworkTransfer::start(const HRNNetworkTransferRequest& request, Finish finish,
                               Error* error) {
  auto transfer = std::make_unique<Transfer>();
  transfer->url = request.url;
  transfer->payload = request.payload;
  transfer->finish = std::move(finish);
  transfer->easy = curl_easy_init();
  if (transfer->easy == nullptr) {
    if (error) *error = HRNNetworkMakeError(kHRNNetworkErrorCannotStart, "curl_easy_init failed");
    return false;
  }
  for (const std::string& line : request.headerLines) {
    curl_slist* extended = curl_slist_append(transfer->headers, line.c_str());
    if (extended == nullptr) {
      if (error) *error = HRNNetworkMakeError(kHRNNetworkErrorCannotStart, "out of memory");
      return false;
    }
    transfer->headers = extended;
  }

  CURL* easy = transfer->easy;
  long timeoutMilliseconds = std::max(1L, std::lround(request.timeoutSeconds * 1000.0));
  CURLcode rc = CURLE_OK;
  auto set = [&rc](CURLcode result) {
    if (rc == CURLE_OK) rc = result;
  };
  set(curl_easy_setopt(easy, CURLOPT_URL, transfer->url.c_str()));
  set(curl_easy_setopt(easy, CURLOPT_PROTOCOLS_STR, "http,https"));
  set(curl_easy_setopt(easy, CURLOPT_NOSIGNAL, 1L));
  // Redirects are handed to the caller as they are, never followed.
  set(curl_easy_setopt(easy, CURLOPT_FOLLOWLOCATION, 0L));
  set(curl_easy_setopt(easy, CURLOPT_SSL_VERIFYPEER, 1L));
  set(curl_easy_setopt(easy, CURLOPT_SSL_VERIFYHOST, 2L));
  set(curl_easy_setopt(easy, CURLOPT_TIMEOUT_MS, timeoutMilliseconds));
  set(curl_easy_setopt(easy, CURLOPT_CONNECTTIMEOUT_MS, timeoutMilliseconds));
  set(curl_easy_setopt(easy, CURLOPT_USERAGENT, request.userAgent.c_str()));
  set(curl_easy_setopt(easy, CURLOPT_ERRORBUFFER, transfer->errorBuffer));
  set(curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, &Transfer::onWrite));
  set(curl_easy_setopt(easy, CURLOPT_WRITEDATA, transfer.get()));
  set(curl_easy_setopt(easy, CURLOPT_MAXFILESIZE_LARGE,
                       static_cast<curl_off_t>(kHRNNetworkMaxResponseBodyBytes)));
  if (!request.allowProxy) set(curl_easy_setopt(easy, CURLOPT_PROXY, ""));
  if (request.method == HRNNetworkTransferRequest::Method::Post) {
    // A null body pointer would make curl read the body from stdin.
    static const char kEmpty[] = "";
    const char* data = transfer->payload.empty()
                           ? kEmpty
                           : reinterpret_cast<const char*>(transfer->payload.data());
    set(curl_easy_setopt(easy, CURLOPT_POST, 1L));
    set(curl_easy_setopt(easy, CURLOPT_POSTFIELDSIZE_LARGE,
                         static_cast<curl_off_t>(transfer->payload.size())));
    set(curl_easy_setopt(easy, CURLOPT_POSTFIELDS, data));
  } else {
    set(curl_easy_setopt(easy, CURLOPT_HTTPGET, 1L));
  }
  set(curl_easy_setopt(easy, CURLOPT_HTTPHEADER, transfer->headers));
  if (rc != CURLE_OK) {
    if (error) *error = HRNNetworkMakeError(kHRNNetworkErrorCannotStart, curl_easy_strerror(rc));
    return false;
  }

  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (stopping_) {
      if (error) *error = HRNNetworkMakeError(kHRNNetworkErrorCancelled, "client is shutting down");
      return false;
    }
    ++active_;
    incoming_.push_back(std::move(transfer));
  }
  curl_multi_wakeup(multi_);
  return true;
}

void HRNNetworkTransfer::run() {
  for (;;) {
    std::vector<std::unique_ptr<Transfer>> batch;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (stopping_) break;
      batch.swap(incoming_);
    }
    for (auto& transfer : batch) {
      void* easy = transfer->easy;
      if (curl_multi_add_handle(multi_, easy) != CURLM_OK) {
        complete(std::move(transfer), CURLE_FAILED_INIT);
        continue;
      }
      running_.emplace(easy, std::move(transfer));
    }

    int stillRunning = 0;
    curl_multi_perform(multi_, &stillRunning);
    int pending = 0;
    while (CURLMsg* message = curl_multi_info_read(multi_, &pending)) {
      if (message->msg != CURLMSG_DONE) continue;
      // The message is invalid once the handle is removed.
      CURL* easy = message->easy_handle;
      CURLcode code = message->data.result;
      curl_multi_remove_handle(multi_, easy);
      auto it = running_.find(easy);
      if (it == running_.end()) continue;
      std::unique_ptr<Transfer> transfer = std::move(it->second);
      running_.erase(it);
      complete(std::move(transfer), code);
    }
    curl_multi_poll(multi_, nullptr, 0, kPollIntervalMilliseconds, nullptr);
  }

  // Shutting down: everything still running or waiting is cancelled.
  for (auto& [easy, transfer] : running_) {
    curl_multi_remove_handle(multi_, easy);
    cancel(std::move(transfer));
  }
  running_.clear();
  std::vector<std::unique_ptr<Transfer>> waiting;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    waiting.swap(incoming_);
  }
  for (auto& transfer : waiting) cancel(std::move(transfer));
}

void HRNNetworkTransfer::complete(std::unique_ptr<Transfer> transfer, int curlCode) {
  HRNNetworkTransferResult result;
  CURLcode code = static_cast<CURLcode>(curlCode);
  CURL* easy = transfer->easy;
  if (code == CURLE_OK) {
    long status = 0;
    curl_off_t contentLength = -1;
    curl_easy_getinfo(easy, CURLINFO_RESPONSE_CODE, &status);
    if (curl_easy_getinfo(easy, CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &contentLength) != CURLE_OK) {
      contentLength = -1;
    }
    HRNHTTPResponse::HeaderFields fields;
    curl_header* previous = nullptr;
    while (curl_header* header = curl_easy_nextheader(easy, CURLH_HEADER, -1, previous)) {
      previous = header;
      bool merged = false;
      for (auto& [name, value] : fields) {
        if (HRNHTTPResponse::equalsIgnoringASCIICase(name, header->name)) {
          value.append(", ").append(header->value);
          merged = true;
          break;
        }
      }
      if (!merged) fields.emplace_back(header->name, header->value);
    }
    result.response.emplace(transfer->url, static_cast<int>(status), std::move(fields),
                            static_cast<std::int64_t>(contentLength));
    result.body = std::move(transfer->body);
  } else if (transfer->tooLarge) {
    result.error = HRNNetworkMakeError(kHRNNetworkErrorResponseTooLarge, "response body too large");
  } else {
    std::string description =
        transfer->errorBuffer[0] != '\0' ? transfer->errorBuffer : curl_easy_strerror(code);
    result.error = HRNNetworkMakeError(errorCodeFor(code), std::move(description));
  }
  Finish finish = std::move(transfer->finish);
  transfer.reset();
  --active_;
  finish(std::move(result));
}

void HRNNetworkTransfer::cancel(std::unique_ptr<Transfer> transfer) {
  HRNNetworkTransferResult result;
  result.error = HRNNetworkMakeError(kHRNNetworkErrorCancelled, "request cancelled");
  Finish finish = std::move(transfer->finish);
  transfer.reset();
  --active_;
  finish(std::move(result));
}
