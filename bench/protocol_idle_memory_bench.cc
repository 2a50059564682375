// Server memory per idle admitted connection: the resident memory of a server process before
// and after N clients have connected (filter negotiation and an admitted "connect") and gone
// quiet, beside the same figure for a minimal thread-per-connection TCP server holding N idle
// connections, measured in the same run.
//
//   protocol_idle_memory_bench [connections, default 1000]
//
// Each server runs in a child process (forked before any thread exists), so the clients' own
// memory is not counted; the figure is VmRSS from /proc.
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "child_server.h"
#include "client/connection.h"
#include "pools/instance_pool.h"
#include "protocol/compression_filter.h"
#include "protocol/rs_server.h"
#include "protocol/socket.h"
#include "protocol/tcp_transport.h"
#include "service/server_module.h"

namespace {

long ResidentKiB(pid_t pid) { return bench::StatusKiB(pid, "VmRSS:"); }

void Settle() { std::this_thread::sleep_for(std::chrono::milliseconds(500)); }

}  // namespace

int main(int argc, char** argv) {
  const int n = argc > 1 ? std::atoi(argv[1]) : 1000;
  char folder[] = "/tmp/idle-bench-XXXXXX";
  if (!::mkdtemp(folder)) return 1;

  uint16_t port = 0;
  const pid_t server = bench::SpawnServer(
      [&](auto announce) {
        static service::ServiceContext context;
        context.app_folder = std::string(folder) + "/";
        static pools::TPoolManager pool;
        pool.SetInstanceClass(service::ServerModuleInstanceClass(context));
        static service::TServerModule1Class server_class(pool);
        static protocol::TRSTCPServerTransport transport;
        transport.Port = 0;
        transport.MaxThreads = n + 5;
        transport.KeepAliveEnablement = protocol::TRSKeepAliveEnablement::kaEnabled;
        transport.KeepAliveTime = 5000;
        transport.KeepAliveInterval = 60000;
        transport.Filters.push_back(std::make_unique<protocol::TTransportCompressionFilter>());
        static protocol::TRSServer rs;
        rs.AddServerClass(server_class);
        rs.SetTransport(&transport);
        rs.Start();
        announce(transport.BoundPort());
      },
      port);
  uint16_t echo_port = 0;
  const pid_t echo = bench::SpawnServer(
      [&](auto announce) {
        static protocol::Listener listener(0);
        announce(listener.port());
        static std::thread acceptor([] {
          while (auto s = listener.Accept()) {
            std::thread([socket = std::make_shared<protocol::Socket>(std::move(*s))] {
              uint8_t buffer[4096];
              while (socket->Receive(buffer, sizeof buffer) > 0) {
              }
            }).detach();
          }
        });
      },
      echo_port);

  Settle();
  const long server_before = ResidentKiB(server);
  const long echo_before = ResidentKiB(echo);
  std::vector<std::unique_ptr<client::Connection>> clients;
  std::vector<protocol::Socket> plain;
  for (int i = 0; i < n; ++i) {
    clients.push_back(std::make_unique<client::Connection>(
        client::LoginOptions("127.0.0.1", port, "admin", "tulip")));
    clients.back()->Open();
    plain.push_back(protocol::Socket::ConnectTcp("127.0.0.1", echo_port));
    const uint8_t hello = 'h';
    plain.back().SendAll(&hello, 1);
  }
  Settle();
  const long server_after = ResidentKiB(server);
  const long echo_after = ResidentKiB(echo);

  const double per_connection = double(server_after - server_before) / n;
  const double floor = double(echo_after - echo_before) / n;
  std::printf("%d idle connections, resident memory of the server process (KiB)\n", n);
  std::printf("%-28s %10s %10s %14s\n", "", "before", "after", "per connection");
  std::printf("%-28s %10ld %10ld %14.1f\n", "DataServer (admitted)", server_before, server_after,
              per_connection);
  std::printf("%-28s %10ld %10ld %14.1f\n", "floor: minimal TCP server", echo_before, echo_after,
              floor);
  std::printf("goal: at most 128 KiB per idle connection: %s\n",
              per_connection <= 128 ? "met" : "NOT met");

  clients.clear();
  plain.clear();
  ::kill(server, SIGKILL);
  ::kill(echo, SIGKILL);
  ::waitpid(server, nullptr, 0);
  ::waitpid(echo, nullptr, 0);
  std::filesystem::remove_all(folder);
  return 0;
}
