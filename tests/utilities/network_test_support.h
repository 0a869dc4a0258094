// Loopback servers and a recording completion for the HRNNetwork tests.
#pragma once

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <httplib.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
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

// An httplib server on 127.0.0.1 and a free port, serving on its own
// thread from `start` until destruction. Routes are added before `start`.
class LoopbackServer {
 public:
  LoopbackServer() {
    // Keep-alive connections would hold worker threads after stop().
    server_.set_keep_alive_max_count(1);
  }
  ~LoopbackServer() { stop(); }

  httplib::Server& server() { return server_; }

  void start() {
    port_ = server_.bind_to_any_port("127.0.0.1");
    ASSERT_GT(port_, 0);
    thread_ = std::thread([this] { server_.listen_after_bind(); });
    // stop() before the accept loop runs would be lost; a bounded wait.
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (!server_.is_running() && std::chrono::steady_clock::now() < deadline) {
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    ASSERT_TRUE(server_.is_running());
  }

  void stop() {
    if (!thread_.joinable()) return;
    server_.stop();
    thread_.join();
  }

  std::string url(const std::string& path) const {
    return "http://127.0.0.1:" + std::to_string(port_) + path;
  }
  int port() const { return port_; }

 private:
  httplib::Server server_;
  std::thread thread_;
  int port_ = 0;
};

// A one-connection TCP server on 127.0.0.1: reads the request head, writes
// `reply` and closes. For responses no HTTP server would send.
class RawReplyServer {
 public:
  explicit RawReplyServer(std::string reply) : reply_(std::move(reply)) {
    listener_ = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof(address);
    if (::bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0 ||
        ::listen(listener_, 1) != 0 ||
        ::getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
      ADD_FAILURE() << "raw server setup failed";
      return;
    }
    port_ = ntohs(address.sin_port);
    thread_ = std::thread([this] { serveOne(); });
  }
  ~RawReplyServer() {
    ::shutdown(listener_, SHUT_RDWR);
    if (thread_.joinable()) thread_.join();
    ::close(listener_);
  }

  std::string url(const std::string& path) const {
    return "http://127.0.0.1:" + std::to_string(port_) + path;
  }

 private:
  void serveOne() {
    int connection = ::accept(listener_, nullptr, nullptr);
    if (connection < 0) return;
    std::string head;
    char buffer[1024];
    while (head.find("\r\n\r\n") == std::string::npos) {
      ssize_t got = ::recv(connection, buffer, sizeof(buffer), 0);
      if (got <= 0) break;
      head.append(buffer, static_cast<std::size_t>(got));
    }
    ::send(connection, reply_.data(), reply_.size(), MSG_NOSIGNAL);
    ::close(connection);
  }

  std::string reply_;
  int listener_ = -1;
  int port_ = 0;
  std::thread thread_;
};

// A port on 127.0.0.1 that refuses connections: bound, never listening,
// held until destruction so that nobody else takes it.
class RefusingPort {
 public:
  RefusingPort() {
    socket_ = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof(address);
    ::bind(socket_, reinterpret_cast<sockaddr*>(&address), sizeof(address));
    ::getsockname(socket_, reinterpret_cast<sockaddr*>(&address), &length);
    port_ = ntohs(address.sin_port);
  }
  ~RefusingPort() { ::close(socket_); }
  std::string url(const std::string& path) const {
    return "http://127.0.0.1:" + std::to_string(port_) + path;
  }

 private:
  int socket_ = -1;
  int port_ = 0;
};

// A gate that server handlers wait at until the test opens it (or a bound
// passes), so that stopping a server never waits for a sleeping handler.
class Gate {
 public:
  // Returns true when opened, false when `seconds` passed first.
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

  // A completion that records into this outcome; `queue` is the queue it
  // must run on, `network` is asked for hasUploadInProgress when given.
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
};

inline Bytes bytesOf(const std::string& text) { return Bytes(text.begin(), text.end()); }

// A client for 127.0.0.1 whose completions run on a serial queue of a
// deterministic executor; `runUntilIdle` waits for requests in flight.
class DeterministicNetworkTest : public ::testing::Test {
 protected:
  DeterministicNetworkTest()
      : clock_(std::make_shared<FakeClock>()),
        executor_(std::make_shared<DeterministicExecutor>(clock_)),
        dispatch_(executor_),
        queue_(dispatch_.createSerialQueue("test.network")),
        reachability_(std::make_shared<Reachability>([] { return true; })),
        network_(HRNNetwork::initWithReachabilityHost("127.0.0.1", reachability_, queue_)) {}

  void SetUp() override { ASSERT_NE(network_, nullptr); }

  void runUntilIdle() { executor_->runUntilIdle(20.0); }

  std::shared_ptr<FakeClock> clock_;
  std::shared_ptr<DeterministicExecutor> executor_;
  Dispatch dispatch_;
  std::shared_ptr<DispatchQueue> queue_;
  std::shared_ptr<Reachability> reachability_;
  std::shared_ptr<HRNNetwork> network_;
};
