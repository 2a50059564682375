// A client's change set of 10,000 modified rows written back with UpdateOleVariant over loopback
// TCP, beside the same updates issued to SQLite directly in one transaction with one prepared
// statement.
//
//   data_update_bench [rounds per side, default 5]
//
// The table: bench(id INTEGER PRIMARY KEY, code, name, qty, price DECIMAL(10,2), at DATETIME),
// 10,000 rows. The client fetches it with SQL2OleVariant, changes name and qty of every row and
// sends the change set (compressed, with its journal); each row becomes
// "UPDATE "bench" SET "name" = ?, "qty" = ? WHERE "id" = ?". The call is timed as the client
// sees it: sending the payload, the server's decompression, loading and applying in one
// transaction, and the reply. The baseline binds and steps one prepared statement per row
// between BEGIN IMMEDIATE and COMMIT on a connection of its own.
//
// Rounds alternate (baseline, ours, baseline, ours, ...) with the load average beside each;
// the summary takes the best round of each side.
#include <sqlite3.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <stdexcept>
#include <string>

#include "client/connection.h"
#include "client/payload.h"
#include "client/server_module1.h"
#include "data_bench_support.h"
#include "sqlite_bench_tables.h"
#include "storage/dataset_stream.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kRows = 10000;

void Check(int rc, sqlite3* db) {
  if (rc != SQLITE_OK && rc != SQLITE_DONE && rc != SQLITE_ROW) {
    throw std::runtime_error(sqlite3_errmsg(db));
  }
}

// Seconds for the same updates through one prepared statement in one transaction.
double Direct(const std::string& path) {
  sqlite3* db = nullptr;
  Check(sqlite3_open(path.c_str(), &db), db);
  std::u16string name = u"客户 A";
  const auto start = Clock::now();
  Check(sqlite3_exec(db, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr), db);
  sqlite3_stmt* stmt = nullptr;
  Check(
      sqlite3_prepare_v2(db, "UPDATE bench SET name = ?, qty = ? WHERE id = ?", -1, &stmt, nullptr),
      db);
  for (int i = 0; i < kRows; ++i) {
    name.back() = static_cast<char16_t>(u'A' + i % 26);
    sqlite3_bind_text16(stmt, 1, name.data(), static_cast<int>(name.size() * 2), SQLITE_TRANSIENT);
    sqlite3_bind_int64(stmt, 2, i % 1000);
    sqlite3_bind_int64(stmt, 3, i + 1);
    Check(sqlite3_step(stmt), db);
    if (sqlite3_changes(db) != 1) throw std::runtime_error("not one row");
    sqlite3_reset(stmt);
  }
  sqlite3_finalize(stmt);
  Check(sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr), db);
  const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
  sqlite3_close(db);
  return seconds;
}

// The client's change set: every row's name and qty changed.
common::Variant ChangeSet(client::ServerModule1& module) {
  const client::DataResult r =
      module.SQL2OleVariant("SELECT id, code, name, qty, price, at FROM bench ORDER BY id");
  if (!r.err_msg.empty()) throw std::runtime_error(r.err_msg);
  storage::TDAMemManager manager;
  storage::TDAMemTable* table =
      storage::LoadFromStream(manager, client::DecompressPayload(*client::PayloadBytes(r.data)))
          .table;
  for (size_t i = 0; i < table->RowCount(); ++i) {
    storage::TDAMemRow* row = table->Row(i);
    row->BeginEdit();
    row->SetValue(2, common::Variant::String(u"客户 " + std::u16string(1, u'A' + i % 26)));
    row->SetValue(3, common::Variant::Int64(static_cast<int64_t>(i % 1000)));
    row->EndEdit();
  }
  common::Bytes stream;
  storage::SaveToStream(manager, stream);
  return client::CompressedPayload(stream);
}

}  // namespace

int main(int argc, char** argv) {
  const int rounds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 5;
  bench::TempFolder folder("data-update-bench");
  const std::string path = (folder.path() / "bench.sqlite3").string();
  bench::CreateSqliteTable(path, bench::kBenchTableSql);
  bench::WriteSqliteDatabaseConfig(folder, "bench.sqlite3");
  bench::BenchServer server(folder.app_folder());
  client::Connection connection(client::LoginOptions("127.0.0.1", server.port(), "admin", "tulip"));
  connection.Open();
  client::ServerModule1 module(connection);
  const common::Variant change_set = ChangeSet(module);

  std::printf(
      "UpdateOleVariant of %d modified rows over loopback TCP (SQLite; change set %zu bytes\n"
      "compressed) beside the same updates through one prepared statement in one transaction\n\n",
      kRows, change_set.bytes().size());
  std::printf("%6s | %12s %6s | %12s %6s\n", "round", "direct row/s", "load", "ours row/s", "load");
  double best_direct = 0, best_ours = 0;
  for (int round = 1; round <= rounds; ++round) {
    const std::string load_direct = bench::LoadAverage();
    const double direct = kRows / Direct(path);
    const std::string load_ours = bench::LoadAverage();
    const auto start = Clock::now();
    const std::string err = module.UpdateOleVariant("bench", change_set);
    const double ours = kRows / std::chrono::duration<double>(Clock::now() - start).count();
    if (!err.empty()) {
      std::fprintf(stderr, "UpdateOleVariant failed: %s\n", err.c_str());
      return 1;
    }
    std::printf("%6d | %12.0f %6s | %12.0f %6s\n", round, direct, load_direct.c_str(), ours,
                load_ours.c_str());
    std::fflush(stdout);
    best_direct = std::max(best_direct, direct);
    best_ours = std::max(best_ours, ours);
  }
  std::printf("\nBest rounds: direct %.0f rows/s, UpdateOleVariant %.0f rows/s: %.0f%% of direct\n",
              best_direct, best_ours, 100.0 * best_ours / best_direct);
  return 0;
}
