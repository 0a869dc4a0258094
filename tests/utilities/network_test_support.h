// Loopback servers and a recording completion for the HRNNetwork tests.
#pragma once

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <httplib.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "platform/Clock.h"
#include "platform/DeterministicExecutor.h"
#include "platform/Dispatch.h"
#include "platform/DispatchQueue.h"
#include "platform/Reachability.h"
#include "utilities/HRNNetwork.h"

inline std::string loopbackURL(int port, const std::string& path) {
  return "http://127.0.0.1:" + std::to_string(port) + path;
}

// A TCP socket bound to a free port of 127.0.0.1; listening when asked.
inline int bindLoopbackSocket(int* port, bool listening) {
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof(address);
  if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0 ||
      (listening && ::listen(fd, 1) != 0) ||
      ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    ADD_FAILURE() << "loopback socket setup failed";
  }
  *port = ntohs(address.sin_port);
  return fd;
}

// Runs an httplib server (plain or TLS) on 127.0.0.1 from `start` until
// destruction. Routes are added before `start`.
template <typename Server = httplib::Server>
class BasicLoopbackServer {
 public:
  template <typename... Args>
  explicit BasicLoopbackServer(Args&&... args) : server_(std::forward<Args>(args)...) {
    // Keep-alive connections would hold worker threads after stop().
    server_.set_keep_alive_max_count(1);
  }
  ~BasicLoopbackServer() {
    if (!thread_.joinable()) return;
    server_.stop();
    thread_.join();
  }

  Server& server() { return server_; }

  void start() {
    port_ = server_.bind_to_any_port("127.0.0.1");
    ASSERT_GT(port_, 0);
    thread_ = std::thread([this] { server_.listen_after_bind(); });
    // stop() before the accept loop runs would be lost: a bounded wait.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (!server_.is_running() && std::chrono::steady_clock::now() < deadline) {
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    ASSERT_TRUE(server_.is_running());
  }

  std::string url(const std::string& path) const { return loopbackURL(port_, path); }

 private:
  Server server_;
  std::thread thread_;
  int port_ = 0;
};
using LoopbackServer = BasicLoopbackServer<>;

// Answers one connection with `reply` and closes it: for responses no
// HTTP server would send.
class RawReplyServer {
 public:
  explicit RawReplyServer(std::string reply) : reply_(std::move(reply)) {
    listener_ = bindLoopbackSocket(&port_, true);
    thread_ = std::thread([this] {
      const int connection = ::accept(listener_, nullptr, nullptr);
      if (connection < 0) return;
      std::string head;
      char buffer[1024];
      while (head.find("\r\n\r\n") == std::string::npos) {
        const ssize_t got = ::recv(connection, buffer, sizeof(buffer), 0);
        if (got <= 0) break;
        head.append(buffer, static_cast<std::size_t>(got));
      }
      ::send(connection, reply_.data(), reply_.size(), MSG_NOSIGNAL);
      ::close(connection);
    });
  }
  ~RawReplyServer() {
    ::shutdown(listener_, SHUT_RDWR);
    if (thread_.joinable()) thread_.join();
    ::close(listener_);
  }
  std::string url(const std::string& path) const { return loopbackURL(port_, path); }

 private:
  std::string reply_;
  int listener_ = -1;
  int port_ = 0;
  std::thread thread_;
};

// Server handlers wait here until the test opens it (or a bound passes), so
// that stopping a server never waits for a sleeping handler.
class Gate {
 public:
  // True when opened, false when `seconds` passed first.
  bool waitOpen(double seconds) {
    std::unique_lock<std::mutex> lock(mutex_);
    entered_ = true;
    changed_.notify_all();
    return changed_.wait_for(lock, std::chrono::duration<double>(seconds), [&] { return open_; });
  }
  void open() {
    std::lock_guard<std::mutex> lock(mutex_);
    open_ = true;
    changed_.notify_all();
  }
  // Real I/O: a bounded wait for a handler to arrive.
  bool waitEntered(double seconds) {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, std::chrono::duration<double>(seconds),
                             [&] { return entered_; });
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  bool open_ = false;
  bool entered_ = false;
};

