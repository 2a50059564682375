// Where the time of a query result goes: a 1,000,000-row result of 10 mixed columns on a SQLite
// file (integers, texts with Chinese characters, a decimal(12,2), a double, a date-time, a
// Boolean, a mostly-null memo and a mostly-null blob), split by stage.
//
//   sqlite_step         the floor: sqlite3_step and sqlite3_column_* straight on the C API
//   query               the access layer's cursor, every value read through its getter
//   query_encode        the cursor written into the dataset stream (query + encoding)
//   compress            the stream compressed at level 2 (zlib's default level)
//   copy                a memory copy of the stream into a new buffer (the bandwidth floor)
//   sql2olevariant      the whole remote method: pools, query, stream, compression, byte array
//
// Figures: ns/row (per stage), stream_MB, compressed_MB and, for sql2olevariant, peak_x: the
// peak heap the call held through operator new, as a multiple of the uncompressed stream.
#include <benchmark/benchmark.h>
#include <sqlite3.h>

#include <chrono>
#include <cstring>
#include <stdexcept>
#include <string>

#include "heap_meter.h"
#include "pools/da_connection.h"
#include "pools/da_query.h"
#include "service/data_methods.h"
#include "service/payload_codec.h"
#include "service/result_stream.h"
#include "service_bench_support.h"


namespace {

constexpr int kRows = 1000000;
constexpr char kQuery[] =
    "SELECT id, code, name, qty, price, rate, created, flag, note, data FROM result ORDER BY id";

// An application folder with the database and the process's pools.
struct Server {
  bench::SqliteServiceDatabase db{"result-stages-bench", "result.sqlite3", bench::kResultTableSql};
  service::ServiceContext& context = db.context();
  pools::TDAConnection connection;  // for the stages below the method
  common::Bytes stream;             // the uncompressed stream of the result
  size_t compressed_size = 0;

  Server() {
    connection.Params() = db.params;
    connection.Open();

    pools::TDAQuery q;
    q.SetConnection(&connection);
    q.SetSQLText(kQuery);
    q.Open();
    service::WriteCursorStream(q.Result(), stream);
    common::Bytes compressed = stream;
    service::CompressStreamInPlace(compressed, 2);
    compressed_size = compressed.size();
  }
  ~Server() { connection.Close(); }
};

Server& TheServer() {
  static Server server;
  return server;
}

void Report(benchmark::State& state, double seconds) {
  const Server& s = TheServer();
  state.counters["ns/row"] = seconds * 1e9 / (static_cast<double>(state.iterations()) * kRows);
  state.counters["stream_MB"] = static_cast<double>(s.stream.size()) / 1e6;
  state.counters["compressed_MB"] = static_cast<double>(s.compressed_size) / 1e6;
}

template <typename F>
double Timed(F&& f) {
  const auto start = std::chrono::steady_clock::now();
  f();
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

void BM_SqliteStep(benchmark::State& state) {
  const std::string path = TheServer().db.path;
  sqlite3* db = nullptr;
  sqlite3_open(path.c_str(), &db);
  double seconds = 0;
  for (auto _ : state) {
    seconds += Timed([&] {
      sqlite3_stmt* stmt = nullptr;
      sqlite3_prepare_v2(db, kQuery, -1, &stmt, nullptr);
      int64_t sink = 0;
      while (sqlite3_step(stmt) == SQLITE_ROW) {
        sink += sqlite3_column_int64(stmt, 0) + sqlite3_column_int64(stmt, 3) +
                sqlite3_column_int64(stmt, 7);
        sink += sqlite3_column_bytes16(stmt, 1) + sqlite3_column_bytes16(stmt, 2) +
                sqlite3_column_bytes(stmt, 4) + sqlite3_column_bytes(stmt, 6) +
                sqlite3_column_bytes16(stmt, 8) + sqlite3_column_bytes(stmt, 9);
        sink += static_cast<int64_t>(sqlite3_column_double(stmt, 5));
      }
      sqlite3_finalize(stmt);
      benchmark::DoNotOptimize(sink);
    });
  }
  sqlite3_close(db);
  Report(state, seconds);
}

void BM_Query(benchmark::State& state) {
  Server& server = TheServer();
  double seconds = 0;
  for (auto _ : state) {
    seconds += Timed([&] {
      pools::TDAQuery q;
      q.SetConnection(&server.connection);
      q.SetSQLText(kQuery);
      q.Open();
      pools::Cursor& c = q.Result();
      int64_t sink = 0;
      while (c.Next()) {
        for (int i : {0, 3}) sink += c.IsNull(i) ? 0 : c.GetInt64(i);
        for (int i : {1, 2, 8})
          sink += c.IsNull(i) ? 0 : static_cast<int64_t>(c.GetWideText(i).size());
        sink += c.GetText(4).size();
        sink += static_cast<int64_t>(c.GetDouble(5));
        sink += c.GetTimeStamp(6).second;
        sink += c.GetBool(7);
        sink += c.IsNull(9) ? 0 : static_cast<int64_t>(c.GetBytes(9).size());
      }
      benchmark::DoNotOptimize(sink);
    });
  }
  Report(state, seconds);
}

void BM_QueryEncode(benchmark::State& state) {
  Server& server = TheServer();
  double seconds = 0;
  for (auto _ : state) {
    common::Bytes out;
    seconds += Timed([&] {
      pools::TDAQuery q;
      q.SetConnection(&server.connection);
      q.SetSQLText(kQuery);
      q.Open();
      service::WriteCursorStream(q.Result(), out);
    });
    benchmark::DoNotOptimize(out.data());
  }
  Report(state, seconds);
}

void BM_Compress(benchmark::State& state) {
  Server& server = TheServer();
  double seconds = 0;
  for (auto _ : state) {
    state.PauseTiming();
    common::Bytes copy = server.stream;
    state.ResumeTiming();
    seconds += Timed([&] { service::CompressStreamInPlace(copy, 2); });
    benchmark::DoNotOptimize(copy.data());
  }
  Report(state, seconds);
}

void BM_Copy(benchmark::State& state) {
  Server& server = TheServer();
  double seconds = 0;
  for (auto _ : state) {
    seconds += Timed([&] {
      common::Bytes copy(server.stream.begin(), server.stream.end());
      benchmark::DoNotOptimize(copy.data());
    });
  }
  Report(state, seconds);
}

void BM_SQL2OleVariant(benchmark::State& state) {
  Server& server = TheServer();
  const std::u16string kQuery16(std::begin(kQuery), std::end(kQuery) - 1);
  double seconds = 0;
  int64_t peak = 0;
  for (auto _ : state) {
    const bench::PeakMeter meter;
    common::Variant result;
    seconds += Timed([&] {
      std::u16string err;
      result = service::SQL2OleVariant(server.context, kQuery16, err);
      if (!err.empty()) throw std::runtime_error("query failed");
    });
    peak = std::max(peak, meter.Peak());
    benchmark::DoNotOptimize(result.bytes().data());
  }
  Report(state, seconds);
  state.counters["peak_x"] = static_cast<double>(peak) / static_cast<double>(server.stream.size());
}

}  // namespace

BENCHMARK(BM_SqliteStep)->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK(BM_Query)->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK(BM_QueryEncode)->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK(BM_Compress)->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK(BM_Copy)->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK(BM_SQL2OleVariant)->Unit(benchmark::kMillisecond)->Iterations(3);

BENCHMARK_MAIN();
