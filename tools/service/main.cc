// ferrolux-service: the local measurement service app developers run beside
// their app. See docs/local-service.md.
#include <httplib.h>
#include <pthread.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <string>
#include <thread>
#include <vector>

#include "tools/service/ServiceFaults.h"
#include "tools/service/ServiceOptions.h"
#include "tools/service/ServicePrint.h"
#include "tools/service/ServiceRoutes.h"
#include "tools/service/ServiceStore.h"
#include "tools/service/ServiceText.h"

namespace {

int failWith(const std::string& problem) {
  std::cerr << "ferrolux-service: " << problem << std::endl;
  return kServiceExitFailure;
}

// Written under another name and renamed, so that a reader never sees a
// partial number.
bool writePortFile(const std::string& path, int port, std::string* problem) {
  const std::string temporary = path + ".tmp";
  {
    std::ofstream file(temporary, std::ios::trunc);
    file << port << "\n";
    file.close();
    if (!file) {
      *problem = "cannot write " + temporary;
      return false;
    }
  }
  std::error_code error;
  std::filesystem::rename(temporary, path, error);
  if (error) {
    *problem = "cannot write " + path + ": " + error.message();
    return false;
  }
  return true;
}

int printStore(const ServiceOptions& options) {
  std::string problem;
  std::unique_ptr<ServiceStore> store = ServiceStore::open(options.dataDir, true, &problem);
  if (!store) return failWith(problem);
  std::string text;
  if (!printServiceStore(*store, options.printLimit, &text, &problem)) return failWith(problem);
  std::cout << text << std::flush;
  return kServiceExitOK;
}

int serve(const ServiceOptions& options) {
  // SIGINT and SIGTERM are taken by one thread with sigwait, so every
  // thread started later inherits the mask. A peer that goes away must not
  // end the process.
  sigset_t stopSignals;
  sigemptyset(&stopSignals);
  sigaddset(&stopSignals, SIGINT);
  sigaddset(&stopSignals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
  signal(SIGPIPE, SIG_IGN);

  std::string problem;
  std::unique_ptr<ServiceStore> store = ServiceStore::open(options.dataDir, false, &problem);
  if (!store) return failWith(problem);
  if (options.configDir && !std::filesystem::is_directory(*options.configDir)) {
    std::cerr << "ferrolux-service: warning: no configuration folder " << *options.configDir
              << "; every configuration request gets 404" << std::endl;
  }
  ServiceFaults faults;
  ServiceContext context;
  context.store = store.get();
  context.faults = &faults;
  context.configDir = options.configDir;
  context.nowMillis = [] {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
  };
  httplib::Server server;
  // The HTTP layer's default also sets SO_REUSEPORT, which would let a
  // second service bind the same port and silently take half the uploads
  // into its own store. Reusing the address of a closed socket is enough.
  server.set_socket_options([](int socket) {
    const int yes = 1;
    setsockopt(socket, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
  });
  installServiceRoutes(server, context);
  server.set_logger([](const httplib::Request& request, const httplib::Response& response) {
    std::printf("%s %s %d\n", serviceTerminalSafe(request.method).c_str(),
                serviceTerminalSafe(serviceValidUTF8(request.path)).c_str(), response.status);
    std::fflush(stdout);
  });

  int port = options.port;
  if (port == 0) {
    port = server.bind_to_any_port(kServiceHost);
    if (port < 0) return failWith("cannot listen on 127.0.0.1");
  } else if (!server.bind_to_port(kServiceHost, port)) {
    return failWith("cannot listen on 127.0.0.1:" + std::to_string(port));
  }
  if (options.portFile && !writePortFile(*options.portFile, port, &problem)) {
    return failWith(problem);
  }
  std::printf("ferrolux-service listening on http://%s:%d\n", kServiceHost, port);
  std::fflush(stdout);

  std::atomic<bool> stopRequested{false};
  std::thread stopper([&] {
    int signalNumber = 0;
    sigwait(&stopSignals, &signalNumber);
    stopRequested = true;
    faults.stop();
    server.stop();
  });
  const bool listened = server.listen_after_bind();
  // When listening ended on its own, the stopper still waits for a signal.
  const bool stoppedBySignal = stopRequested.load();
  faults.stop();
  pthread_kill(stopper.native_handle(), SIGTERM);
  stopper.join();
  if (!listened && !stoppedBySignal) return failWith("the server stopped listening");
  std::printf("ferrolux-service stopped\n");
  std::fflush(stdout);
  return kServiceExitOK;
}

}  // namespace

int main(int argc, char** argv) {
  const std::vector<std::string> arguments(argv + 1, argv + argc);
  std::string problem;
  const std::optional<ServiceOptions> options = parseServiceOptions(arguments, &problem);
  if (!options) {
    std::cerr << "ferrolux-service: " << problem << "\n" << serviceUsage();
    return kServiceExitUsage;
  }
  if (options->help) {
    std::cout << serviceUsage();
    return kServiceExitOK;
  }
  return options->print ? printStore(*options) : serve(*options);
}
