// SIGTERM to the real `dataserver --headless` while its callers are stuck in each kind of wait:
// a SQLite file that another program holds locked (35 callers, more than the pools' 30 slots),
// PostgreSQL statements sleeping in the server, callers waiting on the pools' semaphore behind
// 30 of those, a database server that accepts connections and never answers, and a client that
// never reads its large reply. The process must end within its ShutdownTimeout plus a margin,
// with exit code 0, and the database must be whole afterwards with every committed row in it.
// Each case prints the time the stop took.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <sqlite3.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "child_process.h"
#include "client/connection.h"
#include "client/server_module1.h"
#include "pools/da_connection.h"
#include "pools/da_query.h"
#include "pools/db_test_support.h"

namespace e2e {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

constexpr char kBuildDir[] = DATASERVER_BUILD_DIR;
// The bound the cases configure (ShutdownTimeout) and the margin the test grants beyond it.
constexpr int kBoundSeconds = 5;
constexpr auto kMargin = 5s;
constexpr int kCommittedRows = 3;

// Another program's connection to a SQLite file.
class SqliteFile {
 public:
  explicit SqliteFile(const fs::path& file) { sqlite3_open(file.c_str(), &db_); }
  ~SqliteFile() { sqlite3_close_v2(db_); }
  SqliteFile(const SqliteFile&) = delete;
  SqliteFile& operator=(const SqliteFile&) = delete;

  bool Exec(const std::string& sql) {
    return sqlite3_exec(db_, sql.c_str(), nullptr, nullptr, nullptr) == SQLITE_OK;
  }
  std::string Scalar(const std::string& sql) {
    sqlite3_stmt* stmt = nullptr;
    std::string value = "<error>";
    if (sqlite3_prepare_v2(db_, sql.c_str(), -1, &stmt, nullptr) == SQLITE_OK &&
        sqlite3_step(stmt) == SQLITE_ROW) {
      const auto* text = sqlite3_column_text(stmt, 0);
      value = text != nullptr ? reinterpret_cast<const char*>(text) : "<null>";
    }
    sqlite3_finalize(stmt);
    return value;
  }

 private:
  sqlite3* db_ = nullptr;
};

// A TCP port on loopback that accepts connections and never says a word: a database server
// that hangs before its greeting.
class SilentServer {
 public:
  SilentServer() {
    fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    ::bind(fd_, reinterpret_cast<sockaddr*>(&addr), len);
    ::listen(fd_, 64);  // the kernel completes the connects; nothing is ever read or written
    ::getsockname(fd_, reinterpret_cast<sockaddr*>(&addr), &len);
    port_ = ntohs(addr.sin_port);
  }
  ~SilentServer() { ::close(fd_); }
  uint16_t port() const { return port_; }

 private:
  int fd_ = -1;
  uint16_t port_ = 0;
};

class ShutdownCaseRun;

struct ShutdownCase {
  const char* name;
  // Writes DataBase.CFG and prepares the database; a message instead skips the case.
  std::string (*prepare)(ShutdownCaseRun&);
  // Puts the callers into their wait, once the rows are committed.
  void (*stick)(ShutdownCaseRun&);
  // Whether the database is a SQLite file to check afterwards, or the PostgreSQL test server.
  enum class Check { kSqliteFile, kPostgreSql, kNone } check;
  // Whether the stop must be cut short at the bound: only where a database client library
  // offers no way to cancel (a connection attempt); everything else ends by being cancelled.
  bool cut_short;
};

// One run of a case: the application folder, the server process, the stuck callers.
class ShutdownCaseRun {
 public:
  fs::path app() const { return dir_.path(); }
  uint16_t port() const { return port_; }
  std::string table = "shutdown_rows";

  // Starts the server; false (with the output) when it does not serve.
  bool StartServer() {
    std::ofstream(app() / "CONFIG.CFG")
        << "[CONFIG]\nSVROPENPORT=0\nShutdownTimeout=" << kBoundSeconds << "\n";
    server_ = std::make_unique<Process>(
        std::vector<std::string>{std::string(kBuildDir) + "/src/dataserver", "--headless",
                                 "--app-dir", app().string()},
        std::vector<std::string>{});
    const std::optional<std::string> port = server_->WaitForLine("Serving on port ([0-9]+)", 30000);
    if (!port) return false;
    port_ = static_cast<uint16_t>(std::stoi(*port));
    return true;
  }

