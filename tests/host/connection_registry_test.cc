#include "host/connection_registry.h"

#include <gtest/gtest.h>

#include <memory>
#include <thread>
#include <vector>

#include "protocol/socket.h"

namespace host {
namespace {

TEST(ConnectionRegistry, AddsOnceFindsAndRemoves) {
  protocol::TRSTCPConnection a{protocol::Socket()};
  protocol::TRSTCPConnection b{protocol::Socket()};
  protocol::TRSTCPChannel channel(a);
  TConnectionRegistry registry;
  EXPECT_TRUE(registry.Add(&a, &channel));
  EXPECT_FALSE(registry.Add(&a, nullptr));  // already registered: nothing changes
  EXPECT_TRUE(registry.Add(&b, nullptr));
  EXPECT_EQ(registry.Count(), 2);
  ASSERT_TRUE(registry.Find(a.id()).has_value());
  EXPECT_EQ(registry.Find(a.id())->channel, &channel);
  EXPECT_EQ(registry.Find(b.id())->channel, nullptr);
  EXPECT_TRUE(registry.Remove(a.id()));
  EXPECT_FALSE(registry.Remove(a.id()));
  EXPECT_FALSE(registry.Find(a.id()).has_value());
  EXPECT_EQ(registry.Count(), 1);
}

TEST(ConnectionRegistry, ConcurrentArrivalsAndDeparturesKeepTheCount) {
  TConnectionRegistry registry;
  constexpr int kThreads = 8;
  constexpr int kEach = 200;
  std::vector<std::unique_ptr<protocol::TRSTCPConnection>> connections;
  for (int i = 0; i < kThreads * kEach; ++i) {
    connections.push_back(std::make_unique<protocol::TRSTCPConnection>(protocol::Socket()));
  }
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < kEach; ++i) registry.Add(connections[t * kEach + i].get(), nullptr);
      for (int i = 0; i < kEach; i += 2) registry.Remove(connections[t * kEach + i]->id());
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(registry.Count(), kThreads * kEach / 2);
}

}  // namespace
}  // namespace host
