// The local measurement service as a child process, for tests: the real
// ferrolux-service binary on a free loopback port with its own data
// folder, talked to over HTTP, stopped (SIGTERM, then SIGKILL) when the
// object goes. The binary's path comes from FERROLUX_SERVICE_BINARY.
#pragma once

#include <fcntl.h>
#include <httplib.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

class ServiceProcess {
 public:
  // `dataDir` and `configDir` must exist; the data survives restarts.
  ServiceProcess(std::string dataDir, std::string configDir)
      : dataDir_(std::move(dataDir)), configDir_(std::move(configDir)) {}
  ~ServiceProcess() { stop(); }
  ServiceProcess(const ServiceProcess&) = delete;
  ServiceProcess& operator=(const ServiceProcess&) = delete;

  // Starts the service and waits (up to 15 s) until it listens. False with
  // `problem` filled when it does not.
  bool start(std::string* problem) {
    stop();
    const std::string portFile = dataDir_ + "/port";
    std::remove(portFile.c_str());
    std::vector<std::string> arguments = {
        FERROLUX_SERVICE_BINARY, "--port",  "0", "--port-file", portFile, "--data", dataDir_,
        "--config-dir",          configDir_};
    std::vector<char*> argv;
    for (std::string& argument : arguments) argv.push_back(argument.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, (dataDir_ + "/service.log").c_str(),
                                     O_WRONLY | O_CREAT | O_APPEND, 0644);
    posix_spawn_file_actions_adddup2(&actions, STDOUT_FILENO, STDERR_FILENO);
    const int spawned = posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (spawned != 0) {
      pid_ = -1;
      if (problem != nullptr) *problem = "cannot start " + arguments[0];
      return false;
    }
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(15);
    while (std::chrono::steady_clock::now() < deadline) {
      std::ifstream file(portFile);
      int port = 0;
      if (file >> port && port > 0) {
        port_ = port;
        return true;
      }
      int status = 0;
      if (waitpid(pid_, &status, WNOHANG) == pid_) {
        pid_ = -1;
        if (problem != nullptr) *problem = "the service exited at start; see its log";
        return false;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    if (problem != nullptr) *problem = "the service did not write its port in time";
    stop();
    return false;
  }

  void stop() {
    if (pid_ <= 0) return;
    kill(pid_, SIGTERM);
    for (int i = 0; i < 250; ++i) {
      int status = 0;
      if (waitpid(pid_, &status, WNOHANG) == pid_) {
        pid_ = -1;
        return;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
    pid_ = -1;
  }

  int port() const { return port_; }
  std::string baseURL() const { return "http://127.0.0.1:" + std::to_string(port_); }

  // GET `path` as JSON; none when the answer is not a 200 with JSON.
  std::optional<nlohmann::json> getJSON(const std::string& path) const {
    httplib::Client client("127.0.0.1", port_);
    client.set_read_timeout(30, 0);
    const httplib::Result result = client.Get(path.c_str());
    if (!result || result->status != 200) return std::nullopt;
    nlohmann::json parsed = nlohmann::json::parse(result->body, nullptr, false);
    if (parsed.is_discarded()) return std::nullopt;
    return parsed;
  }

  // GET `path`; the body of a 200, else none.
  std::optional<std::string> getBody(const std::string& path) const {
    httplib::Client client("127.0.0.1", port_);
    client.set_read_timeout(30, 0);
    const httplib::Result result = client.Get(path.c_str());
    if (!result || result->status != 200) return std::nullopt;
    return result->body;
  }

  // Queues a fault ({"count":N,"status":S} and the like); true when taken.
  bool addFault(const nlohmann::json& fault) const {
    httplib::Client client("127.0.0.1", port_);
    const httplib::Result result = client.Post("/api/faults", fault.dump(), "application/json");
    return result && result->status == 200;
  }

  // What the service holds: batches, bundles, events, duplicates dropped.
  nlohmann::json summary() const { return getJSON("/api/summary").value_or(nlohmann::json()); }

  const std::string& dataDir() const { return dataDir_; }

 private:
  std::string dataDir_;
  std::string configDir_;
  pid_t pid_ = -1;
  int port_ = 0;
};
