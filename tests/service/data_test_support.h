// Shared fixtures of the database method tests: an application folder with its DataBase.CFG,
// the three database pools and the service context wired as the process singletons wire
// them, against a private SQLite file or the PostgreSQL test server; and the client's side of
// the payloads (decoding a result, editing it, sending the changes back).
#ifndef DATASERVER_TESTS_SERVICE_DATA_TEST_SUPPORT_H_
#define DATASERVER_TESTS_SERVICE_DATA_TEST_SUPPORT_H_

#include <unistd.h>

#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/text.h"
#include "common/variant.h"
#include "pools/da_conn_pool.h"
#include "pools/da_connection.h"
#include "pools/da_query.h"
#include "pools/da_query_pool.h"
#include "pools/da_stored_proc_pool.h"
#include "pools/database_error.h"
#include "pools/db_test_support.h"
#include "service/param_packing.h"
#include "service/payload_codec.h"
#include "service/server_module.h"
#include "storage/dataset_stream.h"

namespace service::testing {

using common::Variant;
using pools::testing::TempDir;

enum class Engine { kSQLite, kPostgreSQL };

inline const char* EngineName(Engine e) { return e == Engine::kSQLite ? "SQLite" : "PG"; }

// The database parameters of an engine; nullopt when its server is not available.
inline std::optional<pools::ConnectionParams> EngineParams(Engine engine, const TempDir& dir) {
  if (engine == Engine::kPostgreSQL) return pools::testing::PgParams();
  pools::ConnectionParams params;
  params.Set("DriverID", "SQLite");
  params.Set("Database", (dir / "test.sqlite3").string());
  return params;
}

// A database of the tests' own: an application folder whose DataBase.CFG names a private SQLite
// file or the PostgreSQL test server, and a connection of the test's own (outside any pool) for
// statements and checks. Tables made through Table() are dropped at the end.
class TestDatabase {
 public:
  explicit TestDatabase(Engine engine) : engine_(engine) {
    params_ = EngineParams(engine, dir_);
    if (!params_) return;
    params_->SaveToFile(dir_ / pools::kDatabaseConfigFileName);
    admin_.Params() = *params_;
    admin_.Open();
  }
  ~TestDatabase() {
    if (!params_) return;
    for (const std::string& table : created_) {
      try {
        Exec("DROP TABLE IF EXISTS " + table + (engine_ == Engine::kPostgreSQL ? " CASCADE" : ""));
      } catch (const std::exception&) {
      }
    }
  }
  TestDatabase(const TestDatabase&) = delete;
  TestDatabase& operator=(const TestDatabase&) = delete;

  bool available() const { return params_.has_value(); }
  Engine engine() const { return engine_; }
  bool is_pg() const { return engine_ == Engine::kPostgreSQL; }
  const TempDir& dir() const { return dir_; }
  // The application folder, with its trailing separator.
  std::string app_folder() const { return dir_.path().string() + "/"; }
  // The test's own connection (transactions, locks held against the server).
  pools::TDAConnection& admin() { return admin_; }

  // A table name of this test (unique per process on the shared PostgreSQL server), dropped
  // when the database object goes.
  std::string Table(const std::string& base) {
    std::string name = is_pg() ? base + "_" + std::to_string(getpid()) : base;
    created_.push_back(name);
    try {
      Exec("DROP TABLE IF EXISTS " + name + (is_pg() ? " CASCADE" : ""));
    } catch (const std::exception&) {
    }
    return name;
  }

  // DDL written with the placeholders {ID} (an auto-increment primary key), {DATETIME} and
  // {BLOB}, in the engine's own words.
  std::string Ddl(std::string sql) const {
    Replace(sql, "{ID}", is_pg() ? "SERIAL PRIMARY KEY" : "INTEGER PRIMARY KEY AUTOINCREMENT");
    Replace(sql, "{DATETIME}", is_pg() ? "TIMESTAMP" : "DATETIME");
    Replace(sql, "{BLOB}", is_pg() ? "BYTEA" : "BLOB");
    return sql;
  }
  // A blob literal of the engine from hex digits.
  std::string Blob(const std::string& hex) const {
    return is_pg() ? "'\\x" + hex + "'::bytea" : "X'" + hex + "'";
  }

