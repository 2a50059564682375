// One suite for the database access interface, run against every driver that can be reached:
// SQLite (native), SQLite through its ODBC driver, PostgreSQL through ODBC (DATASERVER_PG_CONN)
// and SQL Server through ODBC (DATASERVER_MSSQL_CONN).
#include <gtest/gtest.h>
#include <unistd.h>

#include <functional>
#include <optional>

#include "common/datetime.h"
#include "common/text.h"
#include "db_test_support.h"
#include "pools/da_connection.h"
#include "pools/da_query.h"
#include "pools/database_error.h"
#include "pools/internal/value_text.h"

namespace common {
void PrintTo(DataType type, std::ostream* os) { *os << DataTypeName(type); }
}  // namespace common

namespace pools {
namespace {

using common::DataType;
using common::Variant;
using testing::TempDir;

struct ExpectedColumn {
  const char* name;
  DataType type;
  int32_t size = 0;
  int32_t precision = 0;
  int32_t scale = 0;
  bool nullable = true;
  bool in_key = false;
  bool auto_increment = false;
};

struct DriverTarget {
  const char* name;
  // The parameter list, or nullopt when the database is not reachable here.
  std::function<std::optional<ConnectionParams>(const TempDir&)> params;
  const char* skip_message;
  // Table "{T}" with the columns every test uses.
  const char* items_ddl;
  std::vector<ExpectedColumn> item_columns;  // empty: not checked for this driver
  const char* syntax_error_text;             // part of the driver's message for "SELEC 1"
  const char* syntax_error_state;            // its SQLSTATE, "" where the driver has none
  bool multi_statement = true;               // runs several statements in one command text
  const char* multi_statement_error = "";    // the driver's refusal otherwise
};

std::optional<ConnectionParams> SqliteNative(const TempDir& dir) {
  ConnectionParams p;
  p.Set("DriverID", "SQLite");
  p.Set("Database", (dir / "conformance.db").string());
  return p;
}

std::optional<ConnectionParams> SqliteOdbc(const TempDir& dir) {
  ConnectionParams p;
  p.Set("DriverID", "ODBC");
  p.Set("ODBCDriver", "SQLite3");
  p.Set("Database", (dir / "conformance-odbc.db").string());
  return p;
}

constexpr char kSqliteItems[] =
    "CREATE TABLE {T} (id INTEGER PRIMARY KEY, name VARCHAR(20) NOT NULL, price DECIMAL(10,2), "
    "qty INT, ratio DOUBLE, made DATE, stamp DATETIME, flag BOOLEAN, data BLOB, note TEXT)";

const DriverTarget kTargets[] = {
    {"SqliteNative",
     SqliteNative,
     "",
     kSqliteItems,
     {{"id", DataType::dtInt64, 0, 0, 0, false, true, true},
      {"name", DataType::dtWideString, 20, 0, 0, false},
      {"price", DataType::dtFmtBCD, 0, 10, 2},
      {"qty", DataType::dtInt64},
      {"ratio", DataType::dtDouble},
      {"made", DataType::dtDate},
      {"stamp", DataType::dtDateTime},
      {"flag", DataType::dtBoolean},
      {"data", DataType::dtBlob},
      {"note", DataType::dtWideMemo}},
     "near \"SELEC\": syntax error",
     ""},
    // What the SQLite ODBC driver reports: decimals as text, blobs as 255-byte binaries, no
    // nullability, no auto-increment without the AUTOINCREMENT keyword.
    {"SqliteOdbc",
     SqliteOdbc,
     "",
     kSqliteItems,
     {{"id", DataType::dtInt32, 0, 0, 0, true, true, false},
      {"name", DataType::dtAnsiString, 20},
      {"price", DataType::dtAnsiString, 10},
      {"qty", DataType::dtInt32},
      {"ratio", DataType::dtDouble},
      {"made", DataType::dtDate},
      {"stamp", DataType::dtDateTime},
      {"flag", DataType::dtBoolean},
      {"data", DataType::dtByteString, 255},
      {"note", DataType::dtMemo}},
     "near \"SELEC\": syntax error",
     "HY000",
     false,
     "only one SQL statement allowed"},
    {"PostgreSql",
     [](const TempDir&) { return testing::PgParams(); },
     testing::kPgSkipMessage,
     "CREATE TABLE {T} (id SERIAL PRIMARY KEY, name VARCHAR(20) NOT NULL, price NUMERIC(10,2), "
     "qty INTEGER, ratio DOUBLE PRECISION, made DATE, stamp TIMESTAMP(3), flag BOOLEAN, "
     "data BYTEA, note TEXT)",
     {{"id", DataType::dtInt32, 0, 0, 0, false, true, true},
      {"name", DataType::dtWideString, 20, 0, 0, false},
      {"price", DataType::dtFmtBCD, 0, 10, 2},
      {"qty", DataType::dtInt32},
      {"ratio", DataType::dtDouble},
      {"made", DataType::dtDate},
      {"stamp", DataType::dtDateTime},
      {"flag", DataType::dtBoolean},
      {"data", DataType::dtBlob},
      {"note", DataType::dtWideMemo}},
     "syntax error at or near \"SELEC\"",
     "42601"},
    {"SqlServer",
     [](const TempDir&) { return testing::MssqlParams(); },
     "DATASERVER_MSSQL_CONN is not set (an ODBC connection string of a reachable SQL Server); "
     "the SQL Server conformance tests are skipped",
     "CREATE TABLE {T} (id INT IDENTITY PRIMARY KEY, name NVARCHAR(20) NOT NULL, "
     "price DECIMAL(10,2), qty INT, ratio FLOAT, made DATE, stamp DATETIME2(3), flag BIT, "
     "data VARBINARY(MAX), note NVARCHAR(MAX))",
     {},
     "Incorrect syntax",
     "42000"},
};

void PrintTo(const DriverTarget& target, std::ostream* os) { *os << target.name; }

class DriverConformance : public ::testing::TestWithParam<DriverTarget> {
 protected:
  void SetUp() override {
    auto params = GetParam().params(dir_);
    if (!params) GTEST_SKIP() << GetParam().skip_message;
    params_ = *params;
    // Every test process has tables of its own: the server databases are shared by the
    // test processes that run at the same time.
    table_ = "items_" + std::to_string(getpid());
    conn_ = Connect();
    Run("DROP TABLE IF EXISTS " + table_);
    Run(Sql(GetParam().items_ddl));
  }

