// The database methods of TServerModule1 end to end: the service as the process runs it, a
// client library connection over loopback TCP, and a real database behind (a SQLite file, and
// the PostgreSQL test server when DATASERVER_PG_CONN names one).
#include <gtest/gtest.h>

#include <atomic>
#include <latch>
#include <memory>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "client/server_module1.h"
#include "client_side.h"
#include "common/datetime.h"
#include "common/text.h"
#include "e2e_server.h"
#include "pools/db_test_support.h"
#include "service/data_test_support.h"
#include "service/param_packing.h"

namespace e2e {
namespace {

using common::Variant;
using service::TFieldType;
using service::TParamType;
using service::testing::Engine;
using service::testing::PackedParam;
using service::testing::TestDatabase;
using Rows = std::vector<std::vector<std::string>>;

// A database message without the row values PostgreSQL quotes, whose serial numbers move on
// with every attempt ("Failing row contains (7, null, ...)").
std::string WithoutFailingRow(const std::string& message) {
  static const std::regex kFailingRow(R"(Failing row contains \([^\n]*\)\.)");
  return std::regex_replace(message, kFailingRow, "Failing row contains (...).");
}

class DataMethodsOverTcp : public ::testing::TestWithParam<Engine> {
 protected:
  void SetUp() override {
    db_ = std::make_unique<TestDatabase>(GetParam());
    if (!db_->available()) GTEST_SKIP() << pools::testing::kPgSkipMessage;
    items_ = service::testing::CreateItemsTable(*db_);
    Start();
  }
  void TearDown() override {
    if (server_ != nullptr) {
      EXPECT_TRUE(server_->PoolsIdle()) << "a pooled object was not given back";
    }
    client_.reset();
    server_.reset();
  }

  // (Re)starts the service with extra CONFIG.CFG lines, and connects a client.
  void Start(const std::string& config_lines = "") {
    client_.reset();
    server_.reset();
    server_ = std::make_unique<E2eServer>(db_->app_folder(), config_lines);
    client_ = std::make_unique<Client>(*server_);
  }

  client::ServerModule1& Module() { return client_->module; }
  std::string AllItems() const { return service::testing::AllItemsQuery(items_); }
  LoadedResult Load(const std::string& sql) {
    const client::DataResult r = Module().SQL2OleVariant(sql);
    if (!r.err_msg.empty()) throw std::runtime_error(r.err_msg);
    return LoadPayload(r.data);
  }
  std::string Count(const std::string& table, const std::string& where = "") {
    return db_->Scalar("SELECT COUNT(*) FROM " + table + where);
  }

