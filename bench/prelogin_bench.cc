// What strangers can cost the server before they log in: the server's peak resident memory
// while eight connections at once each send one compressed frame that inflates to 256 MiB
// (a "zlib bomb") before any "connect", and the time to refuse a 1.4 MB "connect" carrying
// 100,000 properties. Measured with the pre-login caps the service uses (PreLoginLimit 1 MiB)
// beside the same server without them (the caps of logged-in clients from the first byte), in
// the same run.
//
//   prelogin_bench
//
// Each server runs in a child process (forked before any thread exists), so the clients' own
// memory is not counted; the figures are VmRSS and VmHWM from /proc.
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>
#include <zlib.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "child_server.h"
#include "common/bytes.h"
#include "protocol/compression_filter.h"
#include "protocol/limits.h"
#include "protocol/rs_server.h"
#include "protocol/socket.h"
#include "protocol/tcp_transport.h"

namespace {

// Forks a server with the compression filter; `guarded` gives it the pre-login caps.
pid_t SpawnGuardedServer(bool guarded, uint16_t& port) {
  return bench::SpawnServer(
      [guarded](auto announce) {
        auto* transport = new protocol::TRSTCPServerTransport;
        auto* server = new protocol::TRSServer;
        transport->Port = 0;
        auto filter = std::make_unique<protocol::TTransportCompressionFilter>();
        filter->SetParameterValue("CompressMoreThan", "1024");
        transport->Filters.push_back(std::move(filter));
        if (guarded) {
          server->pre_login_limits = protocol::PreLoginLimits(protocol::kDefaultPreLoginLimit);
        }
        server->SetTransport(transport);
        server->Start();
        announce(transport->BoundPort());
      },
      port);
}

std::string Header(uint8_t kind, uint32_t length) {
  std::string h(5, '\0');
  h[0] = static_cast<char>(kind);
  common::StoreBE(reinterpret_cast<uint8_t*>(h.data() + 1), length);
  return h;
}

void Send(protocol::Socket& s, const std::string& bytes) {
  s.SendAll(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
}

// Reads until the server closes the connection.
void WaitForClose(protocol::Socket& s) {
  uint8_t buffer[65536];
  while (s.Receive(buffer, sizeof buffer) > 0) {
  }
}

// The filter query, the server's offer read, the client's block (the offer echoed).
void Negotiate(protocol::Socket& s) {
  Send(s, std::string(5, '\x05'));
  uint8_t header[5];
  size_t got = 0;
  while (got < 5) got += static_cast<size_t>(s.Receive(header + got, 5 - got));
  std::string offer(common::LoadBE<uint32_t>(header + 1), '\0');
  got = 0;
  while (got < offer.size()) {
    got += static_cast<size_t>(
        s.Receive(reinterpret_cast<uint8_t*>(offer.data()) + got, offer.size() - got));
  }
  Send(s, Header(0x0D, static_cast<uint32_t>(offer.size())) + offer);
}

std::string CompressedFrame(const std::string& message) {
  uLongf size = compressBound(message.size());
  std::string body(size + 1, '\0');
  body[0] = '\x01';
  compress2(reinterpret_cast<Bytef*>(body.data() + 1), &size,
            reinterpret_cast<const Bytef*>(message.data()), message.size(), 9);
  body.resize(size + 1);
  return Header(0x0D, static_cast<uint32_t>(body.size())) + body;
}

struct Figures {
  long idle_kib;
  long peak_kib;
  double connect_ms;
};

Figures Measure(bool guarded, const std::string& bomb, const std::string& big_connect) {
  uint16_t port = 0;
  const pid_t pid = SpawnGuardedServer(guarded, port);
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  Figures f{};
  f.idle_kib = bench::StatusKiB(pid, "VmRSS:");
  std::vector<std::thread> bombers;
  for (int i = 0; i < 8; ++i) {
    bombers.emplace_back([&] {
      protocol::Socket s = protocol::Socket::ConnectTcp("127.0.0.1", port);
      Negotiate(s);
      Send(s, bomb);
      WaitForClose(s);
    });
  }
  for (auto& t : bombers) t.join();
  f.peak_kib = bench::StatusKiB(pid, "VmHWM:");

  protocol::Socket s = protocol::Socket::ConnectTcp("127.0.0.1", port);
  Negotiate(s);
  const auto start = std::chrono::steady_clock::now();
  try {
    Send(s, big_connect);
  } catch (const std::exception&) {
    // Refused at the header: the server may close before the whole frame is out.
  }
  WaitForClose(s);
  f.connect_ms =
      std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
  ::kill(pid, SIGKILL);
  ::waitpid(pid, nullptr, 0);
  return f;
}

}  // namespace

int main() {
  std::printf("building the messages...\n");
  const std::string bomb = CompressedFrame(std::string(256u << 20, '\0'));
  std::string props = R"({"method":"connect","params":[{"User_Name":"admin")";
  for (int i = 1; i < 100000; ++i) props += ",\"p" + std::to_string(i) + "\":\"v\"";
  props += "}]}";
  const std::string big_connect =
      Header(0x0D, static_cast<uint32_t>(props.size() + 1)) + "\x02" + props;
  std::printf("bomb frame: %zu bytes inflating to 256 MiB; connect: %zu bytes\n", bomb.size(),
              big_connect.size());
  std::printf("%-34s %12s %16s %18s\n", "server", "idle (MiB)", "peak above idle",
              "1.4 MB connect (ms)");
  for (const bool guarded : {true, false}) {
    const Figures f = Measure(guarded, bomb, big_connect);
    std::printf("%-34s %12.1f %16.1f %18.1f\n",
                guarded ? "pre-login caps (PreLoginLimit 1 MiB)" : "baseline: no pre-login caps",
                f.idle_kib / 1024.0, (f.peak_kib - f.idle_kib) / 1024.0, f.connect_ms);
  }
  return 0;
}