  // Statements and queries on the test's own connection.
  void Exec(const std::string& sql) {
    pools::TDAQuery q;
    q.SetConnection(&admin_);
    q.SetSQLText(sql);
    q.Execute();
  }
  // Every row, each value as text ("<null>" for null).
  std::vector<std::vector<std::string>> Rows(const std::string& sql) {
    pools::TDAQuery q;
    q.SetConnection(&admin_);
    q.SetSQLText(sql);
    q.Open();
    std::vector<std::vector<std::string>> rows;
    pools::Cursor& c = q.Result();
    while (c.Next()) {
      std::vector<std::string>& row = rows.emplace_back();
      for (int i = 0; i < c.ColumnCount(); ++i) {
        const Variant v = c.GetVariant(i);
        row.push_back(v.IsNull() ? "<null>" : common::Utf16ToUtf8(v.ToText().value_or(u"?")));
      }
    }
    return rows;
  }
  std::string Scalar(const std::string& sql) {
    auto rows = Rows(sql);
    return rows.empty() || rows[0].empty() ? "<none>" : rows[0][0];
  }
  // The message the database gives for a statement that fails, or "<no error>".
  std::string MessageOf(const std::string& sql) {
    try {
      Exec(sql);
    } catch (const pools::DatabaseError& e) {
      return e.what();
    }
    return "<no error>";
  }

 private:
  static void Replace(std::string& s, std::string_view from, std::string_view to) {
    for (size_t at = s.find(from); at != std::string::npos; at = s.find(from, at + to.size())) {
      s.replace(at, from.size(), to);
    }
  }

  Engine engine_;
  TempDir dir_;
  std::optional<pools::ConnectionParams> params_;
  pools::TDAConnection admin_;
  std::vector<std::string> created_;
};

// The table of the method tests: an auto-increment key, a unique code, Chinese text, a decimal,
// a date-time and a blob, three rows (A-1 full, B-2 without qty/at/data, C-3 without name,
// price and data). Returns its name.
inline std::string CreateItemsTable(TestDatabase& db) {
  const std::string items = db.Table("items");
  db.Exec(db.Ddl("CREATE TABLE " + items +
                 " (id {ID}, code VARCHAR(20) NOT NULL UNIQUE, name VARCHAR(50), "
                 "price DECIMAL(10,2), qty INTEGER, at {DATETIME}, data {BLOB})"));
  db.Exec("INSERT INTO " + items + " (code, name, price, qty, at, data) VALUES ('A-1', '苹果', " +
          "1.50, 3, '2024-01-02 03:04:05', " + db.Blob("0102") + ")");
  db.Exec("INSERT INTO " + items + " (code, name, price) VALUES ('B-2', 'Banana', 2.25)");
  db.Exec("INSERT INTO " + items + " (code, qty, at) VALUES ('C-3', 7, '2023-12-31 23:59:59')");
  return items;
}

inline std::string AllItemsQuery(const std::string& items) {
  return "SELECT id, code, name, price, qty, at, data FROM " + items + " ORDER BY id";
}

// The pools and TServerModule1 instances to call, over a TestDatabase's application folder.
class ServerHarness : public TestDatabase {
 public:
  explicit ServerHarness(Engine engine) : TestDatabase(engine) {
    connections_ = std::make_unique<pools::TDAConnectionPool>(
        pools::kPoolCapacity, dir() / pools::kDatabaseConfigFileName);
    context_.app_folder = app_folder();
    context_.connection_pool = connections_.get();
    context_.query_pool = &queries_;
    context_.stored_proc_pool = &procs_;
  }

