// Applying a client's change set: UpdateOleVariant of 10,000 modified rows on a SQLite file,
// beside the same updates issued to SQLite directly in one transaction.
//
// The table: bench(id INTEGER PRIMARY KEY, code, name, qty, price DECIMAL(10,2), at DATETIME);
// the change set modifies name and qty of every row (the statement each row becomes is
// "UPDATE bench SET name = ?, qty = ? WHERE id = ?").
//
//   direct_prepared       the baseline: one statement prepared once, bound and stepped per row
//   direct_per_row        the same statement prepared anew for every row (what a driver without
//                         a statement cache does)
//   update_ole_variant    the whole remote method: decompress, load the change set, apply
//   load_change_set       its first part alone: decompress and load
//
// Figures: rows/s, and "vs_direct", the share of direct_prepared's rate reached.
#include <benchmark/benchmark.h>
#include <sqlite3.h>

#include <chrono>
#include <stdexcept>
#include <string>

#include "service/data_methods.h"
#include "service/payload_codec.h"
#include "service_bench_support.h"
#include "storage/change_set.h"
#include "storage/dataset_stream.h"

namespace {

constexpr int kRows = 10000;

void Check(int rc, sqlite3* db) {
  if (rc != SQLITE_OK && rc != SQLITE_DONE && rc != SQLITE_ROW) {
    throw std::runtime_error(sqlite3_errmsg(db));
  }
}

// An application folder with a SQLite database of kRows rows and the process's pools.
struct Server {
  bench::SqliteServiceDatabase db{"update-apply-bench", "bench.sqlite3", bench::kBenchTableSql};
  service::ServiceContext& context = db.context();
  common::Variant change_set;  // every row modified, compressed, as a client sends it

  Server() {
    // The client: fetch, edit every row, send the changes.
    std::u16string err;
    const common::Variant result = service::SQL2OleVariant(
        context, u"SELECT id, code, name, qty, price, at FROM bench ORDER BY id", err);
    if (!err.empty()) throw std::runtime_error("query failed");
    std::optional<common::Bytes> stream = service::ByteArrayToStream(result);
    service::DecompressStreamInPlace(*stream);
    storage::TDAMemManager manager;
    storage::TDAMemTable* table = storage::LoadFromStream(manager, *stream).table;
    for (size_t i = 0; i < table->RowCount(); ++i) {
      storage::TDAMemRow* row = table->Row(i);
      row->BeginEdit();
      row->SetValue(2, common::Variant::String(u"客户 " + std::u16string(1, u'A' + i % 26)));
      row->SetValue(3, common::Variant::Int64(static_cast<int64_t>(i % 1000)));
      row->EndEdit();
    }
    common::Bytes changes;
    storage::SaveToStream(manager, changes);
    service::CompressStreamInPlace(changes, 2);
    change_set = service::StreamToByteArray(std::move(changes));
  }
};

Server& TheServer() {
  static Server server;
  return server;
}

double g_direct_rows_per_s = 0;

void Report(benchmark::State& state, double seconds) {
  const double rate = kRows * static_cast<double>(state.iterations()) / seconds;
  state.counters["rows/s"] = rate;
  if (g_direct_rows_per_s > 0) state.counters["vs_direct"] = rate / g_direct_rows_per_s;
}

// The same updates straight through SQLite in one transaction.
void Direct(benchmark::State& state, bool prepare_once) {
  Server& server = TheServer();
  sqlite3* db = nullptr;
  Check(sqlite3_open(server.db.path.c_str(), &db), db);
  const char* sql = "UPDATE bench SET name = ?, qty = ? WHERE id = ?";
  std::u16string name = u"客户 A";
  double seconds = 0;
  for (auto _ : state) {
    const auto start = std::chrono::steady_clock::now();
    Check(sqlite3_exec(db, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr), db);
    sqlite3_stmt* stmt = nullptr;
    if (prepare_once) Check(sqlite3_prepare_v2(db, sql, -1, &stmt, nullptr), db);
    for (int i = 0; i < kRows; ++i) {
      if (!prepare_once) Check(sqlite3_prepare_v2(db, sql, -1, &stmt, nullptr), db);
      name.back() = static_cast<char16_t>(u'A' + i % 26);
      sqlite3_bind_text16(stmt, 1, name.data(), static_cast<int>(name.size() * 2),
                          SQLITE_TRANSIENT);
      sqlite3_bind_int64(stmt, 2, i % 1000);
      sqlite3_bind_int64(stmt, 3, i + 1);
      Check(sqlite3_step(stmt), db);
      if (sqlite3_changes(db) != 1) throw std::runtime_error("not one row");
      if (prepare_once) {
        sqlite3_reset(stmt);
      } else {
        sqlite3_finalize(stmt);
      }
    }
    if (prepare_once) sqlite3_finalize(stmt);
    Check(sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr), db);
    seconds += std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  }
  sqlite3_close(db);
  const double rate = kRows * static_cast<double>(state.iterations()) / seconds;
  if (prepare_once) g_direct_rows_per_s = rate;
  Report(state, seconds);
}

void BM_DirectPrepared(benchmark::State& state) { Direct(state, true); }
void BM_DirectPerRow(benchmark::State& state) { Direct(state, false); }

void BM_UpdateOleVariant(benchmark::State& state) {
  Server& server = TheServer();
  double seconds = 0;
  for (auto _ : state) {
    std::u16string err;
    const auto start = std::chrono::steady_clock::now();
    service::UpdateOleVariant(server.context, u"bench", server.change_set, err);
    seconds += std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    if (!err.empty()) throw std::runtime_error("apply failed");
  }
  Report(state, seconds);
  state.counters["payload_KB"] = static_cast<double>(server.change_set.bytes().size()) / 1e3;
}

void BM_LoadChangeSet(benchmark::State& state) {
  Server& server = TheServer();
  double seconds = 0;
  for (auto _ : state) {
    const auto start = std::chrono::steady_clock::now();
    std::optional<common::Bytes> stream = service::ByteArrayToStream(server.change_set);
    service::DecompressStreamInPlace(*stream);
    const storage::TDAChangeSet set = storage::TDAChangeSet::Load(*stream);
    seconds += std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    benchmark::DoNotOptimize(set.Changes().size());
  }
  Report(state, seconds);
}

}  // namespace

BENCHMARK(BM_DirectPrepared)->Unit(benchmark::kMillisecond)->MinTime(1.0);
BENCHMARK(BM_DirectPerRow)->Unit(benchmark::kMillisecond)->MinTime(1.0);
BENCHMARK(BM_UpdateOleVariant)->Unit(benchmark::kMillisecond)->MinTime(1.0);
BENCHMARK(BM_LoadChangeSet)->Unit(benchmark::kMillisecond)->MinTime(1.0);

BENCHMARK_MAIN();
