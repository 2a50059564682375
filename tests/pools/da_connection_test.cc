#include "pools/da_connection.h"

#include <gtest/gtest.h>

#include "db_test_support.h"
#include "pools/da_query.h"
#include "pools/database_error.h"

namespace pools {
namespace {

using testing::TempDir;

struct OpenFailure {
  const char* label;
  std::string config;        // DataBase.CFG text; "{D}" is the test folder
  std::string message_part;  // a part of the driver's (or the layer's) text
  const char* sql_state;
};

TEST(TDAConnection, OpenFailuresCarryTheDriversText) {
  TempDir dir;
  testing::WriteFile(dir / "junk.db", std::string(4096, 'x'));
  const OpenFailure cases[] = {
      {"no driver", "Database=x\r\n", "The connection parameters name no driver (DriverID)", ""},
      {"driver not built", "DriverID=FB\r\n", "Driver \"FB\" is not available", ""},
      {"SQLite without a file", "DriverID=SQLite\r\n",
       "The SQLite connection parameters name no database file (Database)", ""},
      {"SQLite on a file that is no database", "DriverID=SQLite\r\nDatabase={D}/junk.db\r\n",
       "file is not a database", ""},
      {"SQLite file missing in read-write mode",
       "DriverID=SQLite\r\nDatabase={D}/none.db\r\nOpenMode=ReadWrite\r\n",
       "unable to open database file", ""},
      {"ODBC driver not installed", "DriverID=ODBC\r\nODBCDriver=NoSuchDriver\r\n",
       "Can't open lib 'NoSuchDriver'", "01000"},
      {"ODBC data source unknown", "DriverID=ODBC\r\nDataSource=NoSuchDsn\r\n",
       "Data source name not found", "IM002"},
      {"Access driver not installed", "DriverID=MSAcc\r\nDatabase={D}/shop.mdb\r\n",
       "Can't open lib 'Microsoft Access Driver (*.mdb, *.accdb)'", "01000"},
      // Nothing listens on port 1: the drivers themselves answer.
      {"PostgreSQL unreachable",
       "DriverID=PG\r\nServer=127.0.0.1\r\nPort=1\r\nDatabase=x\r\nUser_Name=u\r\n",
       "Connection refused", "08001"},
      {"SQL Server unreachable (FreeTDS)",
       "DriverID=MSSQL\r\nServer=127.0.0.1\r\nPort=1\r\nDatabase=x\r\nUser_Name=u\r\n"
       "Password=p\r\nLoginTimeout=5\r\n",
       "[FreeTDS][SQL Server]Unable to connect", "08S01"},
  };
  for (const OpenFailure& c : cases) {
    SCOPED_TRACE(c.label);
    std::string config = c.config;
    if (size_t at = config.find("{D}"); at != std::string::npos)
      config.replace(at, 3, dir.path().string());
    TDAConnection conn;
    conn.Params() = ConnectionParams::Parse(config);
    try {
      conn.Open();
      ADD_FAILURE() << "opened";
    } catch (const DatabaseError& e) {
      EXPECT_NE(std::string(e.what()).find(c.message_part), std::string::npos) << e.what();
      EXPECT_EQ(e.sql_state(), c.sql_state);
    }
    EXPECT_FALSE(conn.Connected());
    EXPECT_THROW(conn.StartTransaction(), DatabaseError);
  }
}

TEST(TDAConnection, RelativeSqliteFileIsTakenFromTheBaseFolder) {
  TempDir dir;
  TDAConnection conn;
  conn.Params() = ConnectionParams::Parse("DriverID=SQLite\r\nDatabase=data/app.db\r\n");
  std::filesystem::create_directory(dir / "data");
  conn.SetBaseFolder(dir.path());
  conn.Open();
  EXPECT_TRUE(std::filesystem::exists(dir / "data" / "app.db"));
  EXPECT_EQ(conn.DriverName(), "SQLite");
  EXPECT_EQ(conn.Params().Value("Database"), "data/app.db");  // read back as written
}

class SqliteConnectionTest : public ::testing::Test {
 protected:
  void SetUp() override {
    conn_.Params() = ConnectionParams::Parse("DriverID=SQLite\r\nDatabase=c.db\r\n");
    conn_.SetBaseFolder(dir_.path());
    conn_.Open();
  }
  int64_t Run(const std::string& sql) {
    TDAQuery q;
    q.SetConnection(&conn_);
    q.SetSQLText(sql);
    return q.Execute();
  }
  TempDir dir_;
  TDAConnection conn_;
};

TEST_F(SqliteConnectionTest, QuotesEachPartOfAQualifiedName) {
  struct Case {
    const char* name;
    const char* quoted;
  };
  const Case cases[] = {
      {"Orders", "\"Orders\""},
      {"main.Orders", "\"main\".\"Orders\""},
      {"\"my.schema\".Orders", "\"my.schema\".\"Orders\""},
      {"[dbo].Or\"ders", "[dbo].\"Or\"\"ders\""},
      {"\"a\"\"b\".c", "\"a\"\"b\".\"c\""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(conn_.QuoteQualifiedName(c.name), c.quoted);
  }
  for (const char* bad : {"", "a.", ".a", "a..b", "\"open", "\"a\"b", "[a] b", "\"\""}) {
    SCOPED_TRACE(bad);
    EXPECT_EQ(conn_.QuoteQualifiedName(bad), std::nullopt);
  }
}

TEST_F(SqliteConnectionTest, CloseRollsBackAnUnfinishedTransaction) {
  Run("CREATE TABLE t (a INTEGER)");
  conn_.StartTransaction();
  Run("INSERT INTO t VALUES (1)");
  conn_.Close();
  EXPECT_FALSE(conn_.Connected());
  EXPECT_FALSE(conn_.InTransaction());
  conn_.Open();
  TDAQuery q;
  q.SetConnection(&conn_);
  q.SetSQLText("SELECT COUNT(*) FROM t");
  q.Open();
  ASSERT_TRUE(q.Result().Next());
  EXPECT_EQ(q.Result().GetInt64(0), 0);
}

TEST(TDAConnection, LastMessageHoldsTheServersNoticesOfTheLastStatement) {
  auto params = testing::PgParams();
  if (!params) GTEST_SKIP() << testing::kPgSkipMessage;
  TDAConnection conn;
  conn.Params() = *params;
  conn.Open();
  TDAQuery q;
  q.SetConnection(&conn);
  q.SetSQLText("DO $$ BEGIN RAISE NOTICE 'row 7 was changed meanwhile'; END $$");
  q.Execute();
  EXPECT_NE(conn.LastMessage().find("row 7 was changed meanwhile"), std::string::npos)
      << conn.LastMessage();
  q.SetSQLText("SELECT 1");
  q.Open();
  EXPECT_EQ(conn.LastMessage(), "");
}

}  // namespace
}  // namespace pools
