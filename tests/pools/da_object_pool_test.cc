#include "pools/da_object_pool.h"

#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <set>
#include <thread>

#include "db_test_support.h"
#include "pools/da_connection.h"
#include "pools/da_query_pool.h"
#include "pools/da_stored_proc_pool.h"

namespace pools {
namespace {

// The design the query and stored-procedure pools share, run on both.
template <typename Pool>
class ObjectPoolTest : public ::testing::Test {
 protected:
  using Object = std::remove_pointer_t<decltype(std::declval<Pool>().Lock())>;

  std::vector<int> Codes() {
    std::lock_guard<std::mutex> guard(codes_lock_);
    return codes_;
  }
  void ClearCodes() {
    std::lock_guard<std::mutex> guard(codes_lock_);
    codes_.clear();
  }
  void GiveBack(Object* object) { pool_.UnLock(object); }

  std::mutex codes_lock_;
  std::vector<int> codes_;
  Pool pool_{kPoolCapacity, [this](int code) {
               std::lock_guard<std::mutex> guard(codes_lock_);
               codes_.push_back(code);
             }};
};

using PoolTypes = ::testing::Types<TDAQueryPool, TDAStoredProcPool>;
TYPED_TEST_SUITE(ObjectPoolTest, PoolTypes);

TYPED_TEST(ObjectPoolTest, LendsTheOldestIdleObjectAndCreatesOnlyWhenNoneIsIdle) {
  auto& pool = this->pool_;
  EXPECT_EQ(pool.MaxCount(), 30);
  EXPECT_EQ(pool.Timeout(), 3000);
  auto* a = pool.Lock();
  auto* b = pool.Lock();
  auto* c = pool.Lock();
  ASSERT_TRUE(a && b && c);
  EXPECT_TRUE(a != b && b != c && a != c);
  EXPECT_EQ(a->Tag, 1);
  this->GiveBack(b);
  this->GiveBack(a);
  EXPECT_EQ(a->Tag, 0);
  EXPECT_EQ(pool.Lock(), a);  // a was created first, though given back last
  EXPECT_EQ(pool.Lock(), b);
  auto* d = pool.Lock();
  EXPECT_TRUE(d != a && d != b && d != c);
  EXPECT_EQ(pool.Count(), 4);
  EXPECT_EQ(pool.BusyCount(), 4);
  EXPECT_EQ(pool.FreeSlots(), 26);
  EXPECT_EQ(this->Codes(), (std::vector<int>{21, 21, 21, 22, 22, 23, 23, 21}));
}

TYPED_TEST(ObjectPoolTest, FreeAndNilRemovesOnlyTheFirstIdleObject) {
  struct Case {
    const char* label;
    std::vector<bool> busy;      // the objects, in creation order
    std::vector<int> remaining;  // their indexes afterwards
  };
  const Case cases[] = {
      {"idle, busy, idle", {false, true, false}, {1, 2}},
      {"busy, idle, idle", {true, false, false}, {0, 2}},
      {"all busy", {true, true, true}, {0, 1, 2}},
      {"empty", {}, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    TypeParam pool(kPoolCapacity);
    std::vector<typename TestFixture::Object*> objects;
    for (size_t i = 0; i < c.busy.size(); ++i) objects.push_back(pool.Lock());
    for (size_t i = 0; i < c.busy.size(); ++i) {
      if (!c.busy[i]) pool.UnLock(objects[i]);
    }
    const int slots = pool.FreeSlots();
    pool.FreeAndNil();
    EXPECT_EQ(pool.Count(), static_cast<int>(c.remaining.size()));
    EXPECT_EQ(pool.FreeSlots(), slots);  // the semaphore is not changed
    // The survivors are lent in creation order once all are given back.
    for (int i : c.remaining) {
      if (c.busy[static_cast<size_t>(i)]) pool.UnLock(objects[static_cast<size_t>(i)]);
    }
    for (int i : c.remaining) EXPECT_EQ(pool.Lock(), objects[static_cast<size_t>(i)]);
  }
}

TYPED_TEST(ObjectPoolTest, GivingBackAStrangerChangesNothing) {
  auto& pool = this->pool_;
  auto* mine = pool.Lock();
  typename TestFixture::Object stranger;
  typename TestFixture::Object* none = nullptr;
  typename TestFixture::Object* stranger_ptr = &stranger;
  this->ClearCodes();
  const int slots = pool.FreeSlots();
  pool.UnLock(none);
  pool.UnLock(stranger_ptr);
  EXPECT_EQ(stranger_ptr, &stranger);  // the caller's variable is left as it is
  EXPECT_EQ(pool.FreeSlots(), slots);
  EXPECT_EQ(pool.BusyCount(), 1);
  EXPECT_TRUE(this->Codes().empty());

  // Nor does giving back an object that FreeAndNil has already removed.
  pool.UnLock(mine);
  pool.FreeAndNil();
  this->ClearCodes();
  pool.UnLock(mine);
  EXPECT_EQ(pool.FreeSlots(), slots + 1);
  EXPECT_EQ(pool.Count(), 0);
  EXPECT_TRUE(this->Codes().empty());
}

TYPED_TEST(ObjectPoolTest, GuardGivesBackOnEveryPath) {
  using Guard = PoolGuard<TypeParam, typename TestFixture::Object>;
  auto& pool = this->pool_;
  try {
    Guard held(pool);
    ASSERT_TRUE(held);
    EXPECT_EQ(pool.BusyCount(), 1);
    throw std::runtime_error("the call fails");
  } catch (const std::runtime_error&) {
  }
  EXPECT_EQ(pool.BusyCount(), 0);

  Guard first(pool);
  Guard moved = std::move(first);
  EXPECT_FALSE(first);
  EXPECT_EQ(pool.BusyCount(), 1);
  moved.reset();
  EXPECT_EQ(pool.BusyCount(), 0);
  EXPECT_EQ(pool.FreeSlots(), 30);

  // A guard over an exhausted pool holds nothing and gives nothing back.
  TypeParam tiny(1);
  tiny.SetTimeout(10);
  Guard only(tiny);
  {
    Guard none(tiny);
    EXPECT_FALSE(none);
  }
  EXPECT_EQ(tiny.BusyCount(), 1);
  EXPECT_EQ(tiny.FreeSlots(), 0);
}

TYPED_TEST(ObjectPoolTest, ConcurrentCallersNeverShareAnObject) {
  TypeParam pool(4);
  std::mutex in_use_lock;
  std::set<const void*> in_use;
  std::atomic<int> shared{0}, missing{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 8; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < 2000; ++i) {
        auto* object = pool.Lock();
        if (object == nullptr) {
          ++missing;
          continue;
        }
        {
          std::lock_guard<std::mutex> guard(in_use_lock);
          if (!in_use.insert(object).second) ++shared;
        }
        std::this_thread::yield();
        {
          std::lock_guard<std::mutex> guard(in_use_lock);
          in_use.erase(object);
        }
        pool.UnLock(object);
      }
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(shared.load(), 0);
  EXPECT_EQ(missing.load(), 0);
  EXPECT_LE(pool.Count(), 4);
  EXPECT_EQ(pool.BusyCount(), 0);
  EXPECT_EQ(pool.FreeSlots(), 4);
}

TEST(TDAQueryPool, GivingBackClosesTheQueryAndKeepsItsSetUp) {
  testing::TempDir dir;
  TDAConnection conn;
  conn.Params() = ConnectionParams::Parse("DriverID=SQLite\r\nDatabase=q.db\r\n");
  conn.SetBaseFolder(dir.path());
  conn.Open();

  TDAQueryPool pool(kPoolCapacity);
  TDAQuery* q = pool.Lock();
  q->SetConnection(&conn);
  q->SetSQLText("SELECT 1 AS one");
  q->UpdateTableName = "Orders";
  q->Params().Add("p", common::DataType::dtInt32, ParamType::ptInput, common::Variant::Integer(1));
  q->Open();
  ASSERT_TRUE(q->Active());
  pool.UnLock(q);
  EXPECT_FALSE(q->Active());

  ASSERT_EQ(pool.Lock(), q);
  EXPECT_EQ(q->SQL(), std::vector<std::string>{"SELECT 1 AS one"});
  EXPECT_EQ(q->Connection(), &conn);
  EXPECT_EQ(q->UpdateTableName, "Orders");
  EXPECT_EQ(q->Params().size(), 1u);
}

}  // namespace
}  // namespace pools
