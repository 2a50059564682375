#include "pools/da_stored_proc.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include "common/datetime.h"
#include "db_test_support.h"
#include "pools/da_connection.h"
#include "pools/da_query.h"
#include "pools/database_error.h"

namespace pools {
namespace {

using common::DataType;
using common::Variant;
using testing::TempDir;

void ExpectError(const std::function<void()>& action, const std::string& message_part) {
  try {
    action();
    ADD_FAILURE() << "no error";
  } catch (const DatabaseError& e) {
    EXPECT_NE(std::string(e.what()).find(message_part), std::string::npos) << e.what();
  }
}

TEST(TDAStoredProc, SettingTheNameEmptiesTheParameterList) {
  TDAStoredProc sp;
  sp.SetStoredProcName("p");
  sp.Params().Add("a", DataType::dtInt32, pools::ParamType::ptInput, Variant::Integer(1));
  sp.Params().Add("b", DataType::dtInt32, pools::ParamType::ptOutput);
  sp.Close();
  EXPECT_EQ(sp.Params().size(), 2u);  // Close keeps them
  EXPECT_EQ(sp.StoredProcName(), "p");
  sp.SetStoredProcName("p");  // the same name again still starts a fresh call
  EXPECT_TRUE(sp.Params().empty());
}

TEST(TDAStoredProc, MisuseAndSqliteGiveClearErrors) {
  TempDir dir;
  TDAConnection conn;
  conn.Params() = ConnectionParams::Parse("DriverID=SQLite\r\nDatabase=p.db\r\n");
  conn.SetBaseFolder(dir.path());
  conn.Open();

  TDAStoredProc sp;
  sp.SetStoredProcName("p");
  ExpectError([&] { sp.ExecProc(); }, "No connection is assigned to the stored procedure");
  sp.SetConnection(&conn);
  sp.SetStoredProcName("");
  ExpectError([&] { sp.Open(); }, "No stored procedure name is set");
  sp.SetStoredProcName("p");
  ExpectError([&] { sp.Open(); }, "SQLite databases have no stored procedures");
  ExpectError([&] { sp.ExecProc(); }, "SQLite databases have no stored procedures");
  EXPECT_FALSE(sp.Active());
  ExpectError([&] { sp.Result(); }, "The stored procedure is not open");
}

// Functions and procedures of a real PostgreSQL server, called through its ODBC driver.
class PgStoredProc : public ::testing::Test {
 protected:
  void SetUp() override {
    auto params = testing::PgParams();
    if (!params) GTEST_SKIP() << testing::kPgSkipMessage;
    conn_.Params() = *params;
    conn_.Open();
    suffix_ = "_" + std::to_string(getpid());
    Run("CREATE OR REPLACE FUNCTION addone" + suffix_ +
        "(a integer, OUT b integer, INOUT c integer) AS $$ BEGIN b := a + 1; c := c * 2; END $$ "
        "LANGUAGE plpgsql");
    Run("CREATE OR REPLACE PROCEDURE pinout" + suffix_ +
        "(a integer, INOUT b integer) AS $$ BEGIN b := a + b; END $$ LANGUAGE plpgsql");
    Run("CREATE OR REPLACE FUNCTION upto" + suffix_ +
        "(n integer) RETURNS TABLE(i integer, s text) AS $$ SELECT g, 'r' || g FROM "
        "generate_series(1, n) g $$ LANGUAGE sql");
    Run("CREATE OR REPLACE FUNCTION twice" + suffix_ +
        "(a integer) RETURNS integer AS $$ SELECT a * 2 $$ LANGUAGE sql");
    Run("CREATE OR REPLACE FUNCTION greet" + suffix_ +
        "(who text, OUT msg text, OUT at date) AS $$ SELECT 'hello ' || coalesce(who, 'nobody'), "
        "DATE '2024-02-29' $$ LANGUAGE sql");
    Run("CREATE OR REPLACE FUNCTION clock" + suffix_ +
        "(t time, OUT seen text, OUT fixed time) AS $$ SELECT to_char(t, 'HH24:MI:SS.MS'), "
        "TIME '01:02:03.456' $$ LANGUAGE sql");
    sp_.SetConnection(&conn_);
  }
  void TearDown() override {
    if (!conn_.Connected()) return;
    for (const char* drop : {"FUNCTION addone", "PROCEDURE pinout", "FUNCTION upto",
                             "FUNCTION twice", "FUNCTION greet", "FUNCTION clock"}) {
      try {
        Run(std::string("DROP ") + drop + suffix_);
      } catch (const DatabaseError&) {
      }
    }
  }
  void Run(const std::string& sql) {
    TDAQuery q;
    q.SetConnection(&conn_);
    q.SetSQLText(sql);
    q.Execute();
  }
  DbParam& Add(const char* name, DataType type, pools::ParamType direction, Variant value = {}) {
    return sp_.Params().Add(name, type, direction, std::move(value));
  }

