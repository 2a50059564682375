#include "common/memory_budget.h"

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

namespace common {
namespace {

using std::chrono::milliseconds;

TEST(MemoryBudget, ReservationsFitTheTotalAndComeBack) {
  MemoryBudget budget(1000);
  budget.set_wait(milliseconds(0));
  EXPECT_TRUE(budget.Reserve(600));
  EXPECT_TRUE(budget.Reserve(400));
  EXPECT_FALSE(budget.Reserve(1));
  budget.Release(400);
  EXPECT_EQ(budget.reserved(), 600u);
  EXPECT_FALSE(budget.Reserve(1001)) << "more than the whole budget never fits";
  EXPECT_TRUE(budget.Reserve(400));
}

TEST(MemoryBudget, AWaitingReservationGoesOnWhenMemoryComesBack) {
  MemoryBudget budget(100);
  budget.set_wait(milliseconds(10000));
  ASSERT_TRUE(budget.Reserve(100));
  std::thread releaser([&] {
    std::this_thread::sleep_for(milliseconds(50));
    budget.Release(60);
  });
  EXPECT_TRUE(budget.Reserve(50));
  releaser.join();
  EXPECT_EQ(budget.reserved(), 90u);
}

TEST(MemoryBudget, ZeroMeansAQuarterOfThePhysicalMemory) {
  MemoryBudget budget(0);
  EXPECT_EQ(budget.total(), MemoryBudget::QuarterOfPhysicalMemory());
  EXPECT_GT(budget.total(), 0u);
}

TEST(BudgetShare, HoldsWhatItIsResizedToAndGivesAllBackWhenItGoes) {
  MemoryBudget budget(100);
  budget.set_wait(milliseconds(0));
  {
    BudgetShare share(&budget);
    EXPECT_TRUE(share.Resize(70));
    EXPECT_FALSE(share.Resize(120));
    EXPECT_EQ(share.held(), 70u) << "a failed growth keeps what was held";
    EXPECT_TRUE(share.Resize(20));
    EXPECT_EQ(budget.reserved(), 20u);
  }
  EXPECT_EQ(budget.reserved(), 0u);
}

}  // namespace
}  // namespace common
