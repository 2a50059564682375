#include "protocol/socket.h"

#include <gtest/gtest.h>

#include <thread>

namespace protocol {
namespace {

TEST(Socket, ListenerAcceptsOnEveryFamilyAndKnowsThePeer) {
  Listener listener(0);
  ASSERT_NE(listener.port(), 0);
  std::vector<std::string> hosts = {"127.0.0.1"};
  if (listener.binding_count() > 1) hosts.push_back("::1");
  for (const std::string& host : hosts) {
    SCOPED_TRACE(host);
    Socket client = Socket::ConnectTcp(host, listener.port());
    std::optional<Socket> accepted = listener.Accept();
    ASSERT_TRUE(accepted.has_value());
    const std::optional<PeerAddress> peer = accepted->Peer();
    ASSERT_TRUE(peer.has_value());
    EXPECT_EQ(peer->ip, host);
    EXPECT_EQ(peer->port, client.LocalPort());
    const uint8_t ping[] = {'p', 'i', 'n', 'g'};
    client.SendAll(ping, sizeof ping);
    uint8_t buffer[8];
    EXPECT_EQ(accepted->Receive(buffer, sizeof buffer), 4);
    EXPECT_TRUE(accepted->EnableKeepAlive(5000, 60000));
    EXPECT_TRUE(accepted->KeepAliveEnabled());
    EXPECT_TRUE(accepted->DisableKeepAlive());
    EXPECT_FALSE(accepted->KeepAliveEnabled());
    // Shutdown from another thread ends a blocked receive.
    std::thread closer([&] { accepted->Shutdown(); });
    EXPECT_EQ(accepted->Receive(buffer, sizeof buffer), 0);
    closer.join();
  }
}

TEST(Socket, ReceiveBufferServesSmallReadsFromOneSystemCall) {
  Listener listener(0);
  Socket client = Socket::ConnectTcp("127.0.0.1", listener.port());
  Socket server = std::move(*listener.Accept());
  const std::string sent = "\x0D\x00\x00\x00\x03\x02{}" + std::string(100000, 'z');
  client.SendAll(reinterpret_cast<const uint8_t*>(sent.data()), sent.size());
  client.Shutdown();
  ReceiveBuffer input(64);
  std::string got;
  uint8_t header[5];
  ASSERT_EQ(input.Receive(server, header, 5), 5);  // one receive fills the buffer
  got.append(reinterpret_cast<char*>(header), 5);
  EXPECT_GT(input.buffered(), 0u);
  uint8_t small[3];
  ASSERT_EQ(input.Receive(server, small, 3), 3);  // served from memory
  got.append(reinterpret_cast<char*>(small), 3);
  std::vector<uint8_t> big(4096);
  for (;;) {
    const ptrdiff_t n = input.Receive(server, big.data(), big.size());
    if (n <= 0) break;
    got.append(reinterpret_cast<char*>(big.data()), static_cast<size_t>(n));
  }
  EXPECT_EQ(got, sent);
}

TEST(Socket, WakeEndsAnAcceptFromAnotherThread) {
  Listener listener(0);
  std::thread waker([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    listener.Wake();
  });
  EXPECT_FALSE(listener.Accept().has_value());
  waker.join();
  EXPECT_FALSE(listener.Accept().has_value());
}

TEST(Socket, FailuresCarryTheSystemsText) {
  Listener listener(0);
  try {
    Listener again(listener.port());
    FAIL() << "bound twice";
  } catch (const ESocketError& e) {
    EXPECT_EQ(std::string(e.what()), "Cannot listen on port " + std::to_string(listener.port()) +
                                         ": Address already in use");
    EXPECT_EQ(e.class_name(), "ESocketError");
  }
  const uint16_t closed_port = [] {
    Listener l(0);
    return l.port();
  }();
  EXPECT_THROW(Socket::ConnectTcp("127.0.0.1", closed_port), ESocketError);
  Socket client = Socket::ConnectTcp("127.0.0.1", listener.port());
  std::optional<Socket> accepted = listener.Accept();
  accepted.reset();  // the server side is gone
  const std::string big(1 << 20, 'x');
  EXPECT_THROW(for (int i = 0; i < 100; ++i)
                   client.SendAll(reinterpret_cast<const uint8_t*>(big.data()), big.size()),
               ESocketError);
}

}  // namespace
}  // namespace protocol
