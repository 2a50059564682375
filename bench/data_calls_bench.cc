// One-row queries per second through SQL2OleVariant over loopback TCP, with 1, 8 and 50
// clients, beside pgbench -S (select-only) against the local PostgreSQL server with the same
// client counts.
//
//   data_calls_bench [seconds per round, default 3] [client counts..., default 1 8 50]
//
// Ours: the server's call path (transport, compression filter, dispatcher, TServerModule1, the
// pools) on a SQLite file holding pgbench's accounts table at scale 1 (100,000 rows); each
// client has its own connection and asks "SELECT abalance FROM accounts WHERE aid = <n>" for a
// random n, receiving the compressed one-row dataset stream (the call as the client library
// returns it, undecoded; the decoding is timed apart, single-threaded).
// Baseline: pgbench -S -n -c C -j C -T <seconds> on the database of DATASERVER_PG_CONN (after
// pgbench -i -s 1), its "tps" without the connection time.
//
// Rounds alternate (ours, pgbench, ours, pgbench, ...) so that other load on a shared machine
// falls on both sides; every round prints its figure with the load average, and the summary
// gives the best round of each side.
#include <sqlite3.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "client/connection.h"
#include "client/payload.h"
#include "client/server_module1.h"
#include "data_bench_support.h"
#include "storage/dataset_stream.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kAccounts = 100000;
constexpr int kRounds = 3;

void CreateAccounts(const std::string& path) {
  sqlite3* db = nullptr;
  if (sqlite3_open(path.c_str(), &db) != SQLITE_OK ||
      sqlite3_exec(db,
                   "CREATE TABLE accounts (aid INTEGER PRIMARY KEY, bid INTEGER NOT NULL, "
                   "abalance INTEGER NOT NULL, filler CHAR(84));"
                   "INSERT INTO accounts WITH RECURSIVE s(i) AS (SELECT 1 UNION ALL SELECT i + 1 "
                   "FROM s WHERE i < 100000) SELECT i, 1, 0, '' FROM s;",
                   nullptr, nullptr, nullptr) != SQLITE_OK) {
    std::fprintf(stderr, "cannot create the accounts table: %s\n", sqlite3_errmsg(db));
    std::exit(1);
  }
  sqlite3_close(db);
}

// Calls per second of `clients` connections calling for `seconds`.
double OurCalls(uint16_t port, int clients, double seconds) {
  std::atomic<int> ready{0};
  std::atomic<bool> go{false}, stop{false}, failed{false};
  std::vector<uint64_t> counts(static_cast<size_t>(clients));
  std::vector<std::thread> threads;
  for (int i = 0; i < clients; ++i) {
    threads.emplace_back([&, i] {
      client::Connection c(client::LoginOptions("127.0.0.1", port, "admin", "tulip"));
      c.Open();
      client::ServerModule1 module(c);
      std::mt19937 random(static_cast<unsigned>(i) * 7919u + 1);
      std::uniform_int_distribution<int> aid(1, kAccounts);
      auto call = [&] {
        const client::DataResult r = module.SQL2OleVariant(
            "SELECT abalance FROM accounts WHERE aid = " + std::to_string(aid(random)));
        if (!r.err_msg.empty() || !r.data.IsByteArray()) {
          if (!failed.exchange(true)) std::fprintf(stderr, "call failed: %s\n", r.err_msg.c_str());
        }
      };
      call();  // prepared, and the pools warm
      ++ready;
      while (!go) std::this_thread::yield();
      uint64_t n = 0;
      while (!stop) {
        call();
        ++n;
      }
      counts[static_cast<size_t>(i)] = n;
    });
  }
  while (ready < clients) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  const auto start = Clock::now();
  go = true;
  std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
  stop = true;
  const double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
  for (std::thread& t : threads) t.join();
  uint64_t total = 0;
  for (uint64_t n : counts) total += n;
  return failed ? 0 : static_cast<double>(total) / elapsed;
}

std::string PgbenchPath() {
  if (const char* p = std::getenv("PGBENCH"); p != nullptr && *p != '\0') return p;
  std::string best;
  std::error_code ec;
  for (const auto& entry : std::filesystem::directory_iterator("/usr/lib/postgresql", ec)) {
    const std::filesystem::path candidate = entry.path() / "bin" / "pgbench";
    if (std::filesystem::exists(candidate) && candidate.string() > best) best = candidate.string();
  }
  return best;
}

// Runs a command, returning its output (empty on failure).
std::string Run(const std::string& command) {
  std::string out;
  FILE* p = ::popen((command + " 2>&1").c_str(), "r");
  if (p == nullptr) return out;
  char buffer[4096];
  size_t n;
  while ((n = std::fread(buffer, 1, sizeof buffer, p)) > 0) out.append(buffer, n);
  const int status = ::pclose(p);
  if (status != 0) {
    std::fprintf(stderr, "%s failed:\n%s\n", command.c_str(), out.c_str());
    return std::string();
  }
  return out;
}

