#include "protocol/tcp_transport.h"

#include <gtest/gtest.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <zlib.h>

#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "protocol/session.h"
#include "test_server.h"

namespace protocol {
namespace {

using test::Compress;
using test::RawClient;
using test::TestServer;

using test::kConnectReply;
using test::kVendorProperty;
using test::kVendorReply;

int SocketOption(int fd, int level, int name) {
  int value = -1;
  socklen_t size = sizeof value;
  ::getsockopt(fd, level, name, &value, &size);
  return value;
}

class TransportTest : public testing::Test {
 protected:
  TestServer server_;
};

TEST_F(TransportTest, NegotiationAndConnectReplyByteForByte) {
  server_.Start();
  RawClient client(server_.port());
  client.Send(std::string(5, '\x05'));
  const std::string offer = client.Read(88);
  EXPECT_EQ(offer, std::string("\x0D\x00\x00\x00\x53", 5) + test::kServerFilterJson);
  EXPECT_EQ(sizeof test::kServerFilterJson - 1, 83u);
  client.Send(RawClient::Header(0x0D, 83) + test::kServerFilterJson);
  client.SendMessage(R"({"method":"connect","params":[{"User_Name":"admin"}]})");
  EXPECT_EQ(client.Read(33), std::string("\x0D\x00\x00\x00\x1C\x02", 6) + kConnectReply);
}

TEST_F(TransportTest, RepliesLongerThanTheThresholdAreCompressed) {
  server_.Start();
  RawClient client(server_.port());
  ASSERT_EQ(client.NegotiateAndConnect(), kConnectReply);
  client.SendMessage(
      R"({"method":"prepare","params":[-1,false,"RemoteDB.ServerMethod","TServerModule1.SQL2OleVariant"]})");
  client.ReadMessage();
  // Reply sizes: 56 + N bytes for an N-byte array with a 4-digit row count, 55 + N with 3.
  struct Case {
    int bytes;
    size_t reply;
    char marker;
  } cases[] = {{1944, 2000, '\x01'}, {969, 1024, '\x02'}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.reply);
    const std::string sql = "bytes:" + std::to_string(c.bytes);
    std::string row(1, static_cast<char>(0x20 + sql.size()));
    row += sql;
    row += "\xC0\xC0";
    client.SendMessage(R"({"method":"execute","params":[{"handle":[0]},{"data":[)" +
                       std::to_string(row.size()) + "," + row + "]}]}");
    const std::string body = client.ReadFrameBody();
    ASSERT_FALSE(body.empty());
    EXPECT_EQ(body[0], c.marker);
    if (c.marker == '\x02') {
      EXPECT_EQ(body.size(), c.reply + 1);
    } else {
      std::string out(c.reply * 2, '\0');
      uLongf size = out.size();
      ASSERT_EQ(uncompress(reinterpret_cast<Bytef*>(out.data()), &size,
                           reinterpret_cast<const Bytef*>(body.data() + 1), body.size() - 1),
                Z_OK);
      EXPECT_EQ(size, c.reply);
    }
  }
}

TEST_F(TransportTest, ClientsReachTheServerOverIPv4AndIPv6) {
  server_.Start();
  std::vector<std::string> hosts = {"127.0.0.1"};
  if (server_.transport.BindingCount() > 1) hosts.push_back("::1");
  for (const std::string& host : hosts) {
    SCOPED_TRACE(host);
    RawClient client(server_.port(), host);
    EXPECT_EQ(client.NegotiateAndConnect(), kConnectReply);
  }
  if (hosts.size() == 1) GTEST_SKIP() << "this host has no IPv6";
}

TEST_F(TransportTest, ListeningOnAPortInUseFailsWithTheSocketError) {
  server_.Start();
  TRSTCPServerTransport second;
  second.Port = server_.port();
  TRSServer other;
  other.SetTransport(&second);
  try {
    other.Start();
    FAIL() << "started on a port in use";
  } catch (const ESocketError& e) {
    EXPECT_NE(std::string(e.what()).find("Address already in use"), std::string::npos) << e.what();
  }
  EXPECT_FALSE(other.Active());
  EXPECT_FALSE(second.Listening());
}

TEST_F(TransportTest, KeepAliveIsAppliedOnlyWhenAConnectHandlerIsAssigned) {
  server_.transport.KeepAliveEnablement = TRSKeepAliveEnablement::kaEnabled;
  server_.transport.KeepAliveTime = 5000;
  server_.transport.KeepAliveInterval = 60000;
  std::atomic<int> keep_alive{-1}, idle{-1}, interval{-1}, nodelay{-1};
  server_.transport.OnConnect = [&](const TRSTCPConnectEventObject& e) {
    const int fd = e.Connection->socket().fd();
    keep_alive = SocketOption(fd, SOL_SOCKET, SO_KEEPALIVE);
    idle = SocketOption(fd, IPPROTO_TCP, TCP_KEEPIDLE);
    interval = SocketOption(fd, IPPROTO_TCP, TCP_KEEPINTVL);
    nodelay = SocketOption(fd, IPPROTO_TCP, TCP_NODELAY);
    throw std::runtime_error("swallowed");  // the connection is served all the same
  };
  server_.Start();
  {
    RawClient client(server_.port());
    EXPECT_EQ(client.NegotiateAndConnect(), kConnectReply);
  }
  EXPECT_EQ(keep_alive, 1);
  EXPECT_EQ(idle, 5);
  EXPECT_EQ(interval, 60);
  EXPECT_EQ(nodelay, 1);

  server_.server.Stop();
  // The first client's departure may have been counted before the stop.
  server_.disconnects = 0;
  server_.transport.OnConnect = nullptr;
  server_.transport.OnDisconnect = [&](const TRSTCPDisconnectEventObject& e) {
    keep_alive = SocketOption(e.Connection->socket().fd(), SOL_SOCKET, SO_KEEPALIVE);
    ++server_.disconnects;
  };
  server_.Start();
  {
    RawClient client(server_.port());
    EXPECT_EQ(client.NegotiateAndConnect(), kConnectReply);
  }
  ASSERT_TRUE(TestServer::WaitFor([&] { return server_.disconnects == 1; }));
  EXPECT_EQ(keep_alive, 0);
}

TEST_F(TransportTest, EachConnectionRaisesOneConnectAndOneDisconnectEvent) {
  server_.Start();
  {
    RawClient a(server_.port());
    RawClient b(server_.port());
    EXPECT_EQ(a.NegotiateAndConnect(), kConnectReply);
    // b leaves in the middle of a request.
    b.Negotiate();
    b.Send(RawClient::Header(0x0D, 100) + "\x02{\"method\":\"prep");
  }
  ASSERT_TRUE(TestServer::WaitFor([&] { return server_.disconnects == 2; }));
  EXPECT_EQ(server_.connects, 2);
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_EQ(server_.disconnects, 2);
  EXPECT_EQ(server_.fake.in_use(), 0);
}

TEST_F(TransportTest, AtTheThreadLimitAFurtherClientWaitsUntilAThreadIsFree) {
  server_.transport.MaxThreads = 2;
  server_.transport.PoolSize = 0;
  server_.Start();
  auto a = std::make_unique<RawClient>(server_.port());
  RawClient b(server_.port());
  ASSERT_EQ(a->NegotiateAndConnect(), kConnectReply);
  ASSERT_EQ(b.NegotiateAndConnect(), kConnectReply);
  // The third client's TCP connect succeeds, but nothing answers it.
  RawClient c(server_.port());
  c.Send(std::string(5, '\x05'));
  EXPECT_FALSE(c.Readable(300));
  EXPECT_LE(server_.transport.ThreadCount(), 2u);
  a.reset();
  ASSERT_TRUE(c.Readable(5000));
  c.Read(88);
  c.Send(RawClient::Header(0x0D, 83) + test::kServerFilterJson);
  c.SendMessage(R"({"method":"connect","params":[{}]})");
  EXPECT_EQ(c.ReadMessage(), kConnectReply);
  EXPECT_LE(server_.transport.ThreadCount(), 2u);
}

TEST_F(TransportTest, StopClosesEveryClientWithoutDisconnectEventsAndCanStartAgain) {
  server_.Start();
  std::vector<std::unique_ptr<RawClient>> clients;
  for (int i = 0; i < 3; ++i) {
    clients.push_back(std::make_unique<RawClient>(server_.port()));
    ASSERT_EQ(clients.back()->NegotiateAndConnect(), kConnectReply);
  }
  // One more that never sent a byte.
  clients.push_back(std::make_unique<RawClient>(server_.port()));
  ASSERT_TRUE(TestServer::WaitFor([&] { return server_.connects == 4; }));
  const uint16_t port = server_.port();
  server_.server.Stop();
  for (auto& c : clients) EXPECT_TRUE(c->ClosedByServer());
  EXPECT_EQ(server_.disconnects, 0);
  EXPECT_EQ(server_.transport.ThreadCount(), 0u);
  EXPECT_EQ(server_.fake.in_use(), 0);

  server_.transport.Port = port;
  server_.Start();
  EXPECT_EQ(server_.port(), port);
  RawClient again(port);
  EXPECT_EQ(again.NegotiateAndConnect(), kConnectReply);
}

TEST_F(TransportTest, SessionsHaveDistinctNamesAndClosingOneEndsItsConnection) {
  std::mutex mutex;
  std::vector<std::string> names;
  server_.server.OnConnect = [&](const TRSConnectEventObject&) {
    TRSTCPSession* session = TRSSessionManager::CurrentSession();
    ASSERT_NE(session, nullptr);
    EXPECT_EQ(session->GetData("CommunicationProtocol"), "tcp/ip");
    EXPECT_EQ(session->GetData("RemoteIP"), "127.0.0.1");
    std::lock_guard lock(mutex);
    names.push_back(session->name());
  };
  server_.Start();
  RawClient a(server_.port());
  RawClient b(server_.port());
  ASSERT_EQ(a.NegotiateAndConnect(), kConnectReply);
  ASSERT_EQ(b.NegotiateAndConnect(), kConnectReply);
  ASSERT_EQ(names.size(), 2u);
  EXPECT_NE(names[0], names[1]);
  EXPECT_TRUE(TRSSessionManager::Instance().CloseSession(names[0]));
  EXPECT_TRUE(a.ClosedByServer());
  b.SendMessage(kVendorProperty);
  EXPECT_EQ(b.ReadMessage(), kVendorReply);
}

// Every kind of hostile connection is ended (after an error reply where the message stream
// still stands), and a connection that was open beside it is served on as if nothing happened.
TEST_F(TransportTest, HostileInputEndsOnlyItsOwnConnection) {
  server_.server.limits.max_frame = 1 << 20;
  server_.server.limits.max_decompressed_frame = 1 << 20;
  server_.server.limits.max_data_block = 1 << 20;
  server_.server.limits.max_string = 1 << 16;
  server_.Start();
  RawClient bystander(server_.port());
  ASSERT_EQ(bystander.NegotiateAndConnect(), kConnectReply);

  auto frame = [](const std::string& body) {
    return RawClient::Header(0x0D, static_cast<uint32_t>(body.size())) + body;
  };
  const std::string bomb = "\x01" + Compress(std::string(64 << 20, '\0'));
  const std::string unknown_filter = R"({"RSA":{"a":"b"}})";
  struct Case {
    const char* name;
    bool negotiate;
    std::string bytes;
    bool error_reply;
  } cases[] = {
      {"http request instead of the filter query", false, "GET / HTTP/1.1\r\n\r\n", false},
      {"negotiation block that is no JSON", false,
       std::string(5, '\x05') + RawClient::Header(0x0D, 4) + "nope", false},
      {"filter that does not exist", false, std::string(5, '\x05') + frame(unknown_filter), false},
      {"frame of 2 GB claimed", true, RawClient::Header(0x0D, 0x80000000u) + "\x02{", false},
      {"zlib bomb", true, frame(bomb), false},
      {"frame without marker", true, RawClient::Header(0x0D, 0), false},
      {"unknown frame header", true, RawClient::Header(0x09, 3) + "\x02{}", false},
      {"request that does not start as one", true, RawClient::Header(0x0D, 8) + "\x02[1,2,3]",
       false},
      {"data block of 2 GB claimed", true,
       frame("\x02{\"method\":\"connect\",\"params\":[{}]}"
             "{\"method\":\"execute\",\"params\":[{\"data\":[2000000000,xxxxxxxxxxxxxxxx"),
       true},
      {"string longer than the cap", true,
       frame("\x02{\"method\":\"vendor_property\",\"params\":[\"" + std::string(70000, 'a') +
             "\"]}"),
       true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    RawClient hostile(server_.port());
    if (c.negotiate) hostile.Negotiate();
    hostile.Send(c.bytes);
    if (c.error_reply) {
      std::string reply = hostile.ReadMessage();
      if (reply.rfind(kConnectReply, 0) == 0) reply = reply.substr(sizeof kConnectReply - 1);
      if (reply.empty()) reply = hostile.ReadMessage();
      EXPECT_EQ(
          reply.rfind(R"({"error":{"name":"TRDBError","code":2,"message":"Remote error: )", 0), 0u)
          << reply;
    }
    EXPECT_TRUE(hostile.ClosedByServer());
    bystander.SendMessage(kVendorProperty);
    EXPECT_EQ(bystander.ReadMessage(), kVendorReply);
  }
  RawClient newcomer(server_.port());
  EXPECT_EQ(newcomer.NegotiateAndConnect(), kConnectReply);
}

}  // namespace
}  // namespace protocol
