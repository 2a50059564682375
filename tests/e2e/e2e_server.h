// The service as the dataserver process runs it, inside the test process: the process
// singletons (database pools and the TServerModule1 instance pool) over an application folder,
// CONFIG.CFG read from it, the console without a window and the server container on a thread of
// its own that plays the user-interface thread. Clients reach it over loopback TCP with the
// client library, exactly as they reach the real process.
//
// Threads: the constructor and destructor run on the test's thread; the service's own thread
// builds, serves and destroys the console and the container. The pools and the registry guard
// themselves, so the test thread may read their counts at any time; the log is guarded by
// log_mutex_.
#ifndef DATASERVER_TESTS_E2E_E2E_SERVER_H_
#define DATASERVER_TESTS_E2E_E2E_SERVER_H_

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "client/connection.h"
#include "client/server_module1.h"
#include "host/process_singletons.h"

namespace host {
class TServerContainer1;
}

namespace e2e {

class E2eServer {
 public:
  // Writes CONFIG.CFG into `app_folder` (which ends with "/"): a free port and the lines of
  // `config_lines` (for example "CodePage=GBK\n"), then starts the service. DataBase.CFG must
  // be there already. Throws std::runtime_error when the service does not start.
  explicit E2eServer(std::string app_folder, const std::string& config_lines = "");
  // Stops the service (as the tray's exit item does) and restores the ANSI code page.
  ~E2eServer();
  E2eServer(const E2eServer&) = delete;
  E2eServer& operator=(const E2eServer&) = delete;

  uint16_t port() const { return port_; }
  host::ProcessSingletons& singletons() { return *singletons_; }

  // Whether the three database pools have nothing lent out.
  bool PoolsIdle() const;
  // The connection registry's entry count: the clients connected now.
  int32_t ClientCount() const;
  // The console's log lines so far.
  std::vector<std::string> Log() const;

  // An admitted client connection.
  std::unique_ptr<client::Connection> Connect() const;

  // Waits (up to `limit`) until `done` holds; returns whether it did.
  template <typename Predicate>
  static bool WaitFor(Predicate done, std::chrono::milliseconds limit = std::chrono::seconds(20)) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!done()) {
      if (std::chrono::steady_clock::now() > deadline) return false;
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
  }

 private:
  class RecordingView;
  void Serve(const std::string& app_folder, std::string& start_error);

  std::string previous_code_page_;
  std::unique_ptr<host::ProcessSingletons> singletons_;
  std::atomic<host::TServerContainer1*> container_{nullptr};
  std::atomic<bool> stop_{false};
  std::atomic<bool> ready_{false};
  uint16_t port_ = 0;
  std::thread ui_thread_;
  mutable std::mutex log_mutex_;
  std::vector<std::string> log_;  // GUARDED_BY(log_mutex_)
};

// A client connection with the TServerModule1 calls.
struct Client {
  explicit Client(const E2eServer& server) : connection(server.Connect()), module(*connection) {}
  std::unique_ptr<client::Connection> connection;
  client::ServerModule1 module;
};

}  // namespace e2e

#endif  // DATASERVER_TESTS_E2E_E2E_SERVER_H_
