#include "pools/da_conn_pool.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <mutex>
#include <thread>

#include "db_test_support.h"
#include "pools/da_query.h"
#include "pools/database_error.h"

namespace pools {
namespace {

using namespace std::chrono_literals;
using testing::TempDir;
using testing::WriteFile;

class ConnectionPoolTest : public ::testing::Test {
 protected:
  std::filesystem::path Config() const { return dir_ / kDatabaseConfigFileName; }
  void WriteConfig(const std::string& text) { WriteFile(Config(), text); }
  std::vector<int> Codes() {
    std::lock_guard<std::mutex> guard(codes_lock_);
    return codes_;
  }
  static int64_t Count(TDAConnection* conn, const std::string& sql) {
    TDAQuery q;
    q.SetConnection(conn);
    q.SetSQLText(sql);
    q.Open();
    EXPECT_TRUE(q.Result().Next());
    return q.Result().GetInt64(0);
  }
  static void Run(TDAConnection* conn, const std::string& sql) {
    TDAQuery q;
    q.SetConnection(conn);
    q.SetSQLText(sql);
    q.Execute();
  }

  TempDir dir_;
  std::mutex codes_lock_;
  std::vector<int> codes_;
  TDAConnectionPool pool_{kPoolCapacity, Config(), [this](int code) {
                            std::lock_guard<std::mutex> guard(codes_lock_);
                            codes_.push_back(code);
                          }};
};

TEST_F(ConnectionPoolTest, ReadsTheConfigAtEachCreation) {
  WriteConfig("DriverID=SQLite\r\nDatabase=a.db\r\n");
  TDAConnection* a = pool_.Lock();
  ASSERT_NE(a, nullptr);
  EXPECT_TRUE(a->Connected());
  EXPECT_EQ(a->Tag, 1);
  EXPECT_TRUE(std::filesystem::exists(dir_ / "a.db"));  // relative to the config's folder

  WriteConfig("DriverID=SQLite\r\nDatabase=b.db\r\n");
  TDAConnection* b = pool_.Lock();
  ASSERT_NE(b, nullptr);
  EXPECT_EQ(b->Params().Value("Database"), "b.db");
  EXPECT_EQ(a->Params().Value("Database"), "a.db");  // made before the change

  pool_.Unlock(a);
  EXPECT_EQ(pool_.Lock(), a);  // an idle connection is lent again, not rebuilt
  EXPECT_EQ(Codes(), (std::vector<int>{11, 11, 12, 13}));
}

TEST_F(ConnectionPoolTest, MissingConfigGivesNullUntilTheFileIsWritten) {
  EXPECT_EQ(pool_.Lock(), nullptr);
  EXPECT_EQ(pool_.Count(), 0);
  EXPECT_NE(pool_.LastCreateError().find("Cannot open file \"" + Config().string() + "\""),
            std::string::npos)
      << pool_.LastCreateError();
  EXPECT_EQ(Codes(), std::vector<int>{11});  // posted also when the creation failed

  WriteConfig("DriverID=SQLite\r\nDatabase=a.db\r\n");
  TDAConnection* conn = pool_.Lock();
  ASSERT_NE(conn, nullptr);
  EXPECT_TRUE(conn->Connected());
  EXPECT_EQ(pool_.LastCreateError(), "");
}

TEST_F(ConnectionPoolTest, CreationFailuresAreSwallowedWithTheDriversText) {
  struct Case {
    std::string config;
    const char* error;
  };
  WriteFile(dir_ / "junk.db", std::string(4096, 'x'));
  const Case cases[] = {
      {"Database=a.db\r\n", "The connection parameters name no driver (DriverID)"},
      {"DriverID=SQLite\r\nDatabase=junk.db\r\n", "file is not a database"},
      {std::string("DriverID=SQLite\r\n\0", 18), "is not a text file"},
      {"DriverID=PG\r\nServer=127.0.0.1\r\nPort=1\r\nDatabase=x\r\n", "Connection refused"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.config);
    WriteConfig(c.config);
    EXPECT_EQ(pool_.Lock(), nullptr);
    EXPECT_NE(pool_.LastCreateError().find(c.error), std::string::npos) << pool_.LastCreateError();
  }
  EXPECT_EQ(pool_.Count(), 0);
}

TEST_F(ConnectionPoolTest, SlotAccountingSurvivesFailedCreations) {
  TDAConnectionPool pool(2, Config());
  pool.SetTimeout(100);
  // A Lock that returns null after a successful wait keeps its slot.
  EXPECT_EQ(pool.Lock(), nullptr);
  EXPECT_EQ(pool.Lock(), nullptr);
  EXPECT_EQ(pool.FreeSlots(), 0);

  // With no slot left, a time-out does not end the call: it goes on and creates.
  WriteConfig("DriverID=SQLite\r\nDatabase=a.db\r\n");
  auto start = std::chrono::steady_clock::now();
  TDAConnection* conn = pool.Lock();
  EXPECT_GE(std::chrono::steady_clock::now() - start, 90ms);
  ASSERT_NE(conn, nullptr);
  EXPECT_EQ(pool.FreeSlots(), 0);
  // Giving back what a timed-out Lock took adds a slot, up to the capacity.
  pool.Unlock(conn);
  EXPECT_EQ(pool.FreeSlots(), 1);
  EXPECT_EQ(pool.Lock(), conn);
  EXPECT_EQ(pool.FreeSlots(), 0);
  pool.Unlock(conn);
  pool.Unlock(conn);
  pool.Unlock(conn);
  EXPECT_EQ(pool.FreeSlots(), 2);
}

TEST_F(ConnectionPoolTest, GuardRollsBackWhatItsHolderLeftOpen) {
  WriteConfig("DriverID=SQLite\r\nDatabase=a.db\r\n");
  TDAConnection* held = nullptr;
  {
    PooledConnection conn(pool_);
    ASSERT_TRUE(conn);
    held = conn.get();
    Run(held, "CREATE TABLE t (a INTEGER)");
    conn->StartTransaction();
    Run(held, "INSERT INTO t VALUES (1)");
  }
  EXPECT_EQ(pool_.BusyCount(), 0);
  PooledConnection again(pool_);
  ASSERT_EQ(again.get(), held);
  EXPECT_FALSE(again->InTransaction());
  EXPECT_EQ(Count(again.get(), "SELECT COUNT(*) FROM t"), 0);
}

// A real server shows what the pool does with links: FreeAndNil closes one, and a link the
// server has cut is dropped when it is given back instead of being lent again.
TEST_F(ConnectionPoolTest, DropsLostLinksAndClosesFreedOnes) {
  auto params = testing::PgParams();
  if (!params) GTEST_SKIP() << testing::kPgSkipMessage;
  params->SaveToFile(Config());
  TDAConnection watcher;
  watcher.Params() = *params;
  watcher.Open();
  auto backend_alive = [&](int64_t pid) {
    return Count(&watcher,
                 "SELECT COUNT(*) FROM pg_stat_activity WHERE pid = " + std::to_string(pid)) > 0;
  };

  TDAConnection* conn = pool_.Lock();
  ASSERT_NE(conn, nullptr);
  int64_t pid = Count(conn, "SELECT pg_backend_pid()");
  EXPECT_TRUE(backend_alive(pid));
  pool_.Unlock(conn);
  pool_.FreeAndNil();
  EXPECT_EQ(pool_.Count(), 0);
  bool closed = false;
  for (int i = 0; i < 50 && !closed; ++i) {
    closed = !backend_alive(pid);
    if (!closed) std::this_thread::sleep_for(50ms);
  }
  EXPECT_TRUE(closed);

  conn = pool_.Lock();
  ASSERT_NE(conn, nullptr);
  pid = Count(conn, "SELECT pg_backend_pid()");
  Count(&watcher,
        "SELECT COUNT(*) FROM (SELECT pg_terminate_backend(" + std::to_string(pid) + ")) x");
  try {
    Count(conn, "SELECT 1");
    ADD_FAILURE() << "the terminated link still answered";
  } catch (const DatabaseError& e) {
    EXPECT_TRUE(e.poisons_connection()) << e.sql_state() << " " << e.what();
  }
  EXPECT_TRUE(conn->IsLost());
  pool_.Unlock(conn);
  EXPECT_EQ(pool_.Count(), 0);
  EXPECT_EQ(pool_.FreeSlots(), kPoolCapacity);

  TDAConnection* fresh = pool_.Lock();
  ASSERT_NE(fresh, nullptr);
  EXPECT_EQ(Count(fresh, "SELECT 1"), 1);
}

}  // namespace
}  // namespace pools