  TDAConnection conn_;
  TDAStoredProc sp_;
  std::string suffix_;
};

TEST_F(PgStoredProc, InputOutputAndInOutParameters) {
  sp_.SetStoredProcName("addone" + suffix_);
  Add("a", DataType::dtInt32, pools::ParamType::ptInput, Variant::Integer(5));
  Add("b", DataType::dtInt32, pools::ParamType::ptOutput);
  Add("c", DataType::dtInt32, pools::ParamType::ptInputOutput, Variant::Integer(7));
  sp_.ExecProc();
  EXPECT_FALSE(sp_.Active());
  EXPECT_EQ(sp_.Params().ParamByName("a").value, Variant::Integer(5));
  EXPECT_EQ(sp_.Params().ParamByName("b").value, Variant::Integer(6));
  EXPECT_EQ(sp_.Params().ParamByName("c").value, Variant::Integer(14));

  // Opened instead: the same outputs, and the function's row as the result set.
  sp_.Params().ParamByName("b").value = Variant();
  sp_.Open();
  EXPECT_EQ(sp_.Params().ParamByName("b").value, Variant::Integer(6));
  ASSERT_TRUE(sp_.Result().Next());
  EXPECT_EQ(sp_.Result().GetInt64(0), 6);
}

TEST_F(PgStoredProc, ProceduresAreCalledAsProcedures) {
  sp_.SetStoredProcName("pinout" + suffix_);
  Add("a", DataType::dtInt32, pools::ParamType::ptInput, Variant::Integer(3));
  Add("b", DataType::dtInt32, pools::ParamType::ptInputOutput, Variant::Integer(4));
  sp_.ExecProc();
  EXPECT_EQ(sp_.Params()[1].value, Variant::Integer(7));
}

TEST_F(PgStoredProc, OpenFetchesTheWholeResultSet) {
  sp_.SetStoredProcName("upto" + suffix_);
  Add("n", DataType::dtUnknown, pools::ParamType::ptUnknown, Variant::Integer(3));
  sp_.Open();
  Cursor& c = sp_.Result();
  ASSERT_EQ(c.ColumnCount(), 2);
  EXPECT_EQ(c.Columns()[0].name, "i");
  EXPECT_EQ(c.Columns()[0].data_type, DataType::dtInt32);
  for (int i = 1; i <= 3; ++i) {
    SCOPED_TRACE(i);
    ASSERT_TRUE(c.Next());
    EXPECT_EQ(c.GetInt64(0), i);
    EXPECT_EQ(c.GetText(1), "r" + std::to_string(i));
  }
  EXPECT_FALSE(c.Next());
  sp_.Close();
  EXPECT_FALSE(sp_.Active());
  EXPECT_EQ(sp_.Params().size(), 1u);
}

TEST_F(PgStoredProc, ReturnValueAndTypedOutputs) {
  sp_.SetStoredProcName("twice" + suffix_);
  Add("a", DataType::dtInt32, pools::ParamType::ptInput, Variant::Integer(21));
  Add("Result", DataType::dtInt32, pools::ParamType::ptResult);
  sp_.ExecProc();
  EXPECT_EQ(sp_.Params().ParamByName("Result").value, Variant::Integer(42));

  sp_.SetStoredProcName("greet" + suffix_);
  Add("who", DataType::dtWideString, pools::ParamType::ptInput, Variant::String(u"世界"));
  Add("msg", DataType::dtWideString, pools::ParamType::ptOutput);
  Add("at", DataType::dtDate, pools::ParamType::ptOutput);
  sp_.ExecProc();
  EXPECT_EQ(sp_.Params().ParamByName("msg").value, Variant::String(u"hello 世界"));
  EXPECT_EQ(sp_.Params().ParamByName("at").value,
            Variant::Date(common::EncodeDateTime(2024, 2, 29)));

  sp_.Params().ParamByName("who").value = Variant::Null();
  sp_.ExecProc();
  EXPECT_EQ(sp_.Params().ParamByName("msg").value, Variant::String(u"hello nobody"));
}

TEST_F(PgStoredProc, TimesOfDayKeepTheirMillisecondsBothWays) {
  const auto time_of_day = [](int h, int m, int s, int ms) {
    return Variant::Date(common::EncodeDateTime(1899, 12, 30, h, m, s, ms));
  };
  sp_.SetStoredProcName("clock" + suffix_);
  Add("t", DataType::dtTime, pools::ParamType::ptInput, time_of_day(23, 59, 59, 999));
  Add("seen", DataType::dtWideString, pools::ParamType::ptOutput);
  Add("fixed", DataType::dtTime, pools::ParamType::ptOutput);
  sp_.ExecProc();
  EXPECT_EQ(sp_.Params().ParamByName("seen").value, Variant::String(u"23:59:59.999"));
  EXPECT_EQ(sp_.Params().ParamByName("fixed").value, time_of_day(1, 2, 3, 456));

  sp_.Params().ParamByName("t").value = Variant::Null();
  sp_.ExecProc();
  EXPECT_TRUE(sp_.Params().ParamByName("seen").value.IsNull());
}

TEST_F(PgStoredProc, FailuresCarryTheServersMessage) {
  sp_.SetStoredProcName("nosuch" + suffix_);
  Add("a", DataType::dtInt32, pools::ParamType::ptInput, Variant::Integer(1));
  ExpectError([&] { sp_.ExecProc(); }, "nosuch" + suffix_ + "(integer) does not exist");
  EXPECT_FALSE(sp_.Active());

  // The connection serves the next call (a procedure, opened for its result row).
  sp_.SetStoredProcName("pinout" + suffix_);
  Add("a", DataType::dtInt32, pools::ParamType::ptInput, Variant::Integer(1));
  Add("b", DataType::dtInt32, pools::ParamType::ptInputOutput, Variant::Integer(1));
  sp_.Open();
  ASSERT_TRUE(sp_.Result().Next());
  EXPECT_EQ(sp_.Result().GetInt64(0), 2);
}

}  // namespace
}  // namespace pools
