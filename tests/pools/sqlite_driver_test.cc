// What the native SQLite driver adds to the common behaviour: SQLite's dynamic typing, its
// statement-at-a-time preparation, and its file modes.
#include <gtest/gtest.h>

#include <chrono>

#include "common/text.h"
#include "db_test_support.h"
#include "pools/da_connection.h"
#include "pools/da_query.h"
#include "pools/database_error.h"
#include "pools/internal/driver.h"

namespace pools {
namespace {

using common::DataType;
using common::Variant;
using testing::TempDir;

class SqliteDriver : public ::testing::Test {
 protected:
  void SetUp() override { Connect(conn_); }
  void Connect(TDAConnection& conn, const std::string& extra = "") {
    conn.Params() = ConnectionParams::Parse("DriverID=SQLite\r\nDatabase=s.db\r\n" + extra);
    conn.SetBaseFolder(dir_.path());
    conn.Open();
  }
  int64_t Run(const std::string& sql, TDAConnection* on = nullptr) {
    TDAQuery q;
    q.SetConnection(on ? on : &conn_);
    q.SetSQLText(sql);
    return q.Execute();
  }
  std::unique_ptr<TDAQuery> Select(const std::string& sql) {
    auto q = std::make_unique<TDAQuery>();
    q->SetConnection(&conn_);
    q->SetSQLText(sql);
    q->Open();
    return q;
  }
  TempDir dir_;
  TDAConnection conn_;
};

TEST_F(SqliteDriver, TypesExpressionsByTheirFirstValue) {
  auto q = Select("SELECT 1 AS i, 2.5 AS f, 'x' AS t, x'00ff' AS b, NULL AS n");
  const DataType expected[] = {DataType::dtInt64, DataType::dtDouble, DataType::dtWideMemo,
                               DataType::dtBlob, DataType::dtWideMemo};
  const auto& columns = q->Result().Columns();
  ASSERT_EQ(columns.size(), 5u);
  for (size_t i = 0; i < columns.size(); ++i) {
    SCOPED_TRACE(columns[i].name);
    EXPECT_EQ(columns[i].data_type, expected[i]);
    EXPECT_TRUE(columns[i].read_only);
  }
  ASSERT_TRUE(q->Result().Next());
  EXPECT_EQ(q->Result().GetVariant(3), Variant::ByteArray({0x00, 0xFF}));
}

TEST_F(SqliteDriver, ReadsEveryStoredFormOfDatesAndGuids) {
  Run("CREATE TABLE t (d DATETIME, g GUID)");
  Run("INSERT INTO t VALUES ('2024-02-29 10:11:12.5', '00112233-4455-6677-8899-aabbccddeeff')");
  Run("INSERT INTO t VALUES (2460369.5, x'33221100554477668899AABBCCDDEEFF')");  // Julian day
  Run("INSERT INTO t VALUES (1709164800, NULL)");                                // Unix time
  auto q = Select("SELECT d, g FROM t ORDER BY rowid");
  Cursor& c = q->Result();
  ASSERT_TRUE(c.Next());
  EXPECT_EQ(c.GetTimeStamp(0), (TimeStamp{2024, 2, 29, 10, 11, 12, 500000000}));
  EXPECT_EQ(c.GetText(1), "{00112233-4455-6677-8899-AABBCCDDEEFF}");
  ASSERT_TRUE(c.Next());
  EXPECT_EQ(c.GetTimeStamp(0), (TimeStamp{2024, 2, 29}));
  EXPECT_EQ(c.GetWideText(1), u"{00112233-4455-6677-8899-AABBCCDDEEFF}");
  ASSERT_TRUE(c.Next());
  EXPECT_EQ(c.GetTimeStamp(0), (TimeStamp{2024, 2, 29}));
  EXPECT_TRUE(c.IsNull(1));
}

TEST_F(SqliteDriver, ValuesThatDoNotFitTheirColumnRaiseConversionErrors) {
  // SQLite stores what it is given, whatever the declared type.
  Run("CREATE TABLE t (qty INTEGER, made DATE, g GUID, flag BOOLEAN)");
  Run("INSERT INTO t VALUES ('abc', 'someday', 'not-a-guid', 'perhaps')");
  auto q = Select("SELECT qty, made, g, flag FROM t");
  Cursor& c = q->Result();
  ASSERT_TRUE(c.Next());
  struct Case {
    const char* label;
    std::function<void()> read;
    const char* message;
  };
  const Case cases[] = {
      {"integer", [&] { c.GetInt64(0); },
       "Cannot convert value \"abc\" of column \"qty\" to an integer"},
      {"date", [&] { c.GetTimeStamp(1); },
       "Cannot convert value \"someday\" of column \"made\" to a date or time"},
      {"guid", [&] { c.GetText(2); },
       "Cannot convert value \"not-a-guid\" of column \"g\" to a GUID"},
      {"boolean", [&] { c.GetBool(3); },
       "Cannot convert value \"perhaps\" of column \"flag\" to a boolean"},
      {"variant", [&] { c.GetVariant(0); },
       "Cannot convert value \"abc\" of column \"qty\" to an integer"},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(k.label);
    try {
      k.read();
      ADD_FAILURE() << "converted";
    } catch (const DatabaseError& e) {
      EXPECT_STREQ(e.what(), k.message);
    }
  }
  EXPECT_THROW(c.GetInt64(4), DatabaseError);  // no such column
}

TEST_F(SqliteDriver, ParametersContinueAcrossTheStatementsOfOneText) {
  Run("CREATE TABLE t (a INTEGER, b TEXT)");
  TDAQuery q;
  q.SetConnection(&conn_);
  q.SetSQLText("INSERT INTO t VALUES (?, ?);\nINSERT INTO t VALUES (?, 'fixed')");
  q.Params().Add("a1", DataType::dtInt32, ParamType::ptInput, Variant::Integer(1));
  q.Params().Add("b1", DataType::dtWideString, ParamType::ptInput, Variant::String(u"one"));
  q.Params().Add("a2", DataType::dtInt32, ParamType::ptInput, Variant::Integer(2));
  EXPECT_EQ(q.Execute(), 2);
  auto s = Select("SELECT a, b FROM t ORDER BY a");
  ASSERT_TRUE(s->Result().Next());
  EXPECT_EQ(s->Result().GetText(1), "one");
  ASSERT_TRUE(s->Result().Next());
  EXPECT_EQ(s->Result().GetInt64(0), 2);
  EXPECT_EQ(s->Result().GetText(1), "fixed");
}

TEST_F(SqliteDriver, RealsInATextColumnKeepEveryDigit) {
  // The first row is NULL, so the expression column is text; the reals after it must read back
  // as the same doubles.
  auto q = Select(
      "SELECT NULL AS x UNION ALL SELECT 0.1 + 0.2 UNION ALL SELECT 2.0 UNION ALL SELECT 2.5 "
      "UNION ALL SELECT 1e300 * 10 UNION ALL SELECT 123456789.12345678");
  ASSERT_EQ(q->Result().Columns()[0].data_type, DataType::dtWideMemo);
  ASSERT_TRUE(q->Result().Next());
  const char* expected[] = {"0.30000000000000004", "2.0", "2.5", "1.0e+301", "123456789.12345678"};
  for (const char* text : expected) {
    ASSERT_TRUE(q->Result().Next());
    EXPECT_EQ(q->Result().GetText(0), text);
    EXPECT_EQ(common::Utf16ToUtf8(q->Result().GetWideText(0)), text);
  }
}

TEST_F(SqliteDriver, EmptyValuesAreStoredAsEmptyNotNull) {
  Run("CREATE TABLE t (b BLOB, t TEXT)");
  TDAQuery q;
  q.SetConnection(&conn_);
  q.SetSQLText("INSERT INTO t VALUES (?, ?)");
  q.Params().Add("b", DataType::dtBlob, ParamType::ptInput, Variant::ByteArray({}));
  q.Params().Add("t", DataType::dtWideString, ParamType::ptInput, Variant::String(u""));
  EXPECT_EQ(q.Execute(), 1);
  auto s = Select("SELECT typeof(b) || ',' || length(b) || ',' || typeof(t) AS what FROM t");
  ASSERT_TRUE(s->Result().Next());
  EXPECT_EQ(s->Result().GetText(0), "blob,0,text");
}

TEST_F(SqliteDriver, AStatementAfterTheResultSetFailsWhenTheRowsAreRead) {
  auto q = Select("SELECT 1; SELEC 2");
  ASSERT_TRUE(q->Result().Next());
  try {
    q->Result().Next();
    ADD_FAILURE() << "the statement after the result set was not run";
  } catch (const DatabaseError& e) {
    EXPECT_STREQ(e.what(), "near \"SELEC\": syntax error");
  }
}

TEST_F(SqliteDriver, RowsChangedByTriggersAreNotCounted) {
  Run("CREATE TABLE t (a INTEGER); CREATE TABLE log (a INTEGER)");
  Run("CREATE TRIGGER tr AFTER INSERT ON t BEGIN INSERT INTO log VALUES (new.a); "
      "INSERT INTO log VALUES (new.a); END");
  EXPECT_EQ(Run("INSERT INTO t VALUES (1)"), 1);
  EXPECT_EQ(Run("CREATE TABLE u (a INTEGER)"), 0);  // not the last insert's count again
}

TEST_F(SqliteDriver, OpenModesAndLocksSpeakSqlitesLanguage) {
  Run("CREATE TABLE t (a INTEGER)");
  TDAConnection reader;
  Connect(reader, "OpenMode=ReadOnly\r\n");
  try {
    Run("INSERT INTO t VALUES (1)", &reader);
    ADD_FAILURE() << "wrote through a read-only connection";
  } catch (const DatabaseError& e) {
    EXPECT_STREQ(e.what(), "attempt to write a readonly database");
  }

  // A writer waits BusyTimeout milliseconds for another connection's transaction, then fails.
  TDAConnection other;
  Connect(other, "BusyTimeout=100\r\n");
  conn_.StartTransaction();
  Run("INSERT INTO t VALUES (1)");
  auto start = std::chrono::steady_clock::now();
  try {
    Run("INSERT INTO t VALUES (2)", &other);
    ADD_FAILURE() << "wrote during another transaction";
  } catch (const DatabaseError& e) {
    EXPECT_STREQ(e.what(), "database is locked");
  }
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(90));
  conn_.Commit();
  EXPECT_EQ(Run("INSERT INTO t VALUES (2)", &other), 1);
}

// A connection keeps the statements of one-statement texts for the next run of the same text.
TEST_F(SqliteDriver, StatementsRunAgainWithoutTheirOldValuesOrLocks) {
  Run("CREATE TABLE t (a INTEGER, b TEXT)");
  const std::string insert = "INSERT INTO t VALUES (?, ?)";
  auto insert_with = [&](std::vector<Variant> values) {
    TDAQuery q;
    q.SetConnection(&conn_);
    q.SetSQLText(insert);
    for (Variant& v : values) q.Params().Add("", DataType::dtUnknown, ParamType::ptInput, v);
    return q.Execute();
  };
  EXPECT_EQ(insert_with({Variant::Integer(1), Variant::String(u"one")}), 1);
  // Values bound by an earlier run are gone: markers left without a value are null.
  EXPECT_EQ(insert_with({Variant::Integer(2)}), 1);
  EXPECT_EQ(insert_with({}), 1);
  {
    auto q = Select("SELECT a, b FROM t ORDER BY rowid");
    std::vector<std::string> seen;
    while (q->Result().Next()) {
      for (int c = 0; c < 2; ++c) {
        const Variant v = q->Result().GetVariant(c);
        seen.push_back(v.IsNull() ? "null" : common::Utf16ToUtf8(*v.ToText()));
      }
    }
    EXPECT_EQ(seen, (std::vector<std::string>{"1", "one", "2", "null", "null", "null"}));
  }

  // A result left half read, then closed: its statement keeps no lock that would hold up a
  // writer on another connection.
  const std::string select = "SELECT a FROM t";
  for (int round = 0; round < 2; ++round) {
    SCOPED_TRACE(round);
    auto q = Select(select);
    ASSERT_TRUE(q->Result().Next());
    // The same text open twice at once: the second user gets a statement of its own.
    auto twin = Select(select);
    int twin_rows = 0;
    while (twin->Result().Next()) ++twin_rows;
    EXPECT_EQ(twin_rows, 3);
    q->Close();
    twin->Close();
    TDAConnection writer;
    Connect(writer, "BusyTimeout=100\r\n");
    EXPECT_EQ(Run("INSERT INTO t VALUES (9, 'w')", &writer), 1);
    EXPECT_EQ(Run("DELETE FROM t WHERE a = 9", &writer), 1);
  }
}

TEST_F(SqliteDriver, StatementsRunAgainFollowTheSchema) {
  Run("CREATE TABLE t (a INTEGER)");
  Run("INSERT INTO t VALUES (1)");
  const std::string select = "SELECT * FROM t";
  EXPECT_EQ(Select(select)->Result().Columns().size(), 1u);
  Run("ALTER TABLE t ADD COLUMN b TEXT DEFAULT 'x'");
  auto q = Select(select);
  ASSERT_EQ(q->Result().Columns().size(), 2u);
  ASSERT_TRUE(q->Result().Next());
  EXPECT_EQ(q->Result().GetVariant(1), Variant::String(u"x"));
  q->Close();
  // A kept statement does not stand in the way of dropping its table.
  Run("DROP TABLE t");
  EXPECT_THROW(Select(select), DatabaseError);
  // Many texts: the oldest kept ones make room, and every text still runs.
  Run("CREATE TABLE n (v INTEGER)");
  conn_.StartTransaction();
  for (int i = 0; i < 200; ++i) {
    EXPECT_EQ(Run("INSERT INTO n VALUES (" + std::to_string(i % 70) + ")"), 1);
  }
  conn_.Commit();
  auto count = Select("SELECT COUNT(*), SUM(v) FROM n");
  ASSERT_TRUE(count->Result().Next());
  EXPECT_EQ(count->Result().GetInt64(0), 200);
  int64_t sum = 0;
  for (int i = 0; i < 200; ++i) sum += i % 70;
  EXPECT_EQ(count->Result().GetInt64(1), sum);
}

TEST_F(SqliteDriver, DeclaredForeignKeysHoldUnlessSwitchedOff) {
  Run("CREATE TABLE parent (id INTEGER PRIMARY KEY); "
      "CREATE TABLE child (parent_id INTEGER REFERENCES parent(id))");
  Run("INSERT INTO parent VALUES (1); INSERT INTO child VALUES (1)");
  struct Case {
    const char* setting;  // the ForeignKeys line of DataBase.CFG
    bool enforced;
  };
  const Case cases[] = {{"", true},
                        {"ForeignKeys=Yes\r\n", true},
                        {"ForeignKeys=off\r\n", false},
                        {"ForeignKeys=No\r\n", false},
                        {"ForeignKeys=0\r\n", false}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.setting);
    TDAConnection conn;
    Connect(conn, c.setting);
    for (const char* sql : {"INSERT INTO child VALUES (2)", "DELETE FROM parent WHERE id = 1"}) {
      SCOPED_TRACE(sql);
      conn.StartTransaction();
      if (c.enforced) {
        try {
          Run(sql, &conn);
          ADD_FAILURE() << "a foreign key was broken";
        } catch (const DatabaseError& e) {
          EXPECT_STREQ(e.what(), "FOREIGN KEY constraint failed");
        }
      } else {
        EXPECT_EQ(Run(sql, &conn), 1);
      }
      conn.Rollback();
    }
  }
}

}  // namespace
}  // namespace pools
