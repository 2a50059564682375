// The transport's guards against strangers: the handshake deadline, the per-address cap on
// connections in their handshake, the pre-login caps, the caps on a "connect", the memory
// budget of decoded frames and the listen addresses. Real sockets on loopback throughout.
#include <gtest/gtest.h>
#include <zlib.h>

#include <chrono>
#include <iostream>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "common/error.h"
#include "protocol/limits.h"
#include "protocol/socket.h"
#include "protocol/tcp_transport.h"
#include "test_server.h"

namespace protocol {
namespace {

using test::Compress;
using test::RawClient;
using test::TestServer;

using test::kConnectReply;
using test::kVendorProperty;
using test::kVendorReply;

std::string CompressedFrame(const std::string& message) {
  const std::string body = "\x01" + Compress(message);
  return RawClient::Header(0x0D, static_cast<uint32_t>(body.size())) + body;
}

bool StartsWithErrorReply(const std::string& reply) {
  return reply.rfind(R"({"error":{"name":)", 0) == 0;
}

class HandshakeGuard : public testing::Test {
 protected:
  HandshakeGuard() {
    server_.transport.OnHandshakeFailure = [this](const TRSTCPHandshakeFailureEventObject& e) {
      std::lock_guard lock(mutex_);
      failures_.push_back({e.Connection->peer().ip, e.Reason});
    };
    // Admission as the service does it: the user name decides.
    server_.server.OnConnect = [](const TRSConnectEventObject& e) {
      if (e.ConnectProperties.Get("User_Name") != "admin") {
        throw common::Error("Exception", "refused");
      }
    };
  }

  struct Failure {
    std::string ip;
    THandshakeFailure reason;
  };
  std::vector<Failure> Failures() {
    std::lock_guard lock(mutex_);
    return failures_;
  }
  size_t FailureCount() { return Failures().size(); }

  // Declared before the server, so that they outlive its connection threads.
  std::mutex mutex_;
  std::vector<Failure> failures_;  // GUARDED_BY(mutex_)
  TestServer server_;
};

TEST_F(HandshakeGuard, DeadlineEndsEveryConnectionNotAdmittedInTimeAndNoOther) {
  server_.transport.LoginTimeout = 1;
  server_.Start();
  const auto start = std::chrono::steady_clock::now();  // before any of them is accepted
  RawClient silent(server_.port());
  RawClient negotiated(server_.port());
  negotiated.Negotiate();
  RawClient refused(server_.port());
  EXPECT_TRUE(StartsWithErrorReply(refused.NegotiateAndConnect(R"({"User_Name":"eve"})")));
  RawClient admitted(server_.port());
  ASSERT_EQ(admitted.NegotiateAndConnect(), kConnectReply);

  EXPECT_TRUE(silent.ClosedByServer());
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::seconds(1))
      << "closed before its deadline";
  EXPECT_TRUE(negotiated.ClosedByServer());
  EXPECT_TRUE(refused.ClosedByServer());
  ASSERT_TRUE(TestServer::WaitFor([&] { return server_.disconnects == 3; }));