std::string PgbenchCommand(const std::string& pgbench, const bench::PgServer& pg) {
  return "PGPASSWORD='" + pg.password + "' '" + pgbench + "' -h " + pg.host + " -p " + pg.port +
         " -U " + pg.user + " ";
}

// pgbench -S's transactions per second, without the initial connection time.
double PgbenchSelects(const std::string& base, const bench::PgServer& pg, int clients,
                      double seconds) {
  const std::string out =
      Run(base + "-S -n -c " + std::to_string(clients) + " -j " + std::to_string(clients) + " -T " +
          std::to_string(std::max(1, static_cast<int>(seconds + 0.5))) + " " + pg.database);
  const size_t at = out.find("tps = ");
  return at == std::string::npos ? 0 : std::atof(out.c_str() + at + 6);
}

// Microseconds to inflate and load the one-row result, as a client that reads it would.
double DecodeMicros(uint16_t port) {
  client::Connection c(client::LoginOptions("127.0.0.1", port, "admin", "tulip"));
  c.Open();
  client::ServerModule1 module(c);
  const common::Bytes payload = *client::PayloadBytes(
      module.SQL2OleVariant("SELECT abalance FROM accounts WHERE aid = 1").data);
  constexpr int kTimes = 20000;
  const auto start = Clock::now();
  for (int i = 0; i < kTimes; ++i) {
    storage::TDAMemManager manager;
    storage::LoadFromStream(manager, client::DecompressPayload(payload));
  }
  return std::chrono::duration<double, std::micro>(Clock::now() - start).count() / kTimes;
}

}  // namespace

int main(int argc, char** argv) {
  const double seconds = argc > 1 ? std::atof(argv[1]) : 3.0;
  std::vector<int> client_counts = {1, 8, 50};
  if (argc > 2) client_counts.clear();
  for (int i = 2; i < argc; ++i) client_counts.push_back(std::atoi(argv[i]));

  bench::TempFolder folder("data-calls-bench");
  CreateAccounts((folder.path() / "bench.sqlite3").string());
  bench::WriteSqliteDatabaseConfig(folder, "bench.sqlite3");
  bench::BenchServer server(folder.app_folder());

  const std::optional<bench::PgServer> pg = bench::PgServerFromEnv();
  const std::string pgbench = PgbenchPath();
  std::string pgbench_base;
  if (!pg) {
    std::printf("%s\n", bench::kNoPgMessage);
  } else if (pgbench.empty()) {
    std::printf("pgbench not found (set PGBENCH): no baseline\n");
  } else {
    pgbench_base = PgbenchCommand(pgbench, *pg);
    if (Run(pgbench_base + "-i -s 1 -q " + pg->database).empty()) pgbench_base.clear();
  }

  std::printf(
      "One-row SQL2OleVariant calls over loopback TCP (SQLite, %d accounts) beside pgbench -S\n"
      "(PostgreSQL select-only, scale 1); %.1f s per round, %d rounds per side, alternating\n\n",
      kAccounts, seconds, kRounds);
  std::printf("%8s %6s | %12s %6s | %12s %6s\n", "clients", "round", "ours/s", "load", "pgbench/s",
              "load");
  struct Summary {
    int clients;
    double ours, theirs;
  };
  std::vector<Summary> summary;
  for (int clients : client_counts) {
    Summary s{clients, 0, 0};
    for (int round = 1; round <= kRounds; ++round) {
      const std::string load_ours = bench::LoadAverage();
      const double ours = OurCalls(server.port(), clients, seconds);
      std::string load_theirs = "-";
      double theirs = 0;
      if (!pgbench_base.empty()) {
        load_theirs = bench::LoadAverage();
        theirs = PgbenchSelects(pgbench_base, *pg, clients, seconds);
      }
      std::printf("%8d %6d | %12.0f %6s | %12.0f %6s\n", clients, round, ours, load_ours.c_str(),
                  theirs, load_theirs.c_str());
      std::fflush(stdout);
      s.ours = std::max(s.ours, ours);
      s.theirs = std::max(s.theirs, theirs);
    }
    summary.push_back(s);
  }
  std::printf("\nBest rounds:\n%8s | %12s | %12s | %8s\n", "clients", "ours/s", "pgbench/s",
              "ours/pg");
  for (const Summary& s : summary) {
    std::printf("%8d | %12.0f | %12.0f | %7.0f%%\n", s.clients, s.ours, s.theirs,
                s.theirs > 0 ? 100.0 * s.ours / s.theirs : 0.0);
  }
  std::printf("\nClient decoding of the one-row result (inflate + load): %.1f us per result\n",
              DecodeMicros(server.port()));
  if (!pgbench_base.empty()) Run(pgbench_base + "-i -I d " + pg->database);  // drop its tables
  return 0;
}