// What one request's completion received, and where it ran.
struct RecordedOutcome {
  std::mutex mutex;
  int calls = 0;
  std::optional<HRNHTTPResponse> response;
  Bytes body;
  std::optional<Error> error;
  bool ranOnQueue = false;
  std::string queueLabel;
  bool uploadInProgressDuringCompletion = true;

  // Records into this outcome; `queue` is where it must run; `network`,
  // when given, is asked for hasUploadInProgress.
  HRNNetwork::CompletionHandler handler(std::shared_ptr<DispatchQueue> queue,
                                        std::shared_ptr<HRNNetwork> network = nullptr) {
    std::weak_ptr<HRNNetwork> weakNetwork = network;
    return [this, queue, weakNetwork](std::optional<HRNHTTPResponse> r, Bytes data,
                                      std::optional<Error> e) {
      std::lock_guard<std::mutex> lock(mutex);
      ++calls;
      response = std::move(r);
      body = std::move(data);
      error = std::move(e);
      ranOnQueue = queue->isCurrent();
      queueLabel = currentQueueLabel();
      if (auto network = weakNetwork.lock()) {
        uploadInProgressDuringCompletion = network->hasUploadInProgress();
      }
    };
  }

  // One completion on its queue, a failure with `code` and no response.
  void expectFailure(long code) {
    ASSERT_EQ(calls, 1);
    EXPECT_TRUE(ranOnQueue);
    EXPECT_FALSE(response.has_value());
    EXPECT_TRUE(body.empty());
    ASSERT_TRUE(error.has_value());
    EXPECT_EQ(error->domain, kHRNNetworkErrorDomain);
    EXPECT_EQ(error->code, code);
  }
  // One completion on its queue with a response of `status` and no error.
  void expectStatus(int status) {
    ASSERT_EQ(calls, 1);
    EXPECT_TRUE(ranOnQueue);
    EXPECT_FALSE(error.has_value());
    ASSERT_TRUE(response.has_value());
    EXPECT_EQ(response->statusCode(), status);
  }
};

inline Bytes bytesOf(const std::string& text) { return Bytes(text.begin(), text.end()); }

// A client for 127.0.0.1 whose completions run on a serial queue of a
// deterministic executor; `runUntilIdle` waits for requests in flight.
class DeterministicNetworkTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_NE(network_, nullptr); }

  void runUntilIdle() { executor_->runUntilIdle(20.0); }

  // Starts a GET (or, with a payload, a POST) that must start, and runs
  // until its completion ran.
  std::unique_ptr<RecordedOutcome> get(const std::string& url,
                                       const std::map<std::string, std::string>& headers = {}) {
    auto outcome = std::make_unique<RecordedOutcome>();
    EXPECT_FALSE(network_->getURL(url, headers, queue_, false, outcome->handler(queue_)).empty());
    runUntilIdle();
    return outcome;
  }
  std::unique_ptr<RecordedOutcome> post(const std::string& url, Bytes payload) {
    auto outcome = std::make_unique<RecordedOutcome>();
    EXPECT_FALSE(
        network_
            ->postURL(url, std::move(payload), queue_, false, outcome->handler(queue_, network_))
            .empty());
    runUntilIdle();
    return outcome;
  }

  std::shared_ptr<FakeClock> clock_ = std::make_shared<FakeClock>();
  std::shared_ptr<DeterministicExecutor> executor_ =
      std::make_shared<DeterministicExecutor>(clock_);
  Dispatch dispatch_{executor_};
  std::shared_ptr<DispatchQueue> queue_ = dispatch_.createSerialQueue("test.network");
  std::shared_ptr<Reachability> reachability_ = std::make_shared<Reachability>([] { return true; });
  std::shared_ptr<HRNNetwork> network_ =
      HRNNetwork::initWithReachabilityHost("127.0.0.1", reachability_, queue_);
};