  ServiceContext& context() { return context_; }
  pools::TDAConnectionPool& connections() { return *connections_; }
  pools::TDAQueryPool& queries() { return queries_; }
  pools::TDAStoredProcPool& procs() { return procs_; }

  // Whether the three pools have nothing lent out.
  bool Idle() const {
    return connections_->BusyCount() == 0 && queries_.BusyCount() == 0 && procs_.BusyCount() == 0;
  }

  // Invokes a method on a fresh instance (instances hold no state between calls).
  Variant Call(ServerMethod method, std::vector<Variant>& args) {
    TServerModule1 instance(context_);
    Variant result;
    instance.Invoke(static_cast<size_t>(method), args, result);
    return result;
  }

 private:
  pools::TDAStoredProcPool procs_{pools::kPoolCapacity};
  pools::TDAQueryPool queries_{pools::kPoolCapacity};
  std::unique_ptr<pools::TDAConnectionPool> connections_;
  ServiceContext context_;
};

// One element of a packed parameter list: name, value, data type, direction, and size,
// precision and scale 0.
inline Variant PackedParam(std::u16string name, Variant value, TFieldType type,
                           TParamType direction) {
  return Variant::VariantArrayOf({Variant::String(std::move(name)), std::move(value),
                                  Variant::ShortInt(static_cast<int8_t>(type)),
                                  Variant::ShortInt(static_cast<int8_t>(direction)),
                                  Variant::Integer(0), Variant::Integer(0), Variant::Integer(0)});
}

// --- The client's side ----------------------------------------------------------------------

inline Variant CompressedPayload(common::Bytes bytes) {
  CompressStreamInPlace(bytes, 2);
  return StreamToByteArray(std::move(bytes));
}

inline Variant CompressedPayload(std::string_view bytes) {
  return CompressedPayload(common::Bytes(bytes.begin(), bytes.end()));
}

// A result as a client loads it: the table model with its first table.
struct LoadedResult {
  std::unique_ptr<storage::TDAMemManager> manager = std::make_unique<storage::TDAMemManager>();
  storage::TDAMemTable* table = nullptr;

  // The ordinary value of a row's column, found by name.
  Variant Value(size_t row, std::string_view column) const {
    const storage::TDAMemColumn* c = table->Columns().Find(column);
    if (c == nullptr) throw std::runtime_error("no column " + std::string(column));
    return table->Row(row)->GetValue(c->Index());
  }
  std::string Text(size_t row, std::string_view column) const {
    const Variant v = Value(row, column);
    return v.IsNull() ? "<null>" : common::Utf16ToUtf8(v.ToText().value_or(u"?"));
  }
  size_t ColumnIndex(std::string_view column) const {
    const storage::TDAMemColumn* c = table->Columns().Find(column);
    if (c == nullptr) throw std::runtime_error("no column " + std::string(column));
    return c->Index();
  }
};

inline common::Bytes Decompressed(const Variant& payload) {
  std::optional<common::Bytes> bytes = ByteArrayToStream(payload);
  if (!bytes) throw std::runtime_error("not a byte array: " + common::DebugString(payload));
  DecompressStreamInPlace(*bytes);
  return std::move(*bytes);
}

inline LoadedResult LoadResult(const Variant& payload) {
  LoadedResult r;
  r.table = storage::LoadFromStream(*r.manager, Decompressed(payload)).table;
  if (r.table == nullptr) throw std::runtime_error("the result holds no table");
  return r;
}

// The change set of an edited result, as a client sends it.
inline Variant ChangeSetPayload(const LoadedResult& r) {
  common::Bytes stream;
  storage::SaveToStream(*r.manager, stream);
  return CompressedPayload(std::move(stream));
}

}  // namespace service::testing

#endif  // DATASERVER_TESTS_SERVICE_DATA_TEST_SUPPORT_H_