  void TearDown() override {
    if (conn_ && conn_->Connected()) {
      try {
        if (conn_->InTransaction()) conn_->Rollback();
        Run("DROP TABLE IF EXISTS " + table_);
      } catch (const DatabaseError&) {
      }
    }
  }

  std::unique_ptr<TDAConnection> Connect() {
    auto c = std::make_unique<TDAConnection>();
    c->Params() = params_;
    c->SetBaseFolder(dir_.path());
    c->Open();
    return c;
  }

  std::string Sql(std::string text) const {
    for (size_t at; (at = text.find("{T}")) != std::string::npos;) text.replace(at, 3, table_);
    return text;
  }

  int64_t Run(const std::string& sql, TDAConnection* on = nullptr) {
    TDAQuery q;
    q.SetConnection(on ? on : conn_.get());
    q.SetSQLText(sql);
    return q.Execute();
  }

  int64_t CountNamed(const std::string& name, TDAConnection* on) {
    TDAQuery q;
    q.SetConnection(on);
    q.SetSQLText(Sql("SELECT COUNT(*) FROM {T} WHERE name = '" + name + "'"));
    q.Open();
    EXPECT_TRUE(q.Result().Next());
    return q.Result().GetInt64(0);
  }

  TempDir dir_;
  ConnectionParams params_;
  std::string table_;
  std::unique_ptr<TDAConnection> conn_;
};

TEST_P(DriverConformance, ReadsBackDriverNameAndParameters) {
  EXPECT_EQ(conn_->DriverName(), params_.Value("DriverID"));
  EXPECT_EQ(conn_->Params().Value("Database"), params_.Value("Database"));
  EXPECT_TRUE(conn_->Connected());
  EXPECT_FALSE(conn_->InTransaction());
}

TEST_P(DriverConformance, DescribesResultColumns) {
  const auto& expected = GetParam().item_columns;
  TDAQuery q;
  q.SetConnection(conn_.get());
  q.SetSQLText(Sql("SELECT id, name, price, qty, ratio, made, stamp, flag, data, note FROM {T}"));
  q.Open();
  const auto& columns = q.Result().Columns();
  ASSERT_EQ(columns.size(), 10u);
  EXPECT_FALSE(q.Result().Next());
  for (size_t i = 0; i < columns.size(); ++i) {
    const ColumnDef& c = columns[i];
    SCOPED_TRACE(c.name + " " + std::string(common::DataTypeName(c.data_type)));
    EXPECT_EQ(common::ToUpperAscii(c.origin_table), common::ToUpperAscii(table_));
    EXPECT_EQ(c.origin_column, c.name);
    EXPECT_FALSE(c.read_only);
    if (expected.empty()) continue;
    const ExpectedColumn& e = expected[i];
    EXPECT_EQ(c.name, e.name);
    EXPECT_EQ(c.data_type, e.type);
    EXPECT_EQ(c.size, e.size);
    EXPECT_EQ(c.precision, e.precision);
    EXPECT_EQ(c.scale, e.scale);
    EXPECT_EQ(c.nullable, e.nullable);
    EXPECT_EQ(c.in_key, e.in_key);
    EXPECT_EQ(c.auto_increment, e.auto_increment);
  }
  EXPECT_TRUE(columns[0].in_key);

  // An expression has no origin and cannot be written back.
  q.SetSQLText(Sql("SELECT qty + 1 AS next FROM {T}"));
  q.Open();
  EXPECT_EQ(q.Result().Columns()[0].name, "next");
  EXPECT_TRUE(q.Result().Columns()[0].origin_table.empty());
  EXPECT_TRUE(q.Result().Columns()[0].read_only);
}

TEST_P(DriverConformance, TypedParametersRoundTripEveryColumnType) {
  const std::u16string name = u"名前 ☃ \U0001D11E";
  const std::u16string note = std::u16string(2000, u'长') + u"\U0001F600 end";
  common::Bytes data(300);
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(i * 7);
  const double stamp = common::EncodeDateTime(2024, 2, 29, 13, 14, 15, 678);

  TDAQuery insert;
  insert.SetConnection(conn_.get());
  insert.SetSQLText(
      Sql("INSERT INTO {T} (name, price, qty, ratio, made, stamp, flag, data, note)\n"
          "VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?)"));
  DbParams& p = insert.Params();
  p.Add("name", DataType::dtWideString, pools::ParamType::ptInput, Variant::String(name));
  p.Add("price", DataType::dtFmtBCD, pools::ParamType::ptInput,
        Variant::Custom(common::kVarFmtBcd, u"12.50"));
  p.Add("qty", DataType::dtInt32, pools::ParamType::ptInput, Variant::Integer(42));
  p.Add("ratio", DataType::dtDouble, pools::ParamType::ptInput, Variant::Double(0.1));
  p.Add("made", DataType::dtDate, pools::ParamType::ptInput,
        Variant::Date(common::EncodeDateTime(2024, 2, 29)));
  p.Add("stamp", DataType::dtDateTime, pools::ParamType::ptInput, Variant::Date(stamp));
  p.Add("flag", DataType::dtBoolean, pools::ParamType::ptInput, Variant::Boolean(true));
  p.Add("data", DataType::dtBlob, pools::ParamType::ptInput, Variant::ByteArray(data));
  p.Add("note", DataType::dtWideMemo, pools::ParamType::ptInput, Variant::String(note));
  EXPECT_EQ(insert.Execute(), 1);
  // A row of nulls, with data types taken from the values where they are not given.
  for (size_t i = 0; i < p.size(); ++i) p[i].value = Variant::Null();
  p[0].value = Variant::String(u"n2");
  p[2].data_type = DataType::dtUnknown;
  EXPECT_EQ(insert.Execute(), 1);

  TDAQuery q;
  q.SetConnection(conn_.get());
  q.SetSQLText(
      Sql("SELECT name, price, qty, ratio, made, stamp, flag, data, note FROM {T} ORDER BY id"));
  q.Open();
  Cursor& c = q.Result();
  ASSERT_TRUE(c.Next());
  EXPECT_EQ(c.GetWideText(0), name);
  EXPECT_EQ(internal::ParseScaledDecimal(c.GetText(1), 2), 1250) << c.GetText(1);
  EXPECT_EQ(c.GetInt64(2), 42);
  EXPECT_DOUBLE_EQ(c.GetDouble(3), 0.1);
  EXPECT_EQ(c.GetTimeStamp(4), (TimeStamp{2024, 2, 29}));
  EXPECT_EQ(c.GetTimeStamp(5), (TimeStamp{2024, 2, 29, 13, 14, 15, 678000000}));
  EXPECT_TRUE(c.GetBool(6));
  common::ByteSpan bytes = c.GetBytes(7);
  EXPECT_EQ(common::Bytes(bytes.begin(), bytes.end()), data);
  EXPECT_EQ(c.GetWideText(8), note);
  for (int i = 0; i < c.ColumnCount(); ++i) {
    SCOPED_TRACE(i);
    EXPECT_FALSE(c.IsNull(i));
    EXPECT_NO_THROW(c.GetVariant(i));
  }
  EXPECT_EQ(c.GetVariant(5), Variant::Date(stamp));

  ASSERT_TRUE(c.Next());
  EXPECT_EQ(c.GetText(0), "n2");
  for (int i = 1; i < c.ColumnCount(); ++i) {
    SCOPED_TRACE(i);
    EXPECT_TRUE(c.IsNull(i));
    EXPECT_EQ(c.GetVariant(i), Variant::Null());
  }
  EXPECT_FALSE(c.Next());
  EXPECT_FALSE(c.Next());
}

TEST_P(DriverConformance, ExecuteReportsTheRowsChanged) {
  for (const char* name : {"a", "b", "c"}) {
    EXPECT_EQ(Run(Sql("INSERT INTO {T} (name, qty) VALUES ('" + std::string(name) + "', 1)")), 1);
  }
  EXPECT_EQ(Run(Sql("UPDATE {T} SET qty = 2 WHERE name <> 'a'")), 2);
  EXPECT_EQ(Run(Sql("DELETE FROM {T} WHERE name = 'none'")), 0);
  EXPECT_EQ(Run(Sql("DELETE FROM {T}")), 3);
}

TEST_P(DriverConformance, SendsTheLinesAsOneCommandText) {
  Run(Sql("INSERT INTO {T} (name, qty) VALUES ('a', 1)"));
  TDAQuery q;
  q.SetConnection(conn_.get());
  q.SQL() = {Sql("UPDATE {T}"), "SET qty = 7", "WHERE name = 'a'"};
  EXPECT_EQ(q.CommandText(), Sql("UPDATE {T}\r\nSET qty = 7\r\nWHERE name = 'a'"));
  EXPECT_EQ(q.Execute(), 1);

  // Several statements in one text: every one runs.
  q.SQL() = {Sql("INSERT INTO {T} (name, qty) VALUES ('b', 1);"),
             Sql("UPDATE {T} SET qty = qty + 10 WHERE name = 'b'")};
  if (!GetParam().multi_statement) {
    try {
      q.Execute();
      ADD_FAILURE() << "the driver ran several statements";
    } catch (const DatabaseError& e) {
      EXPECT_NE(std::string(e.what()).find(GetParam().multi_statement_error), std::string::npos)
          << e.what();
    }
    return;
  }
  EXPECT_EQ(q.Execute(), 2);

  // Statements before a result set run first; those after it once the rows have been read.
  q.SQL() = {Sql("UPDATE {T} SET qty = 100 WHERE name = 'a';"),
             Sql("SELECT qty FROM {T} WHERE name = 'a';"),
             Sql("UPDATE {T} SET qty = 200 WHERE name = 'a'")};
  q.Open();
  ASSERT_TRUE(q.Result().Next());
  EXPECT_EQ(q.Result().GetInt64(0), 100);
  EXPECT_FALSE(q.Result().Next());
  q.SetSQLText(Sql("SELECT qty FROM {T} ORDER BY name"));
  q.Open();
  ASSERT_TRUE(q.Result().Next());
  EXPECT_EQ(q.Result().GetInt64(0), 200);
  ASSERT_TRUE(q.Result().Next());
  EXPECT_EQ(q.Result().GetInt64(0), 11);
}

TEST_P(DriverConformance, TransactionsCommitRollBackAndOtherwiseCommitEachStatement) {
  std::unique_ptr<TDAConnection> other = Connect();

  conn_->StartTransaction();
  EXPECT_TRUE(conn_->InTransaction());
  Run(Sql("INSERT INTO {T} (name) VALUES ('rolled')"));
  EXPECT_EQ(CountNamed("rolled", conn_.get()), 1);
  EXPECT_EQ(CountNamed("rolled", other.get()), 0);
  conn_->Rollback();
  EXPECT_FALSE(conn_->InTransaction());
  EXPECT_EQ(CountNamed("rolled", conn_.get()), 0);

  conn_->StartTransaction();
  Run(Sql("INSERT INTO {T} (name) VALUES ('kept')"));
  conn_->Commit();
  EXPECT_FALSE(conn_->InTransaction());
  EXPECT_EQ(CountNamed("kept", other.get()), 1);

  Run(Sql("INSERT INTO {T} (name) VALUES ('auto')"));
  EXPECT_EQ(CountNamed("auto", other.get()), 1);

  EXPECT_THROW(conn_->Commit(), DatabaseError);
}

TEST_P(DriverConformance, ErrorsCarryTheDriversOwnText) {
  TDAQuery q;
  q.SetConnection(conn_.get());
  q.SetSQLText("SELEC 1");
  try {
    q.Open();
    ADD_FAILURE() << "opened";
  } catch (const DatabaseError& e) {
    EXPECT_NE(std::string(e.what()).find(GetParam().syntax_error_text), std::string::npos)
        << e.what();
    EXPECT_EQ(e.sql_state(), GetParam().syntax_error_state);
    EXPECT_EQ(e.class_name(), "EDADBEngineException");
    EXPECT_FALSE(e.poisons_connection());
  }
  EXPECT_FALSE(q.Active());

  // A constraint the database enforces; the connection stays usable.
  q.SetSQLText(Sql("INSERT INTO {T} (name) VALUES (NULL)"));
  EXPECT_THROW(q.Execute(), DatabaseError);
  EXPECT_FALSE(conn_->IsLost());
  q.SetSQLText(Sql("SELECT COUNT(*) FROM {T}"));
  q.Open();
  ASSERT_TRUE(q.Result().Next());
  EXPECT_EQ(q.Result().GetInt64(0), 0);
}

TEST_P(DriverConformance, QueryObjectMisuseGivesClearErrors) {
  struct Case {
    const char* label;
    bool bound;
    const char* sql;
    bool open;
    const char* message;
  };
  const Case cases[] = {
      {"unbound", false, "SELECT 1", true, "No connection is assigned to the query"},
      {"empty text", true, " \r\n", false, "The query has no SQL text"},
      {"no result set", true, "DELETE FROM {T}", true, "The command text returned no result set"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    TDAQuery q;
    if (c.bound) q.SetConnection(conn_.get());
    q.SetSQLText(Sql(c.sql));
    try {
      if (c.open) {
        q.Open();
      } else {
        q.Execute();
      }
      ADD_FAILURE() << "ran";
    } catch (const DatabaseError& e) {
      EXPECT_STREQ(e.what(), c.message);
    }
    EXPECT_THROW(q.Result(), DatabaseError);
  }
}

TEST_P(DriverConformance, CloseDiscardsTheResultAndKeepsTheText) {
  Run(Sql("INSERT INTO {T} (name) VALUES ('a')"));
  TDAQuery q;
  q.SetConnection(conn_.get());
  q.SetSQLText(Sql("SELECT name FROM {T}"));
  q.Open();
  EXPECT_TRUE(q.Active());
  q.Close();
  EXPECT_FALSE(q.Active());
  EXPECT_THROW(q.Result(), DatabaseError);
  EXPECT_EQ(q.SQL(), std::vector<std::string>{Sql("SELECT name FROM {T}")});
  EXPECT_EQ(q.Connection(), conn_.get());
  q.Open();
  ASSERT_TRUE(q.Result().Next());
  EXPECT_EQ(q.Result().GetText(0), "a");
}

TEST_P(DriverConformance, QuotedIdentifiersReachOddNames) {
  const std::string table = conn_->QuoteIdentifier("odd \"t\" " + table_);
  const std::string column = conn_->QuoteIdentifier("a b]");
  Run("DROP TABLE IF EXISTS " + table);
  Run("CREATE TABLE " + table + " (" + column + " INTEGER)");
  Run("INSERT INTO " + table + " (" + column + ") VALUES (5)");
  TDAQuery q;
  q.SetConnection(conn_.get());
  q.SetSQLText("SELECT " + column + " FROM " + table);
  q.Open();
  EXPECT_EQ(q.Result().Columns()[0].name, "a b]");
  ASSERT_TRUE(q.Result().Next());
  EXPECT_EQ(q.Result().GetInt64(0), 5);
  q.Close();
  Run("DROP TABLE " + table);
}

TEST_P(DriverConformance, CursorOutlivesItsConnectionObject) {
  Run(Sql("INSERT INTO {T} (name) VALUES ('a')"));
  Run(Sql("INSERT INTO {T} (name) VALUES ('b')"));
  std::unique_ptr<TDAConnection> own = Connect();
  TDAQuery q;
  q.SetConnection(own.get());
  q.SetSQLText(Sql("SELECT name FROM {T} ORDER BY name"));
  q.Open();
  own.reset();  // the pool may free an idle connection that a query still refers to
  ASSERT_TRUE(q.Result().Next());
  EXPECT_EQ(q.Result().GetText(0), "a");
  ASSERT_TRUE(q.Result().Next());
  EXPECT_EQ(q.Result().GetText(0), "b");
  q.Close();
}

INSTANTIATE_TEST_SUITE_P(Drivers, DriverConformance, ::testing::ValuesIn(kTargets),
                         [](const ::testing::TestParamInfo<DriverTarget>& info) {
                           return std::string(info.param.name);
                         });

}  // namespace
}  // namespace pools