  std::unique_ptr<client::Connection> Client() const {
    auto c = std::make_unique<client::Connection>(
        client::LoginOptions("127.0.0.1", port_, "admin", "tulip"));
    c->Open();
    return c;
  }
  // An ExecSQL through the server; its ErrMsg.
  std::string Exec(const std::string& sql) const {
    auto c = Client();
    return client::ServerModule1(*c).ExecSQL(sql);
  }
  // `count` callers, each on a connection of its own, running `sql`; they end when the server
  // answers or goes.
  void StartCallers(int count, const std::string& sql, bool query) {
    for (int i = 0; i < count; ++i) {
      callers_.emplace_back([this, sql, query] {
        try {
          auto c = Client();
          client::ServerModule1 module(*c);
          if (query) {
            module.SQL2OleVariant(sql);
          } else {
            module.ExecSQL(sql);
          }
        } catch (const std::exception&) {
          // The server went away: the expected end of a stuck caller.
        }
      });
    }
  }
  void AddHelper(std::unique_ptr<Process> p) { helpers_.push_back(std::move(p)); }
  Process& server() { return *server_; }
  std::unique_ptr<SqliteFile> lock;
  std::unique_ptr<SilentServer> silent;

  ~ShutdownCaseRun() {
    for (auto& h : helpers_) {
      ::kill(h->pid(), SIGCONT);
      ::kill(h->pid(), SIGKILL);
    }
    server_.reset();  // kills the server if it is still there, which also frees the callers
    for (std::thread& t : callers_) t.join();
  }

