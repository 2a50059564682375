// The pools' shutting-down state against callers stuck in each kind of database wait: a
// statement waiting for a SQLite file that another program holds locked, a connection attempt
// waiting for that lock, a statement that runs without end, callers waiting on the semaphore
// for a free slot, and a PostgreSQL statement sleeping in the server. Every stuck caller must
// come back with a failure soon after the shutdown starts (their natural waits last a minute
// or more), the pool must serve again after EndShutdown, and committed rows must stay.
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "db_test_support.h"
#include "pools/da_conn_pool.h"
#include "pools/da_query.h"
#include "pools/database_error.h"

namespace pools {
namespace {

using namespace std::chrono_literals;
using testing::TempDir;
using testing::WriteFile;

// Far beyond the waits the shutdown must cut short (minutes), far above what cutting takes.
constexpr auto kEndsWithin = 20s;
constexpr int kCallers = 3;

// The outcome of one stuck caller: "no connection", the database's error text, or "done".
std::string RunOn(TDAConnectionPool& pool, const std::string& sql) {
  PooledConnection conn(pool);
  if (!conn) return "no connection";
  try {
    TDAQuery q;
    q.SetConnection(conn.get());
    q.SetSQLText(sql);
    q.Open();
    while (q.Result().Next()) {
    }
    return "done";
  } catch (const DatabaseError& e) {
    return e.what();
  }
}

// Another program's connection to the SQLite file, holding it locked while alive.
class ExclusiveLock {
 public:
  explicit ExclusiveLock(const std::filesystem::path& file) {
    sqlite3_open(file.c_str(), &db_);
    sqlite3_exec(db_, "BEGIN EXCLUSIVE", nullptr, nullptr, nullptr);
  }
  ~ExclusiveLock() { sqlite3_close_v2(db_); }
  bool held() const { return sqlite3_get_autocommit(db_) == 0; }

