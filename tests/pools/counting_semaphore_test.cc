#include "pools/counting_semaphore.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

namespace pools {
namespace {

using namespace std::chrono_literals;
using Result = CountingSemaphore::WaitResult;

TEST(CountingSemaphore, CountsSlotsAndRefusesToPassItsMaximum) {
  CountingSemaphore s(2, 2);
  EXPECT_FALSE(s.Release());  // already full: the count stays
  EXPECT_EQ(s.Count(), 2);
  EXPECT_EQ(s.Wait(0ms), Result::kAcquired);
  EXPECT_EQ(s.Wait(0ms), Result::kAcquired);
  EXPECT_EQ(s.Wait(20ms), Result::kTimedOut);
  EXPECT_EQ(s.Count(), 0);
  EXPECT_TRUE(s.Release());
  EXPECT_EQ(s.Count(), 1);
}

TEST(CountingSemaphore, ReleaseWakesAWaiter) {
  CountingSemaphore s(0, 1);
  std::thread releaser([&] {
    std::this_thread::sleep_for(50ms);
    s.Release();
  });
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(s.Wait(10s), Result::kAcquired);
  EXPECT_LT(std::chrono::steady_clock::now() - start, 5s);
  releaser.join();
  EXPECT_EQ(s.Count(), 0);
}

TEST(CountingSemaphore, CancelWakesEveryWaiterAndFailsLaterWaitsUntilResume) {
  CountingSemaphore s(0, 3);
  std::vector<std::thread> waiters;
  std::atomic<int> cancelled{0};
  for (int i = 0; i < 3; ++i) {
    waiters.emplace_back([&] {
      if (s.Wait(-1ms) == Result::kCancelled) ++cancelled;
    });
  }
  std::this_thread::sleep_for(50ms);
  s.Cancel();
  for (std::thread& t : waiters) t.join();  // a waiter without limit ended
  EXPECT_EQ(cancelled.load(), 3);
  EXPECT_TRUE(s.Release());  // slots still come back while cancelled
  EXPECT_EQ(s.Wait(10s), Result::kCancelled);
  EXPECT_EQ(s.Count(), 1);  // a cancelled wait takes nothing
  s.Resume();
  EXPECT_EQ(s.Wait(0ms), Result::kAcquired);
  EXPECT_EQ(s.Count(), 0);
}

}  // namespace
}  // namespace pools
