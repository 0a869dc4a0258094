// HRNNetwork failure paths: refused URLs and headers, timeouts, refused
// and dropped connections, untrusted certificates, oversized bodies and
// cancellation by destroying the client. Each completion must run exactly
// once, on the given queue.
#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>

#include <chrono>
#include <cstdio>
#include <filesystem>

#include "tests/utilities/network_test_support.h"

namespace {

class NetworkFailureTest : public DeterministicNetworkTest {
 protected:
  // Starts a request that must be refused without connecting, and returns
  // its outcome after the queue ran.
  void expectRefused(const std::string& url, const std::map<std::string, std::string>& headers,
                     long expectedCode) {
    SCOPED_TRACE(url);
    RecordedOutcome outcome;
    std::string identifier = network_->getURL(url, headers, queue_, false, outcome.handler(queue_));
    EXPECT_TRUE(identifier.empty());
    EXPECT_FALSE(network_->hasUploadInProgress());
    EXPECT_EQ(outcome.calls, 0) << "the completion must not run inside the call";
    runUntilIdle();
    ASSERT_EQ(outcome.calls, 1);
    EXPECT_TRUE(outcome.ranOnQueue);
    EXPECT_FALSE(outcome.response.has_value());
    ASSERT_TRUE(outcome.error.has_value());
    EXPECT_EQ(outcome.error->domain, kHRNNetworkErrorDomain);
    EXPECT_EQ(outcome.error->code, expectedCode);
  }
};

TEST_F(NetworkFailureTest, PlainHttpToANonLoopbackHostIsRefusedWithoutConnecting) {
  expectRefused("http://example.com/a", {}, kHRNNetworkErrorInsecureURL);
  expectRefused("http://10.255.255.1:9/a", {}, kHRNNetworkErrorInsecureURL);
  // Names that only start like a loopback address are not loopback.
  expectRefused("http://127.0.0.1.example.com/a", {}, kHRNNetworkErrorInsecureURL);
  expectRefused("http://localhost.example.com/a", {}, kHRNNetworkErrorInsecureURL);
}

TEST_F(NetworkFailureTest, MalformedURLsAndUnsafeHeadersAreRefused) {
  expectRefused("not a url", {}, kHRNNetworkErrorInvalidURL);
  expectRefused("https://", {}, kHRNNetworkErrorInvalidURL);
  expectRefused("ftp://127.0.0.1/file", {}, kHRNNetworkErrorInvalidURL);
  expectRefused("file:///etc/passwd", {}, kHRNNetworkErrorInvalidURL);
  expectRefused("http://127.0.0.1/a\r\nX-Injected: 1", {}, kHRNNetworkErrorInvalidURL);
  expectRefused("http://127.0.0.1:1/a", {{"If-Modified-Since", "x\r\nX-Injected: 1"}},
                kHRNNetworkErrorInvalidHeader);
  expectRefused("http://127.0.0.1:1/a", {{"Bad Name", "x"}}, kHRNNetworkErrorInvalidHeader);
  expectRefused("http://127.0.0.1:1/a", {{"", "x"}}, kHRNNetworkErrorInvalidHeader);
}

TEST_F(NetworkFailureTest, ANullQueueMeansTheCallbackQueue) {
  RecordedOutcome outcome;
  EXPECT_TRUE(network_->postURL("http://example.com/a", {}, nullptr, false, outcome.handler(queue_))
                  .empty());
  runUntilIdle();
  EXPECT_EQ(outcome.calls, 1);
  EXPECT_TRUE(outcome.ranOnQueue);
}

TEST_F(NetworkFailureTest, TimeoutEndsTheRequestWithATimedOutError) {
  LoopbackServer server;
  Gate gate;
  server.server().Post("/slow", [&](const httplib::Request&, httplib::Response& response) {
    gate.waitOpen(2.0);
    response.status = 200;
  });
  server.start();

  network_->setTimeoutInterval(0.3);
  RecordedOutcome outcome;
  auto started = std::chrono::steady_clock::now();
  EXPECT_FALSE(
      network_->postURL(server.url("/slow"), bytesOf("x"), queue_, false, outcome.handler(queue_))
          .empty());
  runUntilIdle();
  double elapsed =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
  gate.open();

  ASSERT_EQ(outcome.calls, 1);
  EXPECT_TRUE(outcome.ranOnQueue);
  EXPECT_FALSE(outcome.response.has_value());
  ASSERT_TRUE(outcome.error.has_value());
  EXPECT_EQ(outcome.error->code, kHRNNetworkErrorTimedOut);
  EXPECT_GE(elapsed, 0.25);
  EXPECT_LT(elapsed, 1.5);
  EXPECT_FALSE(network_->hasUploadInProgress());
}

TEST_F(NetworkFailureTest, ConnectionRefused) {
  RefusingPort port;
  RecordedOutcome outcome;
  EXPECT_FALSE(
      network_->postURL(port.url("/a"), bytesOf("x"), queue_, false, outcome.handler(queue_))
          .empty());
  runUntilIdle();
  ASSERT_EQ(outcome.calls, 1);
  EXPECT_TRUE(outcome.ranOnQueue);
  EXPECT_FALSE(outcome.response.has_value());
  ASSERT_TRUE(outcome.error.has_value());
  EXPECT_EQ(outcome.error->code, kHRNNetworkErrorCannotConnect);
  EXPECT_TRUE(outcome.error->description.has_value());
}

TEST_F(NetworkFailureTest, ConnectionDroppedMidBodyIsAFailureWithoutResponse) {
  RawReplyServer server("HTTP/1.1 200 OK\r\nContent-Length: 1000\r\n\r\n0123456789");
  RecordedOutcome outcome;
  EXPECT_FALSE(
      network_->getURL(server.url("/config"), {}, queue_, false, outcome.handler(queue_)).empty());
  runUntilIdle();
  ASSERT_EQ(outcome.calls, 1);
  EXPECT_TRUE(outcome.ranOnQueue);
  EXPECT_FALSE(outcome.response.has_value());
  EXPECT_TRUE(outcome.body.empty());
  ASSERT_TRUE(outcome.error.has_value());
  EXPECT_EQ(outcome.error->code, kHRNNetworkErrorConnectionLost);
}

TEST_F(NetworkFailureTest, ResponseBodyLimitIsInclusive) {
  LoopbackServer server;
  const std::string exact(kHRNNetworkMaxResponseBodyBytes, 'a');
  server.server().Get("/exact", [&](const httplib::Request&, httplib::Response& response) {
    response.set_content(exact, "application/octet-stream");
  });
  server.server().Get("/over", [&](const httplib::Request&, httplib::Response& response) {
    response.set_content(exact + "b", "application/octet-stream");
  });
  // Without a Content-Length the limit is found while reading.
  server.server().Get("/over-chunked", [&](const httplib::Request&, httplib::Response& response) {
    response.set_chunked_content_provider(
        "application/octet-stream", [&](size_t offset, httplib::DataSink& sink) {
          constexpr size_t kChunk = 1 << 20;
          size_t total = exact.size() + 1;
          if (offset >= total) {
            sink.done();
            return true;
          }
          std::string chunk(std::min(kChunk, total - offset), 'c');
          return sink.write(chunk.data(), chunk.size());
        });
  });
  server.start();

  RecordedOutcome atLimit, over, overChunked;
  (void)network_->getURL(server.url("/exact"), {}, queue_, false, atLimit.handler(queue_));
  (void)network_->getURL(server.url("/over"), {}, queue_, false, over.handler(queue_));
  (void)network_->getURL(server.url("/over-chunked"), {}, queue_, false,
                         overChunked.handler(queue_));
  runUntilIdle();

  ASSERT_EQ(atLimit.calls, 1);
  EXPECT_FALSE(atLimit.error.has_value());
  EXPECT_EQ(atLimit.body.size(), kHRNNetworkMaxResponseBodyBytes);
  for (RecordedOutcome* outcome : {&over, &overChunked}) {
    ASSERT_EQ(outcome->calls, 1);
    EXPECT_FALSE(outcome->response.has_value());
    ASSERT_TRUE(outcome->error.has_value());
    EXPECT_EQ(outcome->error->code, kHRNNetworkErrorResponseTooLarge);
  }
}

TEST_F(NetworkFailureTest, DestroyingTheClientCancelsRequestsInFlight) {
  LoopbackServer server;
  Gate gate;
  server.server().Post("/a", [&](const httplib::Request&, httplib::Response& response) {
    gate.waitOpen(10);
    response.status = 200;
  });
  server.start();

  RecordedOutcome outcome;
  EXPECT_FALSE(
      network_->postURL(server.url("/a"), bytesOf("x"), queue_, false, outcome.handler(queue_))
          .empty());
  ASSERT_TRUE(gate.waitEntered(10));
  network_.reset();
  EXPECT_EQ(outcome.calls, 0);
  runUntilIdle();
  gate.open();

  ASSERT_EQ(outcome.calls, 1);
  EXPECT_TRUE(outcome.ranOnQueue);
  EXPECT_FALSE(outcome.response.has_value());
  ASSERT_TRUE(outcome.error.has_value());
  EXPECT_EQ(outcome.error->code, kHRNNetworkErrorCancelled);
}

TEST_F(NetworkFailureTest, ACompletionMayHoldTheLastReferenceToItsClient) {
  LoopbackServer server;
  Gate gate;
  server.server().Get("/a", [&](const httplib::Request&, httplib::Response& response) {
    gate.waitOpen(10);
    response.status = 200;
  });
  server.start();

  int calls = 0;
  std::weak_ptr<HRNNetwork> weak = network_;
  std::shared_ptr<HRNNetwork> client = std::move(network_);
  EXPECT_FALSE(client
                   ->getURL(server.url("/a"), {}, queue_, false,
                            [&calls, client](std::optional<HRNHTTPResponse>, Bytes,
                                             std::optional<Error>) { ++calls; })
                   .empty());
  client.reset();
  ASSERT_FALSE(weak.expired());
  ASSERT_TRUE(gate.waitEntered(10));
  gate.open();
  runUntilIdle();
  EXPECT_EQ(calls, 1);
  // Released with the completion's block, on the queue.
  EXPECT_TRUE(weak.expired());
}

// A self-signed certificate for 127.0.0.1 written to PEM files.
class SelfSignedCertificate {
 public:
  SelfSignedCertificate() {
    directory_ =
        std::filesystem::temp_directory_path() / ("network_tls_" + std::to_string(::getpid()));
    std::filesystem::create_directories(directory_);
    EVP_PKEY* key = EVP_EC_gen("P-256");
    X509* certificate = X509_new();
    X509_set_version(certificate, 2);
    ASN1_INTEGER_set(X509_get_serialNumber(certificate), 1);
    X509_gmtime_adj(X509_getm_notBefore(certificate), -3600);
    X509_gmtime_adj(X509_getm_notAfter(certificate), 3600);
    X509_set_pubkey(certificate, key);
    X509_NAME* name = X509_get_subject_name(certificate);
    X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC,
                               reinterpret_cast<const unsigned char*>("127.0.0.1"), -1, -1, 0);
    X509_set_issuer_name(certificate, name);
    X509_sign(certificate, key, EVP_sha256());
    FILE* file = std::fopen(certificatePath().c_str(), "w");
    PEM_write_X509(file, certificate);
    std::fclose(file);
    file = std::fopen(keyPath().c_str(), "w");
    PEM_write_PrivateKey(file, key, nullptr, nullptr, 0, nullptr, nullptr);
    std::fclose(file);
    X509_free(certificate);
    EVP_PKEY_free(key);
  }
  ~SelfSignedCertificate() { std::filesystem::remove_all(directory_); }
  std::string certificatePath() const { return (directory_ / "cert.pem").string(); }
  std::string keyPath() const { return (directory_ / "key.pem").string(); }

