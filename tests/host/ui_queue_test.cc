#include "host/ui_queue.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

namespace host {
namespace {

TEST(UiQueue, InvokeRunsOnTheUiThreadAndWaitsForIt) {
  UiQueue ui;
  std::thread::id ran_on;
  int value = 0;
  std::atomic<bool> returned{false};
  std::thread worker([&] {
    EXPECT_TRUE(ui.Invoke([&] {
      ran_on = std::this_thread::get_id();
      value = 42;  // the caller's own locals may be used: it waits
    }));
    returned = true;
  });
  while (ui.pending() == 0) std::this_thread::yield();
  EXPECT_FALSE(returned);
  EXPECT_EQ(ui.Drain(), 1u);
  worker.join();
  EXPECT_EQ(ran_on, std::this_thread::get_id());
  EXPECT_EQ(value, 42);
}

TEST(UiQueue, InvokeOnTheUiThreadRunsAtOnce) {
  UiQueue ui;
  bool ran = false;
  EXPECT_TRUE(ui.Invoke([&] { ran = true; }));
  EXPECT_TRUE(ran);
  EXPECT_EQ(ui.pending(), 0u);
}

TEST(UiQueue, TasksOfEveryThreadRunInTheirOrderAndExceptionsStayOnTheUiThread) {
  UiQueue ui;
  std::atomic<int> posted{0};
  ui.SetPostedHook([&] { ++posted; });
  constexpr int kThreads = 8;
  constexpr int kTasks = 50;
  std::vector<std::vector<int>> seen(kThreads);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < kTasks; ++i) {
        ui.Invoke([&, t, i] {
          seen[t].push_back(i);
          if (i % 10 == 0) throw std::runtime_error("dropped");
        });
      }
    });
  }
  int done = 0;
  while (done < kThreads * kTasks)
    done += static_cast<int>(ui.WaitAndDrain(std::chrono::milliseconds(50)));
  for (auto& t : threads) t.join();
  for (int t = 0; t < kThreads; ++t) {
    ASSERT_EQ(seen[t].size(), static_cast<size_t>(kTasks));
    for (int i = 0; i < kTasks; ++i) EXPECT_EQ(seen[t][i], i);
  }
  EXPECT_EQ(posted, kThreads * kTasks);
}

TEST(UiQueue, CloseReleasesWaitersWithoutRunningTheirTasks) {
  UiQueue ui;
  bool ran = false;
  std::atomic<int> result{-1};
  std::thread worker([&] { result = ui.Invoke([&] { ran = true; }) ? 1 : 0; });
  while (ui.pending() == 0) std::this_thread::yield();
  ui.Close();
  worker.join();
  EXPECT_EQ(result, 0);
  EXPECT_FALSE(ran);
  EXPECT_FALSE(ui.Post([] {}));
}

TEST(UiQueue, WaitAndDrainReturnsOnTimeoutPostOrWake) {
  UiQueue ui;
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(ui.WaitAndDrain(std::chrono::milliseconds(30)), 0u);
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(25));
  std::atomic<int> ran{0};
  std::thread poster([&] { ui.Post([&] { ++ran; }); });
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (ran == 0 && std::chrono::steady_clock::now() < deadline) {
    ui.WaitAndDrain(std::chrono::seconds(10));
  }
  poster.join();
  EXPECT_EQ(ran, 1);
  std::thread waker([&] { ui.Wake(); });
  const auto woke = std::chrono::steady_clock::now();
  ui.WaitAndDrain(std::chrono::seconds(10));
  EXPECT_LT(std::chrono::steady_clock::now() - woke, std::chrono::seconds(5));
  waker.join();
}

}  // namespace
}  // namespace host
