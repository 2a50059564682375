#include "host/service_stop.h"

#include <gtest/gtest.h>

#include <chrono>
#include <iostream>
#include <thread>

namespace host {
namespace {

using namespace std::chrono_literals;

TEST(StopDeadline, DisarmedInTimeDoesNothing) {
  bool reported = false;
  {
    const StopDeadline deadline(10s, [&] { reported = true; });
    std::this_thread::sleep_for(20ms);
  }
  EXPECT_FALSE(reported);
}

// A stop stuck past its bound (here a thread that never returns) is reported and the process
// ends with exit code 0, whatever the stuck thread is doing.
TEST(StopDeadlineDeathTest, ExpiredReportsAndEndsTheProcessWithCodeZero) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        const StopDeadline deadline(100ms, [] { std::cerr << "stop cut short" << std::endl; });
        std::this_thread::sleep_for(60s);
      },
      ::testing::ExitedWithCode(0), "stop cut short");
}

}  // namespace
}  // namespace host