 private:
  std::filesystem::path directory_;
};

TEST_F(NetworkFailureTest, UntrustedCertificateIsRefused) {
  SelfSignedCertificate certificate;
  httplib::SSLServer server(certificate.certificatePath().c_str(), certificate.keyPath().c_str());
  ASSERT_TRUE(server.is_valid());
  server.set_keep_alive_max_count(1);
  int hits = 0;
  server.Get("/a", [&](const httplib::Request&, httplib::Response&) { ++hits; });
  int port = server.bind_to_any_port("127.0.0.1");
  ASSERT_GT(port, 0);
  std::thread thread([&] { server.listen_after_bind(); });

  RecordedOutcome outcome;
  EXPECT_FALSE(network_
                   ->getURL("https://127.0.0.1:" + std::to_string(port) + "/a", {}, queue_, false,
                            outcome.handler(queue_))
                   .empty());
  runUntilIdle();
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  while (!server.is_running() && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  server.stop();
  thread.join();

  ASSERT_EQ(outcome.calls, 1);
  EXPECT_TRUE(outcome.ranOnQueue);
  EXPECT_FALSE(outcome.response.has_value());
  ASSERT_TRUE(outcome.error.has_value());
  EXPECT_EQ(outcome.error->code, kHRNNetworkErrorSecureConnectionFailed);
  EXPECT_EQ(hits, 0);
}

}  // namespace