 private:
  pools::testing::TempDir dir_;
  uint16_t port_ = 0;
  std::unique_ptr<Process> server_;
  std::vector<std::thread> callers_;
  std::vector<std::unique_ptr<Process>> helpers_;
};

std::string SqliteDatabase(ShutdownCaseRun& run) {
  std::ofstream(run.app() / "DataBase.CFG") << "DriverID=SQLite\r\nDatabase=shop.db\r\n";
  return {};
}

std::string PostgreSqlDatabase(ShutdownCaseRun& run) {
  const std::optional<pools::ConnectionParams> pg = pools::testing::PgParams();
  if (!pg) return pools::testing::kPgSkipMessage;
  pg->SaveToFile(run.app() / "DataBase.CFG");
  run.table = "shutdown_rows_" + std::to_string(::getpid());
  return {};
}

std::string SilentDatabaseServer(ShutdownCaseRun& run) {
  run.silent = std::make_unique<SilentServer>();
  std::ofstream(run.app() / "DataBase.CFG")
      << "DriverID=PG\r\nServer=127.0.0.1\r\nPort=" << run.silent->port()
      << "\r\nDatabase=shop\r\nUser_Name=shop\r\nPassword=secret\r\n";
  return {};
}

const ShutdownCase kCases[] = {
    {"SqliteFileLockedBy35Callers", SqliteDatabase,
     [](ShutdownCaseRun& run) {
       // Another program takes the file; the server's callers wait for it (ten seconds each,
       // connection by connection, and the ones beyond the 30 slots on the semaphore).
       run.lock = std::make_unique<SqliteFile>(run.app() / "shop.db");
       ASSERT_TRUE(run.lock->Exec("BEGIN EXCLUSIVE"));
       run.StartCallers(35, "INSERT INTO " + run.table + " (v) VALUES ('stuck')", false);
     },
     ShutdownCase::Check::kSqliteFile, false},
    {"PostgreSqlSleepIn4Callers", PostgreSqlDatabase,
     [](ShutdownCaseRun& run) { run.StartCallers(4, "SELECT pg_sleep(600) AS slept", true); },
     ShutdownCase::Check::kPostgreSql, false},
    {"SemaphoreWaitersBehind30SleepingCallers", PostgreSqlDatabase,
     [](ShutdownCaseRun& run) {
       run.StartCallers(30, "SELECT pg_sleep(600) AS slept", true);
       std::this_thread::sleep_for(1s);  // the 30 slots are taken
       run.StartCallers(5, "SELECT 1 AS one", true);
     },
     ShutdownCase::Check::kPostgreSql, false},
    {"DatabaseServerThatNeverAnswers", SilentDatabaseServer,
     [](ShutdownCaseRun& run) { run.StartCallers(4, "SELECT 1 AS one", true); },
     ShutdownCase::Check::kNone, true},
    {"ClientThatNeverReadsALargeReply", SqliteDatabase,
     [](ShutdownCaseRun& run) {
       {
         // 32 MiB of random bytes: nothing for the compression to shrink, far more than the
         // socket buffers hold.
         SqliteFile file(run.app() / "shop.db");
         ASSERT_TRUE(file.Exec(
             "CREATE TABLE big (b BLOB);"
             "WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < 32) "
             "INSERT INTO big SELECT randomblob(1048576) FROM n"));
       }
       auto reader = std::make_unique<Process>(
           std::vector<std::string>{std::string(kBuildDir) + "/tools/dataclient/dataclient",
                                    "--port", std::to_string(run.port()), "query",
                                    "SELECT b FROM big", "--out", (run.app() / "out").string()},
           std::vector<std::string>{});
       // Its arrival follows those of the statements that committed the rows.
       for (int arrival = 0; arrival < kCommittedRows + 2; ++arrival) {
         ASSERT_TRUE(run.server().WaitForLine("连接成功!", 10000)) << run.server().output();
       }
       std::this_thread::sleep_for(300ms);  // the request is in
       ::kill(reader->pid(), SIGSTOP);      // and the client reads no more
       run.AddHelper(std::move(reader));
     },
     ShutdownCase::Check::kSqliteFile, false},
};

class ShutdownE2e : public ::testing::TestWithParam<ShutdownCase> {};

TEST_P(ShutdownE2e, SigtermEndsTheProcessInTimeAndKeepsTheDatabaseWhole) {
  const ShutdownCase& c = GetParam();
  ShutdownCaseRun run;
  if (const std::string skip = c.prepare(run); !skip.empty()) GTEST_SKIP() << skip;
  ASSERT_TRUE(run.StartServer()) << run.server().output();

  // Rows committed through the server before anything gets stuck.
  if (c.check != ShutdownCase::Check::kNone) {
    ASSERT_EQ(run.Exec("CREATE TABLE " + run.table + " (id INTEGER, v VARCHAR(20))"), "");
    for (int i = 1; i <= kCommittedRows; ++i) {
      ASSERT_EQ(run.Exec("INSERT INTO " + run.table + " (id, v) VALUES (" + std::to_string(i) +
                         ", 'committed')"),
                "");
    }
  }
  c.stick(run);
  ASSERT_FALSE(HasFailure());
  std::this_thread::sleep_for(1500ms);  // every caller is in its wait

  const auto start = std::chrono::steady_clock::now();
  ASSERT_EQ(::kill(run.server().pid(), SIGTERM), 0);
  const int exit_code = run.server().Finish(60000);
  const auto took = std::chrono::steady_clock::now() - start;
  const double seconds = std::chrono::duration<double>(took).count();
  std::printf("[ SHUTDOWN ] %s: the process ended %.2f s after SIGTERM (bound %d s)\n", c.name,
              seconds, kBoundSeconds);
  RecordProperty("shutdown_seconds", std::to_string(seconds));
  EXPECT_EQ(exit_code, 0) << run.server().output();
  EXPECT_LT(took, std::chrono::seconds(kBoundSeconds) + kMargin) << run.server().output();
  EXPECT_NE(run.server().output().find("Stopping on SIGTERM"), std::string::npos)
      << run.server().output();
  EXPECT_EQ(run.server().output().find("Stopping cut short after " + std::to_string(kBoundSeconds) +
                                       " s") != std::string::npos,
            c.cut_short)
      << run.server().output();

  switch (c.check) {
    case ShutdownCase::Check::kSqliteFile: {
      run.lock.reset();  // the other program lets go: its transaction rolls back
      SqliteFile file(run.app() / "shop.db");
      EXPECT_EQ(file.Scalar("PRAGMA integrity_check"), "ok");
      EXPECT_EQ(file.Scalar("SELECT count(*) FROM " + run.table + " WHERE v = 'committed'"),
                std::to_string(kCommittedRows));
      break;
    }
    case ShutdownCase::Check::kPostgreSql: {
      pools::TDAConnection admin;
      admin.Params() = *pools::testing::PgParams();
      admin.Open();
      pools::TDAQuery q;
      q.SetConnection(&admin);
      q.SetSQLText("SELECT count(*) FROM " + run.table + " WHERE v = 'committed'");
      q.Open();
      ASSERT_TRUE(q.Result().Next());
      EXPECT_EQ(q.Result().GetInt64(0), kCommittedRows);
      q.Close();
      q.SetSQLText("DROP TABLE " + run.table);
      q.Execute();
      break;
    }
    case ShutdownCase::Check::kNone:
      break;
  }
}

INSTANTIATE_TEST_SUITE_P(StuckCallers, ShutdownE2e, ::testing::ValuesIn(kCases),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace e2e