 private:
  sqlite3* db_ = nullptr;
};

struct Fixture {
  TempDir dir;
  TDAConnectionPool pool{kPoolCapacity, dir / kDatabaseConfigFileName};
  std::unique_ptr<ExclusiveLock> lock;
  std::vector<PooledConnection> held;  // slots the case keeps busy itself
};

struct ShutdownCase {
  const char* name;
  // Prepares the database and the pool; a message instead skips the case (a server that is
  // not there).
  std::function<std::string(Fixture&)> setup;
  // What each stuck caller runs.
  std::string sql;
};

void WriteSqliteConfig(Fixture& f) {
  // A lock wait of ten minutes: only the shutdown can end it within the test.
  WriteFile(f.dir / kDatabaseConfigFileName,
            "DriverID=SQLite\r\nDatabase=shop.db\r\nBusyTimeout=600000\r\n");
  PooledConnection conn(f.pool);
  ASSERT_TRUE(conn) << f.pool.LastCreateError();
  TDAQuery q;
  q.SetConnection(conn.get());
  q.SetSQLText(
      "CREATE TABLE t (id INTEGER PRIMARY KEY, v TEXT);"
      "INSERT INTO t (v) VALUES ('committed 1'), ('committed 2')");
  q.Execute();
}

const ShutdownCase kCases[] = {
    {"StatementWaitingForALockedFile",
     [](Fixture& f) {
       WriteSqliteConfig(f);
       // Connections exist before the lock, so the callers wait in their statement.
       {
         std::vector<PooledConnection> warm;
         for (int i = 0; i < kCallers; ++i) warm.emplace_back(f.pool);
       }
       f.lock = std::make_unique<ExclusiveLock>(f.dir / "shop.db");
       EXPECT_TRUE(f.lock->held());
       return std::string();
     },
     "SELECT count(*) FROM t"},
    {"ConnectionAttemptWaitingForALockedFile",
     [](Fixture& f) {
       WriteSqliteConfig(f);
       f.pool.FreeAndNil();  // no idle connection: each caller must open one
       f.lock = std::make_unique<ExclusiveLock>(f.dir / "shop.db");
       EXPECT_TRUE(f.lock->held());
       return std::string();
     },
     "SELECT count(*) FROM t"},
    {"StatementRunningWithoutEnd",
     [](Fixture& f) {
       WriteSqliteConfig(f);
       return std::string();
     },
     "WITH RECURSIVE c(x) AS (SELECT 1 UNION ALL SELECT x + 1 FROM c) SELECT count(*) FROM c"},
    {"CallersWaitingOnTheSemaphore",
     [](Fixture& f) {
       WriteSqliteConfig(f);
       f.pool.SetTimeout(600000);
       for (int i = 0; i < kPoolCapacity; ++i) f.held.emplace_back(f.pool);
       EXPECT_EQ(f.pool.FreeSlots(), 0);
       return std::string();
     },
     "SELECT count(*) FROM t"},
    {"PostgreSqlStatementSleepingInTheServer",
     [](Fixture& f) {
       const std::optional<ConnectionParams> pg = testing::PgParams();
       if (!pg) return std::string(testing::kPgSkipMessage);
       pg->SaveToFile(f.dir / kDatabaseConfigFileName);
       return std::string();
     },
     "SELECT pg_sleep(600) AS slept"},
};

class PoolShutdown : public ::testing::TestWithParam<ShutdownCase> {};

TEST_P(PoolShutdown, EndsEveryStuckCallerAndServesAgainAfterwards) {
  const ShutdownCase& c = GetParam();
  // Left alive if a caller never ends: its thread still uses it.
  auto fixture = std::make_unique<Fixture>();
  Fixture& f = *fixture;
  if (const std::string skip = c.setup(f); !skip.empty()) GTEST_SKIP() << skip;
  ASSERT_FALSE(HasFailure());

  std::vector<std::string> outcomes(kCallers);
  std::atomic<int> ended{0};
  std::vector<std::thread> callers;
  for (int i = 0; i < kCallers; ++i) {
    callers.emplace_back([&, i] {
      outcomes[static_cast<size_t>(i)] = RunOn(f.pool, c.sql);
      ++ended;
    });
  }
  std::this_thread::sleep_for(500ms);  // every caller is in its wait
  ASSERT_EQ(ended.load(), 0) << outcomes[0];

  // What the service's stop does: the state at once, then interrupt rounds while it waits.
  const auto start = std::chrono::steady_clock::now();
  f.pool.StartShutdown();
  while (ended.load() < kCallers && std::chrono::steady_clock::now() - start < kEndsWithin) {
    f.pool.InterruptBusy();
    std::this_thread::sleep_for(50ms);
  }
  const bool all_ended = ended.load() == kCallers;
  for (std::thread& t : callers) {
    if (all_ended) {
      t.join();
    } else {
      t.detach();
    }
  }
  if (!all_ended) fixture.release();
  ASSERT_TRUE(all_ended) << "stuck callers did not end within the bound";
  for (const std::string& outcome : outcomes) EXPECT_NE(outcome, "done");
  EXPECT_EQ(RunOn(f.pool, "SELECT 1"), "no connection");  // nothing new starts meanwhile

  // Dropped, not kept: what was interrupted is never lent again.
  f.held.clear();
  EXPECT_EQ(f.pool.BusyCount(), 0);
  f.lock.reset();
  f.pool.EndShutdown();
  EXPECT_EQ(RunOn(f.pool, "SELECT 1"), "done");
  if (std::filesystem::exists(f.dir / "shop.db")) {
    PooledConnection conn(f.pool);
    ASSERT_TRUE(conn);
    TDAQuery q;
    q.SetConnection(conn.get());
    q.SetSQLText("SELECT count(*) FROM t WHERE v LIKE 'committed %'");
    q.Open();
    ASSERT_TRUE(q.Result().Next());
    EXPECT_EQ(q.Result().GetInt64(0), 2);
  }
}

INSTANTIATE_TEST_SUITE_P(Waits, PoolShutdown, ::testing::ValuesIn(kCases),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace pools
