#include "pools/instance_pool.h"

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <set>
#include <stdexcept>
#include <thread>
#include <vector>

#include "common/error.h"

namespace pools {
namespace {

// Counts constructions and destructions, and which object is currently lent (for the stress
// test, which marks an object busy while it holds it).
struct Counters {
  std::atomic<int> built{0};
  std::atomic<int> freed{0};
};

class Probe : public TPersistent {
 public:
  explicit Probe(Counters* counters) : counters_(counters), serial_(++counters->built) {}
  ~Probe() override { ++counters_->freed; }
  int serial() const { return serial_; }
  std::atomic<int> holders{0};

 private:
  Counters* counters_;
  int serial_;
};

class PlainObject : public TPersistent {
 public:
  int value = 42;
};

TInstanceClass ProbeClass(Counters* counters) {
  return TInstanceClass("TProbe", [counters] { return std::make_unique<Probe>(counters); });
}

class InstancePoolTest : public testing::Test {
 protected:
  InstancePoolTest() { pool_.SetInstanceClass(ProbeClass(&counters_)); }
  Probe* Lock() { return static_cast<Probe*>(pool_.LockPoolObject()); }

  Counters counters_;
  TPoolManager pool_;
};

TEST_F(InstancePoolTest, BuildsOnlyWhenEveryObjectIsLent) {
  Probe* first = Lock();
  EXPECT_EQ(first->serial(), 1);
  Probe* second = Lock();
  EXPECT_EQ(second->serial(), 2);
  EXPECT_NE(first, second);
  EXPECT_EQ(pool_.Count(), 2u);
  EXPECT_EQ(pool_.InUseCount(), 2u);
}

TEST_F(InstancePoolTest, LendsTheOldestFreeObjectFirst) {
  Probe* a = Lock();
  Probe* b = Lock();
  Probe* c = Lock();
  pool_.UnlockPoolObject(c);
  pool_.UnlockPoolObject(a);
  pool_.UnlockPoolObject(b);
  EXPECT_EQ(Lock(), a);
  EXPECT_EQ(Lock(), b);
  EXPECT_EQ(Lock(), c);
  EXPECT_EQ(counters_.built, 3);
}

TEST_F(InstancePoolTest, ReturnedObjectKeepsItsState) {
  Probe* a = Lock();
  a->holders = 7;
  pool_.UnlockPoolObject(a);
  EXPECT_EQ(Lock()->holders, 7);
}

TEST_F(InstancePoolTest, IgnoresDoubleAndForeignReturns) {
  Probe* a = Lock();
  pool_.UnlockPoolObject(a);
  pool_.UnlockPoolObject(a);
  Counters other;
  Probe stranger(&other);
  pool_.UnlockPoolObject(&stranger);
  pool_.UnlockPoolObject(nullptr);
  EXPECT_EQ(pool_.Count(), 1u);
  EXPECT_EQ(pool_.InUseCount(), 0u);
  EXPECT_EQ(Lock(), a);
  // A second lend while `a` is out builds anew: the double return did not free it twice.
  EXPECT_NE(Lock(), a);
}

TEST(InstancePool, WithoutClassFailsOnlyWhenItMustBuild) {
  TPoolManager pool;
  EXPECT_FALSE(pool.InstanceClass().IsSet());
  try {
    pool.LockPoolObject();
    FAIL() << "no error";
  } catch (const common::Error& e) {
    EXPECT_STREQ(e.what(), "Not specify class of instance!");
    EXPECT_EQ(e.class_name(), "Exception");
  }
  EXPECT_EQ(pool.Count(), 0u);

  // With a free object and the class unset again, lending still works.
  Counters counters;
  pool.SetInstanceClass(ProbeClass(&counters));
  TPersistent* object = pool.LockPoolObject();
  pool.UnlockPoolObject(object);
  pool.SetInstanceClass(TInstanceClass());
  EXPECT_EQ(pool.LockPoolObject(), object);
  EXPECT_THROW(pool.LockPoolObject(), common::Error);
  EXPECT_EQ(pool.Count(), 1u);
}

TEST_F(InstancePoolTest, ChangingTheClassKeepsExistingObjects) {
  Probe* a = Lock();
  pool_.UnlockPoolObject(a);
  pool_.SetInstanceClass(TInstanceClass::Of<PlainObject>("TPlainObject"));
  EXPECT_EQ(pool_.InstanceClass().Name(), "TPlainObject");
  EXPECT_EQ(pool_.LockPoolObject(), a);
  auto* plain = dynamic_cast<PlainObject*>(pool_.LockPoolObject());
  ASSERT_NE(plain, nullptr);
  EXPECT_EQ(plain->value, 42);
  EXPECT_EQ(counters_.freed, 0);
}

TEST(InstancePool, ConstructorErrorPropagatesAndAddsNothing) {
  TPoolManager pool;
  bool fail = true;
  pool.SetInstanceClass(TInstanceClass("TFragile", [&fail]() -> std::unique_ptr<TPersistent> {
    if (fail) throw std::runtime_error("form resource not found");
    return std::make_unique<PlainObject>();
  }));
  EXPECT_THROW(pool.LockPoolObject(), std::runtime_error);
  EXPECT_EQ(pool.Count(), 0u);
  // The lock was left: the next call goes through.
  fail = false;
  EXPECT_NE(pool.LockPoolObject(), nullptr);
  EXPECT_EQ(pool.Count(), 1u);
}

TEST(InstancePool, FreesEveryObjectOnlyWhenDestroyed) {
  Counters counters;
  {
    TPoolManager pool;
    pool.SetInstanceClass(ProbeClass(&counters));
    std::vector<TPersistent*> lent;
    for (int i = 0; i < 50; ++i) lent.push_back(pool.LockPoolObject());
    for (TPersistent* object : lent) pool.UnlockPoolObject(object);
    EXPECT_EQ(pool.Count(), 50u);
    EXPECT_EQ(pool.InUseCount(), 0u);
    EXPECT_EQ(counters.freed, 0);
  }
  EXPECT_EQ(counters.built, 50);
  EXPECT_EQ(counters.freed, 50);
}

// Many threads lend and return at once: no object is ever held by two of them, and the pool
// never grows beyond the number of threads.
TEST(InstancePool, NeverLendsOneObjectTwiceUnderContention) {
  constexpr int kThreads = 16;
  constexpr int kRounds = 2000;
  Counters counters;
  TPoolManager pool;
  pool.SetInstanceClass(ProbeClass(&counters));
  std::atomic<int> double_lends{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < kRounds; ++i) {
        auto* probe = static_cast<Probe*>(pool.LockPoolObject());
        if (probe->holders.fetch_add(1) != 0) ++double_lends;
        if (i % 7 == 0) std::this_thread::yield();
        probe->holders.fetch_sub(1);
        pool.UnlockPoolObject(probe);
      }
    });
  }
  for (std::thread& t : threads) t.join();
  EXPECT_EQ(double_lends, 0);
  EXPECT_LE(pool.Count(), static_cast<size_t>(kThreads));
  EXPECT_EQ(pool.InUseCount(), 0u);
  EXPECT_EQ(counters.freed, 0);
}

}  // namespace
}  // namespace pools