  std::this_thread::sleep_for(std::chrono::milliseconds(600));
  admitted.SendMessage(kVendorProperty);
  EXPECT_EQ(admitted.ReadMessage(), kVendorReply) << "an admitted client has no deadline";
  const std::vector<Failure> failures = Failures();
  ASSERT_EQ(failures.size(), 3u);
  for (const Failure& f : failures) EXPECT_EQ(f.reason, THandshakeFailure::kDeadline);
  EXPECT_EQ(server_.transport.PendingCount(), 0u);
}

TEST_F(HandshakeGuard, ARefusalAfterAdmissionStartsANewDeadline) {
  server_.transport.LoginTimeout = 1;
  server_.Start();
  RawClient client(server_.port());
  ASSERT_EQ(client.NegotiateAndConnect(), kConnectReply);
  std::this_thread::sleep_for(std::chrono::milliseconds(1300));
  client.SendMessage(R"({"method":"connect","params":[{"User_Name":"eve"}]})");
  EXPECT_TRUE(StartsWithErrorReply(client.ReadMessage()));
  client.SendMessage(kVendorProperty);
  EXPECT_EQ(client.ReadMessage(), kVendorReply) << "the new deadline starts at the refusal";
  EXPECT_TRUE(client.ClosedByServer());
}

TEST_F(HandshakeGuard, ASilentFloodFromOneAddressLocksOutNoOtherHost) {
  // Fewer threads than the flood: without the per-address cap the flood would hold them all.
  server_.transport.MaxThreads = 40;
  server_.transport.MaxPendingPerAddress = 8;
  server_.Start();
  std::vector<std::unique_ptr<RawClient>> flood;
  for (int i = 0; i < 200; ++i) flood.push_back(std::make_unique<RawClient>(server_.port()));
  ASSERT_TRUE(TestServer::WaitFor([&] { return FailureCount() >= 192; }));
  EXPECT_EQ(server_.transport.PendingCount(), 8u);
  EXPECT_EQ(server_.connects, 8) << "a connection closed at once is never announced";

  RawClient other = RawClient::From("127.0.0.2", server_.port());
  EXPECT_EQ(other.NegotiateAndConnect(), kConnectReply);
  for (const Failure& f : Failures()) {
    EXPECT_EQ(f.ip, "127.0.0.1");
    EXPECT_EQ(f.reason, THandshakeFailure::kTooManyPending);
  }

  // Once one of the eight logs in, the address has room for one more stranger.
  size_t waiting = 0;
  for (auto& c : flood) {
    if (!c->Readable(0)) {
      ASSERT_EQ(c->NegotiateAndConnect(), kConnectReply);
      break;
    }
    ++waiting;
  }
  ASSERT_LT(waiting, flood.size());
  EXPECT_TRUE(TestServer::WaitFor([&] { return server_.transport.PendingCount() == 7; }));
  RawClient again(server_.port());
  EXPECT_EQ(again.NegotiateAndConnect(), kConnectReply);
}

TEST_F(HandshakeGuard, PreLoginCapsHoldUntilAdmission) {
  constexpr uint64_t kCap = 64 * 1024;
  server_.server.pre_login_limits = PreLoginLimits(kCap);
  server_.Start();
  const std::string big_string(200 * 1024, 'a');
  const std::string vendor_big = R"({"method":"vendor_property","params":[")" + big_string + "\"]}";
  struct Case {
    const char* name;
    std::string bytes;
    bool error_reply;
  } cases[] = {
      {"zlib bomb", CompressedFrame(std::string(8 << 20, '\0')), false},
      {"frame longer than the cap", RawClient::Header(0x0D, kCap + 1) + "\x02{", false},
      {"string longer than the cap", CompressedFrame(vendor_big), false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    RawClient stranger(server_.port());
    stranger.Negotiate();
    stranger.Send(c.bytes);
    EXPECT_TRUE(stranger.ClosedByServer());
  }

  // Admitted, the same messages are within the caps of logged-in clients.
  RawClient member(server_.port());
  ASSERT_EQ(member.NegotiateAndConnect(), kConnectReply);
  member.Send(CompressedFrame(vendor_big));
  EXPECT_EQ(member.ReadMessage(), kVendorReply);
}

TEST_F(HandshakeGuard, AConnectCarriesAtMostTheCappedNumberOfProperties) {
  server_.Start();
  auto properties = [](size_t count) {
    std::string json = R"({"User_Name":"admin")";
    for (size_t i = 1; i < count; ++i) json += ",\"p" + std::to_string(i) + "\":\"v\"";
    return json + "}";
  };
  RawClient at_cap(server_.port());
  EXPECT_EQ(at_cap.NegotiateAndConnect(properties(256)), kConnectReply);
  struct Case {
    const char* name;
    std::string properties;
  } cases[] = {
      {"257 properties", properties(257)},
      {"100,000 properties", properties(100000)},
      {"70,000 bytes of values", R"({"User_Name":"admin","a":")" + std::string(70000, 'x') + "\"}"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    RawClient client(server_.port());
    const auto start = std::chrono::steady_clock::now();
    const std::string reply = client.NegotiateAndConnect(c.properties);
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
        std::chrono::steady_clock::now() - start);
    std::cout << c.name << " (" << c.properties.size() << " bytes): refused in " << ms.count()
              << " ms\n";
    EXPECT_EQ(reply.rfind(R"({"error":{"name":"TRDBError","code":2,)", 0), 0u) << reply;
    EXPECT_TRUE(client.ClosedByServer());
  }
}

