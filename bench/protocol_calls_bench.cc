// Calls per second and latency of GetServerDateTime over loopback TCP, with 1, 8 and 64
// concurrent clients (one connection each), beside the floor measured in the same run: a
// minimal thread-per-connection TCP echo server answering a request of the same size with a
// reply of the same size.
//
//   protocol_calls_bench [seconds per configuration and side, default 3] [client counts...]
//
// The server is the real call path: transport, filter channel with the compression filter,
// message reader and writer, dispatcher, and TServerModule1 from the instance pool. Clients use
// the client library with the command prepared once.
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "client/connection.h"
#include "client/server_module1.h"
#include "common/datetime.h"
#include "pools/instance_pool.h"
#include "protocol/compression_filter.h"
#include "protocol/param_buffer.h"
#include "protocol/rs_server.h"
#include "protocol/socket.h"
#include "protocol/tcp_transport.h"
#include "service/server_module.h"

namespace {

using Clock = std::chrono::steady_clock;

struct Result {
  double calls_per_second = 0;
  double p50_us = 0;
  double p99_us = 0;
};

// Runs `clients` threads, each making calls with `call` (one per loop) for `seconds`.
template <typename MakeCall>
Result Measure(int clients, double seconds, MakeCall make_call) {
  std::vector<std::vector<float>> latencies(clients);
  std::atomic<int> ready{0};
  std::atomic<bool> go{false}, stop{false};
  std::vector<std::thread> threads;
  for (int i = 0; i < clients; ++i) {
    threads.emplace_back([&, i] {
      auto call = make_call();
      call();  // warm up: connect, prepare
      latencies[i].reserve(1 << 20);
      ++ready;
      while (!go) std::this_thread::yield();
      while (!stop) {
        const auto t0 = Clock::now();
        call();
        latencies[i].push_back(std::chrono::duration<float, std::micro>(Clock::now() - t0).count());
      }
    });
  }
  while (ready < clients) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  const auto start = Clock::now();
  go = true;
  std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
  stop = true;
  const double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
  for (auto& t : threads) t.join();
  std::vector<float> all;
  for (auto& l : latencies) all.insert(all.end(), l.begin(), l.end());
  std::sort(all.begin(), all.end());
  Result r;
  r.calls_per_second = all.size() / elapsed;
  if (!all.empty()) {
    r.p50_us = all[all.size() / 2];
    r.p99_us = all[std::min(all.size() - 1, all.size() * 99 / 100)];
  }
  return r;
}

// The floor: a thread per connection that reads `request` bytes and writes `reply` bytes.
class EchoServer {
 public:
  EchoServer(size_t request, size_t reply) : listener_(0), request_(request), reply_(reply) {
    acceptor_ = std::thread([this] {
      while (auto s = listener_.Accept()) {
        auto socket = std::make_shared<protocol::Socket>(std::move(*s));
        threads_.emplace_back([this, socket] {
          std::vector<uint8_t> in(request_), out(reply_, 'x');
          for (;;) {
            size_t have = 0;
            while (have < request_) {
              const ptrdiff_t n = socket->Receive(in.data() + have, request_ - have);
              if (n <= 0) return;
              have += static_cast<size_t>(n);
            }
            socket->SendAll(out.data(), out.size());
          }
        });
      }
    });
  }
  ~EchoServer() {
    listener_.Wake();
    acceptor_.join();
    for (auto& t : threads_) t.join();
  }
  uint16_t port() const { return listener_.port(); }

 private:
  protocol::Listener listener_;
  size_t request_, reply_;
  std::thread acceptor_;
  std::vector<std::thread> threads_;
};

// Counts the bytes a call puts on the wire in each direction.
struct WireSizes {
  size_t request = 0;
  size_t reply = 0;
};

}  // namespace

