// A remote-call server on a free loopback port for tests, publishing FakeClass, with the
// compression filter at 1024 as the real service has it; and a raw client that speaks bytes.
//
// Thread use: the server's events run on connection threads; counters are atomic.
#ifndef DATASERVER_TESTS_PROTOCOL_TEST_SERVER_H_
#define DATASERVER_TESTS_PROTOCOL_TEST_SERVER_H_

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <zlib.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <string>
#include <string_view>
#include <thread>

#include "common/bytes.h"
#include "fake_class.h"
#include "protocol/compression_filter.h"
#include "protocol/rs_server.h"
#include "protocol/socket.h"
#include "protocol/tcp_transport.h"

namespace protocol::test {

inline constexpr char kConnectReply[] = R"({"result":[0,"RemoteDB",2]})";
inline constexpr char kVendorProperty[] = R"({"method":"vendor_property","params":["x"]})";
inline constexpr char kVendorReply[] = R"({"result":[""]})";

// `bytes` as one zlib stream at level 9.
inline std::string Compress(const std::string& bytes) {
  uLongf size = compressBound(bytes.size());
  std::string out(size, '\0');
  compress2(reinterpret_cast<Bytef*>(out.data()), &size,
            reinterpret_cast<const Bytef*>(bytes.data()), bytes.size(), 9);
  out.resize(size);
  return out;
}

inline constexpr char kServerFilterJson[] =
    R"({"ZLibCompression":{"FilterUnit":"RdbCompressionFilter","CompressMoreThan":"1024"}})";

class TestServer {
 public:
  explicit TestServer(common::InstanceLifecycle lifecycle = common::InstanceLifecycle::kSession)
      : fake(lifecycle) {
    transport.Port = 0;
    auto filter = std::make_unique<TTransportCompressionFilter>();
    filter->SetParameterValue("CompressMoreThan", "1024");
    transport.Filters.push_back(std::move(filter));
    transport.OnConnect = [this](const TRSTCPConnectEventObject&) { ++connects; };
    transport.OnDisconnect = [this](const TRSTCPDisconnectEventObject&) { ++disconnects; };
    server.AddServerClass(fake);
    server.SetTransport(&transport);
  }
  ~TestServer() { server.Stop(); }

  void Start() { server.Start(); }
  uint16_t port() const { return transport.BoundPort(); }

  // Waits (up to 10 s) until `done` holds.
  template <typename Predicate>
  static bool WaitFor(Predicate done) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!done()) {
      if (std::chrono::steady_clock::now() > deadline) return false;
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
  }

  FakeClass fake;
  TRSTCPServerTransport transport;
  TRSServer server;
  std::atomic<int> connects{0};
  std::atomic<int> disconnects{0};
};

// A client that writes and reads bytes as they are, with time limits on every read.
class RawClient {
 public:
  explicit RawClient(uint16_t port, const std::string& host = "127.0.0.1")
      : socket_(Socket::ConnectTcp(host, port)) {}
  explicit RawClient(Socket socket) : socket_(std::move(socket)) {}

  // A client of 127.0.0.1:`port` whose own address is `source` (another loopback address, so
  // that the server sees a different host).
  static RawClient From(const std::string& source, uint16_t port) {
    Socket s(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_in local{};
    local.sin_family = AF_INET;
    ::inet_pton(AF_INET, source.c_str(), &local.sin_addr);
    sockaddr_in remote{};
    remote.sin_family = AF_INET;
    remote.sin_port = htons(port);
    ::inet_pton(AF_INET, "127.0.0.1", &remote.sin_addr);
    if (::bind(s.fd(), reinterpret_cast<sockaddr*>(&local), sizeof local) != 0 ||
        ::connect(s.fd(), reinterpret_cast<sockaddr*>(&remote), sizeof remote) != 0) {
      throw ESocketError("cannot connect from " + source, errno);
    }
    return RawClient(std::move(s));
  }

  void Send(std::string_view bytes) {
    socket_.SendAll(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
  }
  // True when bytes (or the end of the connection) arrive within `ms`.
  bool Readable(int ms) {
    pollfd p{socket_.fd(), POLLIN, 0};
    return ::poll(&p, 1, ms) > 0;
  }
  // Exactly n bytes; shorter when the connection ends or nothing comes for 5 s.
  std::string Read(size_t n) {
    std::string out;
    while (out.size() < n && Readable(5000)) {
      char buffer[65536];
      const ptrdiff_t got = socket_.Receive(reinterpret_cast<uint8_t*>(buffer),
                                            std::min(sizeof buffer, n - out.size()));
      if (got <= 0) break;
      out.append(buffer, static_cast<size_t>(got));
    }
    return out;
  }
  // True when the server ends the connection within 5 s (having sent nothing more than
  // whatever is read on the way).
  bool ClosedByServer() {
    for (;;) {
      if (!Readable(5000)) return false;
      uint8_t buffer[4096];
      const ptrdiff_t got = socket_.Receive(buffer, sizeof buffer);
      if (got <= 0) return true;
    }
  }

  static std::string Header(uint8_t kind, uint32_t length) {
    std::string h(5, '\0');
    h[0] = static_cast<char>(kind);
    common::StoreBE(reinterpret_cast<uint8_t*>(h.data() + 1), length);
    return h;
  }
  // The filter query and the client's JSON block (the server's own values).
  void Negotiate() {
    Send(std::string(5, '\x05'));
    const std::string reply = Read(5 + sizeof kServerFilterJson - 1);
    ASSERT_EQ(reply, Header(0x0D, sizeof kServerFilterJson - 1) + kServerFilterJson);
    Send(Header(0x0D, sizeof kServerFilterJson - 1) + kServerFilterJson);
  }
  // One plain frame: 0D, length, 02, the message.
  void SendMessage(std::string_view message) {
    Send(Header(0x0D, static_cast<uint32_t>(message.size() + 1)) + "\x02" + std::string(message));
  }
  // The next frame's body as it came (marker included); empty when none arrives.
  std::string ReadFrameBody() {
    const std::string header = Read(5);
    if (header.size() != 5) return std::string();
    return Read(common::LoadBE<uint32_t>(reinterpret_cast<const uint8_t*>(header.data() + 1)));
  }
  // The message bytes of the next frame, inflated when compressed.
  std::string ReadMessage() {
    const std::string body = ReadFrameBody();
    if (body.empty() || body[0] != '\x01') return body.empty() ? body : body.substr(1);
    z_stream z{};
    inflateInit(&z);
    z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(body.data() + 1));
    z.avail_in = static_cast<uInt>(body.size() - 1);
    std::string out;
    int rc = Z_OK;
    while (rc == Z_OK) {
      const size_t old = out.size();
      out.resize(old + 65536);
      z.next_out = reinterpret_cast<Bytef*>(out.data() + old);
      z.avail_out = 65536;
      rc = inflate(&z, Z_NO_FLUSH);
      out.resize(out.size() - z.avail_out);
    }
    inflateEnd(&z);
    return rc == Z_STREAM_END ? out : "<corrupt>";
  }
  // Negotiates, connects with `properties` (JSON object text) and returns the reply message.
  std::string NegotiateAndConnect(std::string_view properties = R"({"User_Name":"admin"})") {
    Negotiate();
    SendMessage(R"({"method":"connect","params":[)" + std::string(properties) + "]}");
    return ReadMessage();
  }
  Socket& socket() { return socket_; }

 private:
  Socket socket_;
};

}  // namespace protocol::test

#endif  // DATASERVER_TESTS_PROTOCOL_TEST_SERVER_H_
