// HRNNetwork failure paths: refused URLs and headers, timeouts, refused
// and dropped connections, untrusted certificates, oversized bodies and
// cancellation by destroying the client. Each completion runs exactly
// once, on the given queue.
#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>

#include <chrono>
#include <cstdio>
#include <filesystem>

#include "support/TempFolder.h"
#include "tests/utilities/network_test_support.h"

namespace {

using NetworkFailureTest = DeterministicNetworkTest;

TEST_F(NetworkFailureTest, UnsafeURLsAndHeadersAreRefusedWithoutConnecting) {
  struct Case {
    const char* url;
    std::map<std::string, std::string> headers;
    long code;
  };
  const Case cases[] = {
      {"http://example.com/a", {}, kHRNNetworkErrorInsecureURL},
      {"http://10.255.255.1:9/a", {}, kHRNNetworkErrorInsecureURL},
      // Names that only start like a loopback address are not loopback.
      {"http://127.0.0.1.example.com/a", {}, kHRNNetworkErrorInsecureURL},
      {"http://localhost.example.com/a", {}, kHRNNetworkErrorInsecureURL},
      {"not a url", {}, kHRNNetworkErrorInvalidURL},
      {"https://", {}, kHRNNetworkErrorInvalidURL},
      {"ftp://127.0.0.1/file", {}, kHRNNetworkErrorInvalidURL},
      {"file:///etc/passwd", {}, kHRNNetworkErrorInvalidURL},
      {"http://127.0.0.1/a\r\nX-Injected: 1", {}, kHRNNetworkErrorInvalidURL},
      {"http://127.0.0.1:1/a",
       {{"If-Modified-Since", "x\r\nX-Injected: 1"}},
       kHRNNetworkErrorInvalidHeader},
      {"http://127.0.0.1:1/a", {{"Bad Name", "x"}}, kHRNNetworkErrorInvalidHeader},
      {"http://127.0.0.1:1/a", {{"", "x"}}, kHRNNetworkErrorInvalidHeader},
  };
  for (const Case& test : cases) {
    SCOPED_TRACE(test.url);
    RecordedOutcome outcome;
    EXPECT_TRUE(
        network_->getURL(test.url, test.headers, queue_, false, outcome.handler(queue_)).empty());
    EXPECT_FALSE(network_->hasUploadInProgress());
    EXPECT_EQ(outcome.calls, 0) << "the completion must not run inside the call";
    runUntilIdle();
    outcome.expectFailure(test.code);
  }
  // A null queue means the callback queue.
  RecordedOutcome outcome;
  EXPECT_TRUE(network_->postURL("http://example.com/a", {}, nullptr, false, outcome.handler(queue_))
                  .empty());
  runUntilIdle();
  outcome.expectFailure(kHRNNetworkErrorInsecureURL);
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
  const auto started = std::chrono::steady_clock::now();
  auto outcome = post(server.url("/slow"), bytesOf("x"));
  const double elapsed =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
  gate.open();
  outcome->expectFailure(kHRNNetworkErrorTimedOut);
  EXPECT_GE(elapsed, 0.25);
  EXPECT_LT(elapsed, 1.5);
  EXPECT_FALSE(network_->hasUploadInProgress());
}

TEST_F(NetworkFailureTest, RefusedAndDroppedConnectionsFailWithoutResponse) {
  int port = 0;
  const int bound = bindLoopbackSocket(&port, false);  // bound, never listening
  auto refused = post(loopbackURL(port, "/a"), bytesOf("x"));
  ::close(bound);
  refused->expectFailure(kHRNNetworkErrorCannotConnect);
  EXPECT_TRUE(refused->error->description.has_value());

  RawReplyServer server("HTTP/1.1 200 OK\r\nContent-Length: 1000\r\n\r\n0123456789");
  get(server.url("/config"))->expectFailure(kHRNNetworkErrorConnectionLost);
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
          const size_t total = exact.size() + 1;
          if (offset >= total) {
            sink.done();
            return true;
          }
          const std::string chunk(std::min<size_t>(1 << 20, total - offset), 'c');
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
  atLimit.expectStatus(200);
  EXPECT_EQ(atLimit.body.size(), kHRNNetworkMaxResponseBodyBytes);
  over.expectFailure(kHRNNetworkErrorResponseTooLarge);
  overChunked.expectFailure(kHRNNetworkErrorResponseTooLarge);
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
  outcome.expectFailure(kHRNNetworkErrorCancelled);
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

// Writes a self-signed certificate for 127.0.0.1 and its key as PEM files.
void writeSelfSignedCertificate(const std::string& certificatePath, const std::string& keyPath) {
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
  FILE* file = std::fopen(certificatePath.c_str(), "w");
  PEM_write_X509(file, certificate);
  std::fclose(file);
  file = std::fopen(keyPath.c_str(), "w");
  PEM_write_PrivateKey(file, key, nullptr, nullptr, 0, nullptr, nullptr);
  std::fclose(file);
  X509_free(certificate);
  EVP_PKEY_free(key);
}

TEST_F(NetworkFailureTest, UntrustedCertificateIsRefused) {
  TempFolder folder;
  writeSelfSignedCertificate(folder / "cert.pem", folder / "key.pem");
  int hits = 0;
  {
    BasicLoopbackServer<httplib::SSLServer> server((folder / "cert.pem").c_str(),
                                                   (folder / "key.pem").c_str());
    ASSERT_TRUE(server.server().is_valid());
    server.server().Get("/a", [&](const httplib::Request&, httplib::Response&) { ++hits; });
    server.start();
    std::string url = server.url("/a");
    get(url.replace(0, 4, "https"))->expectFailure(kHRNNetworkErrorSecureConnectionFailed);
  }
  EXPECT_EQ(hits, 0);
}

}  // namespace