  std::unique_ptr<TestDatabase> db_;
  std::string items_;
  std::unique_ptr<E2eServer> server_;
  std::unique_ptr<Client> client_;
};

TEST_P(DataMethodsOverTcp, QueryGivesEveryRowOrJustTheColumns) {
  const client::DataResult r = Module().SQL2OleVariant(AllItems());
  EXPECT_EQ(r.err_msg, "");
  ASSERT_TRUE(r.data.IsByteArray());
  const common::ByteSpan payload = r.data.bytes();
  ASSERT_GE(payload.size(), 2u);
  EXPECT_EQ(payload[0], 0x78);  // one zlib stream at the default level
  EXPECT_EQ(payload[1], 0x9C);

  const LoadedResult all = LoadPayload(r.data);
  ASSERT_EQ(all.table->RowCount(), 3u);
  ASSERT_EQ(all.table->Columns().size(), 7u);
  EXPECT_EQ(all.Text(0, "code"), "A-1");
  EXPECT_EQ(all.Value(0, "name"), Variant::String(u"苹果"));
  EXPECT_EQ(all.Value(1, "price").ToDouble(), 2.25);
  EXPECT_EQ(all.Value(0, "at"), Variant::Date(common::EncodeDateTime(2024, 1, 2, 3, 4, 5)));
  EXPECT_EQ(all.Value(0, "data"), Variant::ByteArray({1, 2}));
  EXPECT_TRUE(all.Value(1, "qty").IsNull());
  EXPECT_TRUE(all.Value(2, "name").IsNull());

  const LoadedResult none = Load(AllItems() + " LIMIT 0");
  EXPECT_EQ(none.table->Columns().size(), 7u);
  EXPECT_EQ(none.table->RowCount(), 0u);
}

TEST_P(DataMethodsOverTcp, DatabaseFailuresReachErrMsgAndTheConnectionServesOn) {
  struct Case {
    const char* name;
    std::string sql;
  };
  const Case cases[] = {
      {"SyntaxError", "SELEKT 1"},
      {"MissingTable", "SELECT * FROM no_such_table_here"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string expected = db_->MessageOf(c.sql);
    ASSERT_NE(expected, "<no error>");
    const client::DataResult query = Module().SQL2OleVariant(c.sql);
    EXPECT_EQ(query.err_msg, expected);
    EXPECT_TRUE(query.data.IsEmpty()) << common::DebugString(query.data);  // unassigned
    EXPECT_EQ(Module().ExecSQL(c.sql), expected);
    EXPECT_EQ(Module().UpdateSQL(Compressed(c.sql)), expected);
    EXPECT_TRUE(server_->PoolsIdle());
  }
  EXPECT_EQ(Load(AllItems()).table->RowCount(), 3u);
}

TEST_P(DataMethodsOverTcp, ConstraintViolationsAreRolledBack) {
  const std::string parts = db_->Table("parts");
  db_->Exec(db_->Ddl("CREATE TABLE " + parts + " (id {ID}, item_id INTEGER NOT NULL REFERENCES " +
                     items_ + "(id), amount INTEGER CHECK (amount > 0))"));
  EXPECT_EQ(Module().ExecSQL("INSERT INTO " + parts + " (item_id, amount) VALUES (1, 5)"), "");
  struct Case {
    const char* name;
    std::string statement;
  };
  const Case cases[] = {
      {"Unique", "INSERT INTO " + items_ + " (code) VALUES ('A-1')"},
      {"NotNull", "INSERT INTO " + items_ + " (name) VALUES ('no code')"},
      {"ForeignKey", "INSERT INTO " + parts + " (item_id, amount) VALUES (999, 1)"},
      {"ForeignKeyOnDelete", "DELETE FROM " + items_ + " WHERE id = 1"},
      {"Check", "INSERT INTO " + parts + " (item_id, amount) VALUES (2, 0)"},
  };
  const Rows items_before = db_->Rows(AllItems());
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string expected = db_->MessageOf(c.statement);
    ASSERT_NE(expected, "<no error>");
    // A change made by the same command text before the failing statement goes with it.
    EXPECT_EQ(
        WithoutFailingRow(Module().ExecSQL("UPDATE " + items_ + " SET qty = 99; " + c.statement)),
        WithoutFailingRow(expected));
    EXPECT_EQ(db_->Rows(AllItems()), items_before);
    EXPECT_EQ(Count(parts), "1");
  }
}

TEST_P(DataMethodsOverTcp, StatementTextIsReadByItsByteOrderMarkOrInTheConfiguredCodePage) {
  const std::string name_utf8 = "茶杯 №1";
  const std::string before = "UPDATE " + items_ + "\r\nSET name = '";
  const std::string after = "'\r\nWHERE code = 'B-2'\r\n";
  auto utf16le = [](const std::string& utf8) {
    std::string out = "\xFF\xFE";
    for (char16_t c : common::Utf8ToUtf16(utf8)) {
      out += static_cast<char>(c & 0xFF);
      out += static_cast<char>(c >> 8);
    }
    return out;
  };
  struct Case {
    const char* name;
    const char* code_page;  // CONFIG.CFG's CodePage
    std::string payload;
    std::string stored;  // the name the row then holds
  };
  const Case cases[] = {
      {"Utf8WithoutMarkInUtf8", "UTF-8", before + name_utf8 + after, name_utf8},
      {"Utf8MarkInGbk", "GBK", "\xEF\xBB\xBF" + before + name_utf8 + after, name_utf8},
      {"Utf16MarkInGbk", "GBK", utf16le(before + name_utf8 + after), name_utf8},
      // GBK has 茶杯 but no №: the ANSI text holds what the code page can.
      {"GbkWithoutMark", "GBK", before + common::CodePage("GBK").FromUtf8("茶杯 ") + "#1" + after,
       "茶杯 #1"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Start(std::string("CodePage=") + c.code_page + "\n");
    EXPECT_EQ(Module().UpdateSQL(Compressed(c.payload)), "");
    EXPECT_EQ(db_->Scalar("SELECT name FROM " + items_ + " WHERE code = 'B-2'"), c.stored);
    // And back to the client as the result's wide text.
    EXPECT_EQ(Load("SELECT name FROM " + items_ + " WHERE code = 'B-2'").Text(0, "name"), c.stored);
  }
}

TEST_P(DataMethodsOverTcp, ChangeSetWhoseMiddleRowFailsKeepsTheOthers) {
  LoadedResult r = Load(AllItems());
  storage::TDAMemTable& t = *r.table;
  storage::TDAMemRow* first = t.Row(0);
  first->BeginEdit();
  first->SetValue(r.ColumnIndex("name"), Variant::String(u"红苹果"));
  first->EndEdit();
  // The middle change takes a code that another row holds.
  storage::TDAMemRow* duplicate = t.NewRow(false);
  duplicate->SetValue(r.ColumnIndex("code"), Variant::String(u"B-2"));
  duplicate->SetValue(r.ColumnIndex("name"), Variant::String(u"重复"));
  t.AppendRow(duplicate);
  t.Row(2)->Delete();

  const std::string expected =
      db_->MessageOf("INSERT INTO " + items_ + " (code, name) VALUES ('B-2', '重复')");
  EXPECT_EQ(Module().UpdateOleVariant(items_, ChangeSet(r)), expected);
  EXPECT_EQ(db_->Rows("SELECT code, name FROM " + items_ + " ORDER BY id"),
            (Rows{{"A-1", "红苹果"}, {"B-2", "Banana"}}));
}

TEST_P(DataMethodsOverTcp, NullKeyValuesAreMatchedAsNull) {
  // SQLite lets the columns of a composite key hold nulls, so there the rows are found by their
  // key; PostgreSQL keys cannot, so there the table has none and rows are found by every
  // comparable column. Either way a null old value must match as IS NULL.
  const std::string pairs = db_->Table("pairs");
  db_->Exec("CREATE TABLE " + pairs + " (a INTEGER, b VARCHAR(10), v VARCHAR(10)" +
            (db_->is_pg() ? ")" : ", PRIMARY KEY (a, b))"));
  db_->Exec("INSERT INTO " + pairs + " VALUES (1, NULL, 'one')");
  db_->Exec("INSERT INTO " + pairs + " VALUES (NULL, 'x', 'two')");
  db_->Exec("INSERT INTO " + pairs + " VALUES (NULL, NULL, 'three')");
  LoadedResult r = Load("SELECT a, b, v FROM " + pairs + " ORDER BY v");
  ASSERT_EQ(r.table->RowCount(), 3u);
  EXPECT_EQ(r.table->Columns()[0].Options().Has(storage::TDADataOption::coInKey), !db_->is_pg());
  auto edit = [&](size_t row, size_t column, const Variant& value) {
    r.table->Row(row)->BeginEdit();
    r.table->Row(row)->SetValue(column, value);
    r.table->Row(row)->EndEdit();
  };
  // Rows in "v" order: one, three, two.
  edit(0, 2, Variant::String(u"uno"));
  edit(1, 0, Variant::Integer(3));
  r.table->Row(2)->Delete();
  storage::TDAMemRow* added = r.table->NewRow(false);
  added->SetValue(1, Variant::String(u"y"));
  added->SetValue(2, Variant::String(u"four"));
  r.table->AppendRow(added);

  EXPECT_EQ(Module().UpdateOleVariant(pairs, ChangeSet(r)), "");
  EXPECT_EQ(db_->Rows("SELECT a, b, v FROM " + pairs + " ORDER BY v"),
            (Rows{{"<null>", "y", "four"}, {"3", "<null>", "three"}, {"1", "<null>", "uno"}}));
}

TEST_P(DataMethodsOverTcp, LargeResultTravelsInContinuationPieces) {
  constexpr int kRows = 100000;
  const std::string sql =
      db_->is_pg()
          ? "SELECT g AS n, 'row ' || g AS label, g * 0.5 AS half FROM generate_series(1, 100000) g"
          : "WITH RECURSIVE s(n) AS (SELECT 1 UNION ALL SELECT n + 1 FROM s WHERE n < 100000) "
            "SELECT n, 'row ' || n AS label, n * 0.5 AS half FROM s";
  const client::DataResult r = Module().SQL2OleVariant(sql);
  ASSERT_EQ(r.err_msg, "");
  // Far more than a reply row holds inline (30717 bytes with the default buffers).
  EXPECT_GT(r.data.bytes().size(), 100000u);
  const LoadedResult loaded = LoadPayload(r.data);
  ASSERT_EQ(loaded.table->RowCount(), static_cast<size_t>(kRows));
  for (size_t row : {size_t{0}, size_t{4999}, size_t{kRows - 1}}) {
    SCOPED_TRACE(row);
    EXPECT_EQ(loaded.Value(row, "n").ToInt64(), static_cast<int64_t>(row + 1));
    EXPECT_EQ(loaded.Text(row, "label"), "row " + std::to_string(row + 1));
    EXPECT_EQ(loaded.Value(row, "half").ToDouble(), (row + 1) * 0.5);
  }
}

TEST_P(DataMethodsOverTcp, ThirtyClientsWorkWhileFiftyWaitOnThePool) {
  // The test's own connection locks the table, so that every call that gets a pooled
  // connection stays in the database until the lock goes: 30 calls hold the 30 connections
  // while 50 more wait on the pool.
  constexpr int kClients = 80;
  std::vector<std::unique_ptr<Client>> clients;
  for (int i = 0; i < kClients; ++i) clients.push_back(std::make_unique<Client>(*server_));
  ASSERT_EQ(server_->ClientCount(), kClients + 1);

  // Every pooled connection is opened beforehand, so that the lock holds up calls rather than
  // the opening of connections (SQLite reads the schema when it opens a file).
  pools::TDAConnectionPool& connections = server_->singletons().connection_pool;
  {
    std::vector<pools::TDAConnection*> opened;
    for (int i = 0; i < pools::kPoolCapacity; ++i) opened.push_back(connections.Lock());
    for (pools::TDAConnection* c : opened) {
      ASSERT_NE(c, nullptr) << connections.LastCreateError();
      connections.Unlock(c);
    }
  }
  if (db_->is_pg()) {
    db_->admin().StartTransaction();
    db_->Exec("LOCK TABLE " + items_ + " IN ACCESS EXCLUSIVE MODE");
  } else {
    db_->Exec("BEGIN EXCLUSIVE");
  }
  std::atomic<int> done{0};
  std::vector<std::string> outcomes(kClients);
  std::vector<std::thread> threads;
  std::latch start(kClients);
  for (int i = 0; i < kClients; ++i) {
    threads.emplace_back([&, i] {
      start.arrive_and_wait();
      try {
        const client::DataResult r =
            clients[i]->module.SQL2OleVariant("SELECT COUNT(*) AS n FROM " + items_);
        outcomes[i] = r.err_msg.empty() ? LoadPayload(r.data).Text(0, "n") : r.err_msg;
      } catch (const std::exception& e) {
        outcomes[i] = e.what();
      }
      ++done;
    });
  }
  const bool all_busy =
      E2eServer::WaitFor([&] { return connections.BusyCount() == pools::kPoolCapacity; });
  // Hold the lock a little longer, well inside the pool's 3-second wait.
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  EXPECT_TRUE(all_busy);
  EXPECT_EQ(done.load(), 0);
  EXPECT_EQ(connections.FreeSlots(), 0);
  if (db_->is_pg()) {
    db_->admin().Commit();
  } else {
    db_->Exec("COMMIT");
  }
  for (std::thread& t : threads) t.join();
  for (int i = 0; i < kClients; ++i) EXPECT_EQ(outcomes[i], "3") << "client " << i;
  EXPECT_EQ(connections.Count(), pools::kPoolCapacity);
  EXPECT_TRUE(server_->PoolsIdle());

  clients.clear();
  EXPECT_TRUE(E2eServer::WaitFor([&] { return server_->ClientCount() == 1; }));
}

TEST_P(DataMethodsOverTcp, StoredProceduresTakeAndGiveBackPackedParameters) {
  if (!db_->is_pg()) {
    const client::StoredProcResult c = Module().StoredProc("anything", Variant::Null(), true);
    EXPECT_EQ(c.err_msg, "SQLite databases have no stored procedures");
    EXPECT_TRUE(c.data.IsEmpty());
    return;
  }
  const std::string suffix = "_" + std::to_string(getpid());
  const std::string calc = "calc" + suffix, list = "list" + suffix;
  db_->Exec("CREATE OR REPLACE FUNCTION " + calc +
            "(a integer, OUT doubled integer, INOUT c integer) AS $$ BEGIN doubled := a * 2; "
            "c := c + 1; END $$ LANGUAGE plpgsql");
  db_->Exec("CREATE OR REPLACE FUNCTION " + list + "(below integer) RETURNS TABLE(code text, " +
            "name text) AS $$ SELECT code::text, name::text FROM " + items_ +
            " WHERE id < below ORDER BY id $$ LANGUAGE sql");

  const Variant in_out = Variant::VariantArrayOf(
      {PackedParam(u"a", Variant::Integer(21), TFieldType::ftInteger, TParamType::ptInput),
       PackedParam(u"doubled", Variant::Null(), TFieldType::ftInteger, TParamType::ptOutput),
       PackedParam(u"c", Variant::Integer(7), TFieldType::ftInteger, TParamType::ptInputOutput)});
  // Only the output parameter comes back, with size, precision and scale 0.
  const Variant expected_out = Variant::VariantArrayOf({Variant::VariantArrayOf(
      {Variant::String(u"doubled"), Variant::Integer(42), Variant::ShortInt(3),
       Variant::ShortInt(2), Variant::Integer(0), Variant::Integer(0), Variant::Integer(0)})});
  for (bool result_set : {false, true}) {
    SCOPED_TRACE(result_set);
    const client::StoredProcResult c = Module().StoredProc(calc, in_out, result_set);
    EXPECT_EQ(c.err_msg, "");
    EXPECT_EQ(c.out_pack, expected_out);
    if (result_set) {
      const LoadedResult r = LoadPayload(c.data);
      ASSERT_EQ(r.table->RowCount(), 1u);
      EXPECT_EQ(r.Value(0, "doubled").ToInt64(), 42);
      EXPECT_EQ(r.Value(0, "c").ToInt64(), 8);
    } else {
      EXPECT_TRUE(c.data.IsEmpty());
    }
  }

  // Inputs only: rows, and no output list at all.
  const client::StoredProcResult rows = Module().StoredProc(
      list,
      Variant::VariantArrayOf(
          {PackedParam(u"below", Variant::Integer(3), TFieldType::ftUnknown, TParamType::ptInput)}),
      true);
  EXPECT_EQ(rows.err_msg, "");
  EXPECT_TRUE(rows.out_pack.IsNull() || rows.out_pack.IsEmpty())
      << common::DebugString(rows.out_pack);
  const LoadedResult r = LoadPayload(rows.data);
  ASSERT_EQ(r.table->RowCount(), 2u);
  EXPECT_EQ(r.Value(0, "name"), Variant::String(u"苹果"));

  const client::StoredProcResult missing =
      Module().StoredProc("no_such_proc" + suffix, Variant::Null(), false);
  EXPECT_NE(missing.err_msg.find("no_such_proc" + suffix), std::string::npos) << missing.err_msg;
  EXPECT_TRUE(server_->PoolsIdle());

  db_->Exec("DROP FUNCTION " + calc);
  db_->Exec("DROP FUNCTION " + list);
}

INSTANTIATE_TEST_SUITE_P(Engines, DataMethodsOverTcp,
                         ::testing::Values(Engine::kSQLite, Engine::kPostgreSQL),
                         [](const auto& info) { return service::testing::EngineName(info.param); });

}  // namespace
}  // namespace e2e
