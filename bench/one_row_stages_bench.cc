// Where the time of a one-row query goes, in process (no network): the same one-row query as
// data_calls_bench ("SELECT qty FROM bench WHERE id = <n>", a different n each call, so SQLite
// prepares each text anew), split by stage.
//
//   query          the access layer's query object on a connection of its own: prepare, step,
//                  column descriptions, close
//   query_stream   the same, its cursor written into the dataset stream
//   compress       that stream compressed at level 2 (zlib's default level), a kept state
//   sql2olevariant the whole remote method: pools, query, stream, compression, byte array
//
// Figures: the CPU time per call (the benchmark's own columns) and, for compress, the stream's
// size before and after.
#include <benchmark/benchmark.h>

#include <string>

#include "pools/da_connection.h"
#include "pools/da_query.h"
#include "service/data_methods.h"
#include "service/payload_codec.h"
#include "service/result_stream.h"
#include "service_bench_support.h"

namespace {

constexpr int kTableRows = 10000;

// The database, the process's pools over it and a connection of the benchmark's own.
struct Database {
  bench::SqliteServiceDatabase db{"one-row-stages-bench", "bench.sqlite3", bench::kBenchTableSql};
  pools::TDAConnection connection;

  Database() {
    connection.Params() = db.params;
    connection.Open();
  }
};

// Ends at exit, so the folder is removed.
Database& TheDatabase() {
  static Database db;
  return db;
}

std::string Query(int64_t i) {
  return "SELECT qty FROM bench WHERE id = " + std::to_string(1 + i % kTableRows);
}

// Opens the query of call `i` on the benchmark's connection and passes the query object on.
template <typename Use>
void OnOpenQuery(int64_t i, Use use) {
  pools::TDAQuery query;
  query.SetConnection(&TheDatabase().connection);
  query.SQL().push_back(Query(i));
  query.Open();
  use(query);
  query.Close();
}

void BM_Query(benchmark::State& state) {
  int64_t i = 0;
  for (auto _ : state) OnOpenQuery(i++, [](pools::TDAQuery&) {});
}

common::Bytes OneRowStream(int64_t i) {
  common::Bytes stream;
  OnOpenQuery(i, [&](pools::TDAQuery& query) { service::WriteCursorStream(query.Result(), stream); });
  return stream;
}

void BM_QueryStream(benchmark::State& state) {
  int64_t i = 0;
  for (auto _ : state) benchmark::DoNotOptimize(OneRowStream(i++).data());
}

void BM_Compress(benchmark::State& state) {
  const common::Bytes stream = OneRowStream(0);
  common::Bytes compressed;
  for (auto _ : state) {
    compressed = stream;
    service::CompressStreamInPlace(compressed, 2);
  }
  state.counters["stream_bytes"] = static_cast<double>(stream.size());
  state.counters["compressed_bytes"] = static_cast<double>(compressed.size());
}

void BM_SQL2OleVariant(benchmark::State& state) {
  int64_t i = 0;
  for (auto _ : state) {
    const std::string sql = Query(i++);
    std::u16string err;
    const common::Variant result =
        service::SQL2OleVariant(TheDatabase().db.context(), std::u16string(sql.begin(), sql.end()), err);
    if (!err.empty()) {
      state.SkipWithError("query failed");
      break;
    }
    benchmark::DoNotOptimize(result.bytes().data());
  }
}

}  // namespace

BENCHMARK(BM_Query)->MinTime(1.0);
BENCHMARK(BM_QueryStream)->MinTime(1.0);
BENCHMARK(BM_Compress)->MinTime(1.0);
BENCHMARK(BM_SQL2OleVariant)->MinTime(1.0);

BENCHMARK_MAIN();