TEST_F(HandshakeGuard, DecodedFramesBeyondTheMemoryBudgetAreRefusedAndTheBudgetComesBack) {
  server_.server.decompression_budget.SetTotal(4 << 20);
  server_.server.decompression_budget.set_wait(std::chrono::milliseconds(100));
  server_.Start();
  RawClient client(server_.port());
  ASSERT_EQ(client.NegotiateAndConnect(), kConnectReply);
  // 16 KiB of compressed body may decode to 16 MiB: more than the whole budget.
  std::string noise(16 << 10, '\0');
  for (size_t i = 0; i < noise.size(); ++i) {
    noise[i] = static_cast<char>('a' + ((i * 2654435761u) >> 13) % 26);
  }
  client.Send(CompressedFrame(R"({"method":"vendor_property","params":[")" +
                              std::string(8 << 20, 'a') + noise + "\"]}"));
  EXPECT_TRUE(StartsWithErrorReply(client.ReadMessage()));
  EXPECT_TRUE(client.ClosedByServer());
  EXPECT_TRUE(
      TestServer::WaitFor([&] { return server_.server.decompression_budget.reserved() == 0; }));

  RawClient next(server_.port());
  ASSERT_EQ(next.NegotiateAndConnect(), kConnectReply);
  next.Send(CompressedFrame(R"({"method":"vendor_property","params":[")" +
                            std::string(2 << 20, 'a') + "\"]}"));
  EXPECT_EQ(next.ReadMessage(), kVendorReply) << "a frame within the budget is decoded";
}

TEST(ListenAddresses, TheServiceListensOnlyWhereItIsTold) {
  TestServer server;
  server.transport.ListenAddresses = {"127.0.0.1"};
  server.Start();
  EXPECT_EQ(server.transport.BoundAddresses(), std::vector<std::string>{"127.0.0.1"});
  RawClient v4(server.port());
  EXPECT_EQ(v4.NegotiateAndConnect(), kConnectReply);
  EXPECT_THROW(Socket::ConnectTcp("::1", server.port()), ESocketError);
}

TEST(ListenAddresses, AnAddressThatCannotBeBoundFailsTheStart) {
  for (const char* address : {"300.1.1.1", "192.0.2.1"}) {
    SCOPED_TRACE(address);
    TestServer server;
    server.transport.ListenAddresses = {address};
    EXPECT_THROW(server.Start(), ESocketError);
    EXPECT_FALSE(server.transport.Listening());
  }
}

TEST(ListenAddresses, LoopbackAddressesAreKnown) {
  struct Case {
    const char* ip;
    bool loopback;
  } cases[] = {{"127.0.0.1", true}, {"127.1.2.3", true},        {"::1", true},
               {"[::1]", true},     {"::ffff:127.0.0.1", true}, {"0.0.0.0", false},
               {"::", false},       {"192.168.1.2", false},     {"fe80::1", false},
               {"not an ip", false}};
  for (const Case& c : cases) EXPECT_EQ(IsLoopbackAddress(c.ip), c.loopback) << c.ip;
}

}  // namespace
}  // namespace protocol
