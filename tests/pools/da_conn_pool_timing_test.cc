// The connection pool's wait for a free slot, with the real capacity (30) and time-out
// (3000 ms). Slow by nature, so these tests have an executable of their own (label "slow").
#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "db_test_support.h"
#include "pools/da_conn_pool.h"

namespace pools {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

class FullConnectionPool : public ::testing::Test {
 protected:
  void SetUp() override {
    testing::WriteFile(dir_ / kDatabaseConfigFileName, "DriverID=SQLite\r\nDatabase=t.db\r\n");
    for (int i = 0; i < kPoolCapacity; ++i) {
      busy_.push_back(pool_.Lock());
      ASSERT_NE(busy_.back(), nullptr);
    }
    EXPECT_EQ(pool_.FreeSlots(), 0);
  }

  testing::TempDir dir_;
  TDAConnectionPool pool_{kPoolCapacity, dir_ / kDatabaseConfigFileName};
  std::vector<TDAConnection*> busy_;
};

TEST_F(FullConnectionPool, ThirtyFirstLockReturnsNullAfterAboutThreeSeconds) {
  auto start = Clock::now();
  EXPECT_EQ(pool_.Lock(), nullptr);
  auto waited = Clock::now() - start;
  EXPECT_GE(waited, 2900ms);
  EXPECT_LT(waited, 6000ms);
  EXPECT_EQ(pool_.Count(), kPoolCapacity);
}

TEST_F(FullConnectionPool, ThirtyFirstLockGetsTheConnectionGivenBackMeanwhile) {
  TDAConnection* returned = busy_[7];
  std::thread giver([&] {
    std::this_thread::sleep_for(1000ms);
    pool_.Unlock(returned);
  });
  auto start = Clock::now();
  TDAConnection* got = pool_.Lock();
  auto waited = Clock::now() - start;
  giver.join();
  EXPECT_EQ(got, returned);
  EXPECT_GE(waited, 900ms);
  EXPECT_LT(waited, 2500ms);
  EXPECT_EQ(pool_.Count(), kPoolCapacity);
}

}  // namespace
}  // namespace pools