int main(int argc, char** argv) {
  const double seconds = argc > 1 ? std::atof(argv[1]) : 3.0;
  char folder[] = "/tmp/calls-bench-XXXXXX";
  if (!::mkdtemp(folder)) return 1;

  service::ServiceContext context;
  context.app_folder = std::string(folder) + "/";
  pools::TPoolManager pool;
  pool.SetInstanceClass(service::ServerModuleInstanceClass(context));
  service::TServerModule1Class server_class(pool);
  protocol::TRSTCPServerTransport transport;
  transport.Port = 0;
  transport.Filters.push_back(std::make_unique<protocol::TTransportCompressionFilter>());
  protocol::TRSServer server;
  server.AddServerClass(server_class);
  server.SetTransport(&transport);
  server.Start();
  const uint16_t port = transport.BoundPort();

  // The bytes of one call on the wire: 5-byte frame header, the plain marker, the message.
  WireSizes sizes;
  {
    const std::string request = R"({"method":"execute","params":[{"handle":[0]},{"data":[2,)" +
                                std::string("\xC0\xC0") + "]}]}";
    protocol::ParamBuffer row(32768);
    row.PutInt32(1000);
    row.PutDateTime(common::NowLocal());
    const std::string reply = R"({"result":[{"rows":[0]},{"data":[)" +
                              std::to_string(row.row().size()) + "," +
                              std::string(row.row().size(), 'x') + "]}]}";
    sizes.request = 5 + 1 + request.size();
    sizes.reply = 5 + 1 + reply.size();
  }
  EchoServer echo(sizes.request, sizes.reply);

  std::printf("GetServerDateTime round trips over loopback TCP, %.1f s per configuration\n",
              seconds);
  std::printf(
      "request %zu bytes, reply %zu bytes on the wire; floor: TCP echo of the same sizes\n\n",
      sizes.request, sizes.reply);
  std::printf("%8s | %14s %9s %9s | %14s %9s %9s | %8s\n", "clients", "calls/s", "p50 us", "p99 us",
              "echo/s", "p50 us", "p99 us", "of floor");
  // The machine may be shared: each figure is the best of three rounds, the two servers taking
  // turns, so that a burst of outside load does not fall on one side only.
  constexpr int kRounds = 3;
  std::vector<int> client_counts = {1, 8, 64};
  if (argc > 2) client_counts.clear();
  for (int i = 2; i < argc; ++i) client_counts.push_back(std::atoi(argv[i]));
  for (int clients : client_counts) {
    Result calls, floor;
    for (int round = 0; round < kRounds; ++round) {
      const Result c = Measure(clients, seconds / kRounds, [&] {
        auto conn = std::make_shared<client::Connection>(
            client::LoginOptions("127.0.0.1", port, "admin", "tulip"));
        conn->Open();
        auto module = std::make_shared<client::ServerModule1>(*conn);
        return [conn, module] { module->GetServerDateTime(); };
      });
      const Result f = Measure(clients, seconds / kRounds, [&] {
        auto s = std::make_shared<protocol::Socket>(
            protocol::Socket::ConnectTcp("127.0.0.1", echo.port()));
        auto out = std::make_shared<std::vector<uint8_t>>(sizes.request, 'q');
        auto in = std::make_shared<std::vector<uint8_t>>(sizes.reply);
        return [s, out, in] {
          s->SendAll(out->data(), out->size());
          size_t have = 0;
          while (have < in->size()) {
            const ptrdiff_t n = s->Receive(in->data() + have, in->size() - have);
            if (n <= 0) return;
            have += static_cast<size_t>(n);
          }
        };
      });
      if (c.calls_per_second > calls.calls_per_second) calls = c;
      if (f.calls_per_second > floor.calls_per_second) floor = f;
    }
    std::printf("%8d | %14.0f %9.1f %9.1f | %14.0f %9.1f %9.1f | %7.0f%%\n", clients,
                calls.calls_per_second, calls.p50_us, calls.p99_us, floor.calls_per_second,
                floor.p50_us, floor.p99_us,
                100.0 * calls.calls_per_second / floor.calls_per_second);
  }
  server.Stop();
  std::filesystem::remove_all(folder);
  return 0;
}
