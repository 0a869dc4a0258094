// The local measurement service as a child process: the real binary on a
// free loopback port with temporary folders, its exit status, and the
// messages tests post to it.
#pragma once

#include <fcntl.h>
#include <gtest/gtest.h>
#include <httplib.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <fstream>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "support/TempFolder.h"
#include "upload/TLMPBUploadMessages.h"

extern char** environ;

inline constexpr char kServiceAppID[] = "1:1234567890:ios:0123456789abcdef";

// What a finished run of the binary left.
struct ServiceRunResult {
  int exitStatus = -1;  // -1 when it did not exit normally
  std::string output;
  std::string errors;
};

// Starts the binary with `arguments`, stdout and stderr into files in
// `folder`. The pid, or -1.
inline pid_t spawnService(const std::vector<std::string>& arguments, const std::string& folder,
                          const std::string& logName) {
  std::vector<std::string> all = {FERROLUX_SERVICE_BINARY};
  all.insert(all.end(), arguments.begin(), arguments.end());
  std::vector<char*> argv;
  for (std::string& argument : all) argv.push_back(argument.data());
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO,
                                   (folder + "/" + logName + ".out").c_str(),
                                   O_WRONLY | O_CREAT | O_TRUNC, 0644);
  posix_spawn_file_actions_addopen(&actions, STDERR_FILENO,
                                   (folder + "/" + logName + ".err").c_str(),
                                   O_WRONLY | O_CREAT | O_TRUNC, 0644);
  pid_t pid = -1;
  const int spawned = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  return spawned == 0 ? pid : -1;
}

// Waits up to `seconds` for `pid`; its exit status, or -1 (killed then).
inline int waitForExit(pid_t pid, int seconds) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
  while (std::chrono::steady_clock::now() < deadline) {
    int status = 0;
    if (waitpid(pid, &status, WNOHANG) == pid) {
      return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  kill(pid, SIGKILL);
  waitpid(pid, nullptr, 0);
  return -1;
}

// Runs the binary to its end (bounded by 60 s).
inline ServiceRunResult runServiceCommand(const std::vector<std::string>& arguments) {
  TempFolder folder;
  ServiceRunResult result;
  const pid_t pid = spawnService(arguments, folder.path(), "run");
  if (pid < 0) return result;
  result.exitStatus = waitForExit(pid, 60);
  result.output = readTextFile(folder / "run.out");
  result.errors = readTextFile(folder / "run.err");
  return result;
}

// A running service over a data folder and a configuration folder that
// outlive it, so a test can restart it on the same data.
class ServiceUnderTest {
 public:
  // A client writing a body the service refused may find the connection
  // closed; that is an error result, not the end of the test process.
  ServiceUnderTest() { signal(SIGPIPE, SIG_IGN); }
  ~ServiceUnderTest() { (void)stop(); }

  std::string dataDir() const { return root_ / "data"; }
  std::string configDir() const { return root_ / "config"; }
  std::string logDir() const { return root_.path(); }

  // Starts the binary and waits (up to 30 s) for its port file.
  [[nodiscard]] bool start() {
    const std::string portFile = root_ / "port";
    std::remove(portFile.c_str());
    pid_ = spawnService(
        {"--port", "0", "--port-file", portFile, "--data", dataDir(), "--config-dir", configDir()},
        root_.path(), "service");
    if (pid_ < 0) return false;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (std::chrono::steady_clock::now() < deadline) {
      std::ifstream file(portFile);
      std::string line;
      if (std::getline(file, line) && !line.empty()) {
        port_ = std::stoi(line);
        return port_ > 0;
      }
      int status = 0;
      if (waitpid(pid_, &status, WNOHANG) == pid_) {
        pid_ = -1;
        return false;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
  }

  // Sends `signal` and answers the exit status (-1 when it had to be
  // killed or was not running).
  int stop(int signal = SIGTERM) {
    if (pid_ < 0) return -1;
    kill(pid_, signal);
    const int status = waitForExit(pid_, 20);
    pid_ = -1;
    return status;
  }

  int port() const { return port_; }
  std::string output() const { return readTextFile(root_ / "service.out"); }

  httplib::Client client() const {
    httplib::Client client("127.0.0.1", port_);
    client.set_connection_timeout(10, 0);
    client.set_read_timeout(60, 0);
    return client;
  }

  httplib::Result post(const std::string& body, const httplib::Headers& headers = {}) const {
    return client().Post("/a", headers, body, "application/octet-stream");
  }

  httplib::Result get(const std::string& path, const httplib::Headers& headers = {}) const {
    return client().Get(path.c_str(), headers);
  }

  // GET as JSON; a discarded value when the answer is not a 200 with JSON.
  nlohmann::json getJSON(const std::string& path) const {
    const httplib::Result result = get(path);
    if (!result || result->status != 200) return nlohmann::json::value_t::discarded;
    return nlohmann::json::parse(result->body, nullptr, false);
  }

  bool addFault(const nlohmann::json& fault) const {
    const httplib::Result result = client().Post("/api/faults", fault.dump(), "application/json");
    return result && result->status == 200;
  }

 private:
  TempFolder root_;
  pid_t pid_ = -1;
  int port_ = 0;
};

inline TLMPBEventParam intParam(const std::string& name, std::int64_t value) {
  TLMPBEventParam param;
  param.set_name(name);
  param.set_int_value(value);
  return param;
}

inline TLMPBEventParam stringParam(const std::string& name, const std::string& value) {
  TLMPBEventParam param;
  param.set_name(name);
  param.set_string_value(value);
  return param;
}

inline TLMPBEventParam doubleParam(const std::string& name, double value) {
  TLMPBEventParam param;
  param.set_name(name);
  param.set_double_value(value);
  return param;
}

inline TLMPBEvent makeEvent(const std::string& name, std::int64_t millis,
                            std::vector<TLMPBEventParam> params = {}) {
  TLMPBEvent event;
  event.set_name(name);
  event.set_timestamp_millis(millis);
  EXPECT_TRUE(event.set_params(std::move(params)));
  return event;
}

inline TLMPBMeasurementBundle makeBundle(int index, std::vector<TLMPBEvent> events,
                                         const std::string& appID = kServiceAppID) {
  TLMPBMeasurementBundle bundle;
  bundle.set_protocol_version(1);
  bundle.set_app_id(appID);
  bundle.set_app_instance_id("6F1D3C2B9A8E4D7F");
  bundle.set_bundle_index(index);
  bundle.set_platform("ios");
  bundle.set_start_timestamp_millis(1700000000000 + index * 1000);
  bundle.set_end_timestamp_millis(1700000000000 + index * 1000 + 500);
  bundle.set_upload_timestamp_millis(1700000100000);
  bundle.set_bundle_checksum(1000 + index);
  EXPECT_TRUE(bundle.set_events(std::move(events)));
  return bundle;
}

inline std::string batchBody(std::vector<TLMPBMeasurementBundle> bundles) {
  TLMPBMeasurementBatch batch;
  EXPECT_TRUE(batch.set_bundles(std::move(bundles)));
  const std::optional<Bytes> bytes = batch.protoBuffer();
  EXPECT_TRUE(bytes.has_value());
  return bytes ? std::string(bytes->begin(), bytes->end()) : std::string();
}

// A batch of one bundle with one event "<name>" carrying "level" = `level`.
inline std::string oneEventBatch(int index, const std::string& name, std::int64_t level = 1) {
  return batchBody(
      {makeBundle(index, {makeEvent(name, 1700000000000 + index, {intParam("level", level)})})});
}
