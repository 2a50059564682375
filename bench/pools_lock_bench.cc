// Pooled Lock/Unlock pairs per second, from 1 and 8 threads, beside same-run baselines: an
// uncontended std::mutex lock/unlock pair, and the same mutex shared by 8 threads. The pools
// hold real objects (connections to a SQLite file, query objects); a pair takes a semaphore
// slot, scans the list under its lock, and gives the object back.
#include <benchmark/benchmark.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <mutex>

#include "pools/da_conn_pool.h"
#include "pools/da_query_pool.h"

namespace {

std::filesystem::path BenchFolder() {
  static const std::filesystem::path folder = [] {
    std::string pattern = (std::filesystem::temp_directory_path() / "ds-bench-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) std::abort();
    std::ofstream(std::filesystem::path(pattern) / pools::kDatabaseConfigFileName, std::ios::binary)
        << "DriverID=SQLite\r\nDatabase=bench.db\r\n";
    return std::filesystem::path(pattern);
  }();
  return folder;
}

pools::TDAConnectionPool& ConnectionPool() {
  static pools::TDAConnectionPool pool(pools::kPoolCapacity,
                                       BenchFolder() / pools::kDatabaseConfigFileName);
  return pool;
}

pools::TDAQueryPool& QueryPool() {
  static pools::TDAQueryPool pool(pools::kPoolCapacity);
  return pool;
}

std::mutex& SharedMutex() {
  static std::mutex m;
  return m;
}

void BM_MutexLockUnlock(benchmark::State& state) {
  std::mutex& m = state.threads() == 1 ? *new std::mutex : SharedMutex();
  for (auto _ : state) {
    m.lock();
    benchmark::ClobberMemory();
    m.unlock();
  }
  state.SetItemsProcessed(state.iterations());
  if (state.threads() == 1) delete &m;
}
BENCHMARK(BM_MutexLockUnlock)->Threads(1)->Threads(8)->UseRealTime();

void BM_ConnectionPoolLockUnlock(benchmark::State& state) {
  pools::TDAConnectionPool& pool = ConnectionPool();
  for (auto _ : state) {
    pools::TDAConnection* conn = pool.Lock();
    if (conn == nullptr) {
      state.SkipWithError("the pool lent no connection");
      break;
    }
    benchmark::DoNotOptimize(conn);
    pool.Unlock(conn);
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_ConnectionPoolLockUnlock)->Threads(1)->Threads(8)->UseRealTime();

void BM_QueryPoolLockUnlock(benchmark::State& state) {
  pools::TDAQueryPool& pool = QueryPool();
  for (auto _ : state) {
    pools::TDAQuery* query = pool.Lock();
    benchmark::DoNotOptimize(query);
    pool.UnLock(query);
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_QueryPoolLockUnlock)->Threads(1)->Threads(8)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
