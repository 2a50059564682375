// A 1,000,000-row result of 10 mixed columns end to end: the server's query, the dataset
// stream, its compression, the transfer over loopback TCP and the client's decoding, in rows
// per second and with the server's peak memory; beside fetching the same rows from the
// PostgreSQL server of DATASERVER_PG_CONN with libpq (PQexec, every value read).
//
//   data_result_bench [rounds, default 3]
//
// The rows (both databases hold the same): id, a code, a Chinese name, a quantity, a
// DECIMAL(12,2) price, a double, a date-time, a Boolean, a memo set on every fourth row and a
// 16-byte blob on every tenth.
//
// Ours runs in a server process of its own (forked, fresh for every round, so that its peak
// resident memory belongs to that round's call alone): the call path of the dataserver
// process over a SQLite file. The client calls SQL2OleVariant and then inflates and loads the
// result as a client does. The stages are timed apart in this process: the query alone (every
// value read through the access layer), the query written into the dataset stream, and the
// stream's compression at the default level; the transfer is what the call took beyond them
// (the transport's own level-1 compression of every frame, the pieces, the sockets).
//
// Rounds alternate (ours, libpq, ours, libpq, ...) with the load average beside each figure;
// the summary takes the best round of each side.
#include <libpq-fe.h>
#include <signal.h>
#include <sqlite3.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <stdexcept>
#include <string>

#include "client/connection.h"
#include "client/payload.h"
#include "client/server_module1.h"
#include "data_bench_support.h"
#include "pools/da_connection.h"
#include "pools/da_query.h"
#include "service/payload_codec.h"
#include "service/result_stream.h"
#include "sqlite_bench_tables.h"
#include "storage/dataset_stream.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kRows = 1000000;
constexpr char kQuery[] =
    "SELECT id, code, name, qty, price, rate, created, flag, note, data FROM result ORDER BY id";

double Since(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

// The same rows in PostgreSQL, in a table of this process's own.
std::string CreatePgTable(PGconn* pg) {
  const std::string table = "result_bench_" + std::to_string(::getpid());
  const std::string sql =
      "DROP TABLE IF EXISTS " + table + "; CREATE TABLE " + table +
      " (id bigint PRIMARY KEY, code varchar(20) NOT NULL, name varchar(50), qty integer, "
      "price numeric(12,2), rate double precision, created timestamp, flag boolean, note text, "
      "data bytea); INSERT INTO " +
      table +
      " SELECT i, 'C-' || (i % 100000), '客户 ' || i || ' 号', i % 1000, (i % 100000) * 1.25, "
      "i / 7.0, to_timestamp(1700000000 + i * 37) AT TIME ZONE 'UTC', i % 2 = 1, "
      "CASE WHEN i % 4 = 0 THEN '备注 ' || i END, "
      "CASE WHEN i % 10 = 0 THEN decode(md5(i::text), 'hex') END "
      "FROM generate_series(1, 1000000) i; ANALYZE " +
      table;
  PGresult* r = PQexec(pg, sql.c_str());
  const bool ok = PQresultStatus(r) == PGRES_COMMAND_OK;
  PQclear(r);
  if (!ok) throw std::runtime_error(std::string("PostgreSQL: ") + PQerrorMessage(pg));
  return table;
}

// Seconds to fetch every row with libpq and read every value.
double LibpqFetch(PGconn* pg, const std::string& table, size_t& bytes) {
  const std::string sql = std::string(kQuery).replace(std::string(kQuery).find("result"), 6, table);
  const auto start = Clock::now();
  PGresult* r = PQexec(pg, sql.c_str());
  if (PQresultStatus(r) != PGRES_TUPLES_OK) {
    PQclear(r);
    throw std::runtime_error(std::string("PostgreSQL: ") + PQerrorMessage(pg));
  }
  const int rows = PQntuples(r), columns = PQnfields(r);
  bytes = 0;
  for (int i = 0; i < rows; ++i) {
    for (int c = 0; c < columns; ++c) {
      if (!PQgetisnull(r, i, c)) bytes += static_cast<size_t>(PQgetlength(r, i, c));
    }
  }
  PQclear(r);
  const double seconds = Since(start);
  if (rows != kRows) throw std::runtime_error("libpq fetched " + std::to_string(rows) + " rows");
  return seconds;
}

// --- The server process ----------------------------------------------------------------------

struct ServerProcess {
  pid_t pid = -1;
  uint16_t port = 0;
  int control = -1;  // closing it ends the server

  // Forks a server over `app_folder`. The child serves until the control pipe closes.
  static ServerProcess Start(const std::string& app_folder) {
    int port_pipe[2], control_pipe[2];
    if (::pipe(port_pipe) != 0 || ::pipe(control_pipe) != 0) std::abort();
    const pid_t pid = ::fork();
    if (pid == 0) {
      ::close(port_pipe[0]);
      ::close(control_pipe[1]);
      {
        bench::BenchServer server(app_folder);
        const uint16_t port = server.port();
        if (::write(port_pipe[1], &port, sizeof port) != sizeof port) ::_exit(1);
        char c;
        while (::read(control_pipe[0], &c, 1) > 0) {
        }
      }
      ::_exit(0);
    }
    ::close(port_pipe[1]);
    ::close(control_pipe[0]);
    ServerProcess p;
    p.pid = pid;
    p.control = control_pipe[1];
    if (::read(port_pipe[0], &p.port, sizeof p.port) != sizeof p.port) std::abort();
    ::close(port_pipe[0]);
    return p;
  }
  void Stop() {
    ::close(control);
    ::waitpid(pid, nullptr, 0);
  }

  // A field of /proc/<pid>/status in kB ("VmHWM", "VmRSS").
  double StatusMB(const std::string& field) const {
    std::ifstream in("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(in, line)) {
      if (line.rfind(field + ":", 0) == 0) return std::atof(line.c_str() + field.size() + 1) / 1e3;
    }
    return 0;
  }
  // Makes the peak resident size start again from the current one.
  void ResetPeak() const { std::ofstream("/proc/" + std::to_string(pid) + "/clear_refs") << "5"; }
};

struct OurRound {
  double call = 0;     // SQL2OleVariant as the client sees it
  double decode = 0;   // inflate and load
  double peak_mb = 0;  // the server's peak resident memory during the call, above its start
  size_t payload = 0;
};

OurRound OurCall(const std::string& app_folder) {
  ServerProcess server = ServerProcess::Start(app_folder);
  OurRound round;
  {
    client::Connection c(client::LoginOptions("127.0.0.1", server.port, "admin", "tulip"));
    c.Open();
    client::ServerModule1 module(c);
    module.SQL2OleVariant("SELECT 1");  // the pools warm, the command prepared
    const double before = server.StatusMB("VmRSS");
    server.ResetPeak();
    auto start = Clock::now();
    const client::DataResult r = module.SQL2OleVariant(kQuery);
    round.call = Since(start);
    round.peak_mb = server.StatusMB("VmHWM") - before;
    if (!r.err_msg.empty()) throw std::runtime_error("SQL2OleVariant: " + r.err_msg);
    const std::optional<common::Bytes> payload = client::PayloadBytes(r.data);
    round.payload = payload->size();
    start = Clock::now();
    storage::TDAMemManager manager;
    const storage::TDAMemTable* table =
        storage::LoadFromStream(manager, client::DecompressPayload(*payload)).table;
    round.decode = Since(start);
    if (table == nullptr || table->RowCount() != kRows) throw std::runtime_error("rows lost");
  }
  server.Stop();
  return round;
}

struct Stages {
  double query = 0;         // the cursor walked, every value read
  double query_encode = 0;  // the cursor written into the dataset stream
  double compress = 0;      // the stream compressed at the default level
  size_t stream = 0;
};

Stages MeasureStages(pools::TDAConnection& connection) {
  Stages s;
  {
    pools::TDAQuery q;
    q.SetConnection(&connection);
    q.SetSQLText(kQuery);
    const auto start = Clock::now();
    q.Open();
    pools::Cursor& c = q.Result();
    int64_t sink = 0;
    while (c.Next()) {
      for (int i : {0, 3}) sink += c.IsNull(i) ? 0 : c.GetInt64(i);
      for (int i : {1, 2, 8})
        sink += c.IsNull(i) ? 0 : static_cast<int64_t>(c.GetWideText(i).size());
      sink += static_cast<int64_t>(c.GetText(4).size());
      sink += static_cast<int64_t>(c.GetDouble(5));
      sink += c.GetTimeStamp(6).second;
      sink += c.GetBool(7) ? 1 : 0;
      sink += c.IsNull(9) ? 0 : static_cast<int64_t>(c.GetBytes(9).size());
    }
    s.query = Since(start);
    if (sink == 42) std::printf(" ");
  }
  common::Bytes stream;
  {
    pools::TDAQuery q;
    q.SetConnection(&connection);
    q.SetSQLText(kQuery);
    const auto start = Clock::now();
    q.Open();
    service::WriteCursorStream(q.Result(), stream);
    s.query_encode = Since(start);
  }
  s.stream = stream.size();
  const auto start = Clock::now();
  service::CompressStreamInPlace(stream, 2);
  s.compress = Since(start);
  return s;
}

}  // namespace

int main(int argc, char** argv) {
  const int rounds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 3;
  // No thread exists before the server processes are forked: everything in this process runs
  // on the main thread.
  bench::TempFolder folder("data-result-bench");
  const std::string path = (folder.path() / "result.sqlite3").string();
  bench::CreateSqliteTable(path, bench::kResultTableSql);
  const pools::ConnectionParams params = bench::WriteSqliteDatabaseConfig(folder, path);
  pools::TDAConnection connection;
  connection.Params() = params;
  connection.Open();

  const std::optional<bench::PgServer> pg_server = bench::PgServerFromEnv();
  PGconn* pg = nullptr;
  std::string pg_table;
  if (!pg_server) {
    std::printf("%s\n", bench::kNoPgMessage);
  } else {
    pg = PQconnectdb(pg_server->ConnInfo().c_str());
    PQsetNoticeProcessor(
        pg, [](void*, const char*) {}, nullptr);
    if (PQstatus(pg) != CONNECTION_OK) {
      std::printf("PostgreSQL: %s(no baseline)\n", PQerrorMessage(pg));
      PQfinish(pg);
      pg = nullptr;
    } else {
      pg_table = CreatePgTable(pg);
    }
  }

  std::printf(
      "A %d-row result of 10 columns end to end over loopback TCP (SQLite; SQL2OleVariant, then\n"
      "inflate and load) beside PostgreSQL with libpq (PQexec, every value read); %d rounds\n\n",
      kRows, rounds);
  std::printf("%6s | %10s %9s %9s %6s | %10s %6s | %10s %9s %6s\n", "round", "stages s", "stream",
              "zipped", "load", "ours row/s", "load", "peak MB", "x stream", "");
  std::printf("%6s | %10s %9s %9s %6s | %10s %6s | %10s %6s\n", "", "", "MB", "MB", "", "", "",
              "libpq row/s", "load");
  Stages best_stages;
  OurRound best_ours;
  double best_ours_rate = 0, best_pg_rate = 0, worst_peak_x = 0;
  size_t pg_bytes = 0;
  for (int round = 1; round <= rounds; ++round) {
    const std::string load_stages = bench::LoadAverage();
    const Stages stages = MeasureStages(connection);
    const std::string load_ours = bench::LoadAverage();
    const OurRound ours = OurCall(folder.app_folder());
    const double ours_rate = kRows / (ours.call + ours.decode);
    const double peak_x = ours.peak_mb * 1e6 / static_cast<double>(stages.stream);
    std::printf("%6d | %10.2f %9.1f %9.1f %6s | %10.0f %6s | %10.0f %9.2f\n", round,
                stages.query_encode + stages.compress, stages.stream / 1e6, ours.payload / 1e6,
                load_stages.c_str(), ours_rate, load_ours.c_str(), ours.peak_mb, peak_x);
    if (pg != nullptr) {
      const std::string load_pg = bench::LoadAverage();
      const double pg_rate = kRows / LibpqFetch(pg, pg_table, pg_bytes);
      std::printf("%6s | %10s %9s %9s %6s | %10s %6s | %10.0f %6s\n", "", "", "", "", "", "", "",
                  pg_rate, load_pg.c_str());
      best_pg_rate = std::max(best_pg_rate, pg_rate);
    }
    std::fflush(stdout);
    worst_peak_x = std::max(worst_peak_x, peak_x);
    if (ours_rate > best_ours_rate) {
      best_ours_rate = ours_rate;
      best_ours = ours;
      best_stages = stages;
    }
  }

  const Stages& s = best_stages;
  const double transfer = best_ours.call - s.query_encode - s.compress;
  auto line = [](const char* what, double seconds) {
    std::printf("  %-44s %7.3f s  %7.0f ns/row\n", what, seconds, seconds * 1e9 / kRows);
  };
  std::printf("\nStages of the best round (the stages timed apart in this process):\n");
  line("query (cursor, every value read)", s.query);
  line("encoding into the dataset stream", s.query_encode - s.query);
  line("compression at the default level", s.compress);
  line("transfer (call beyond the stages above)", transfer);
  line("client decoding (inflate and load)", best_ours.decode);
  line("end to end", best_ours.call + best_ours.decode);
  std::printf("  stream %.1f MB, compressed %.1f MB (%.1f MB/s compressing)\n", s.stream / 1e6,
              best_ours.payload / 1e6, s.stream / 1e6 / s.compress);
  std::printf("\nBest rounds: ours %.0f rows/s", best_ours_rate);
  if (best_pg_rate > 0) {
    std::printf(", libpq %.0f rows/s (%.1f MB of values): ours at %.0f%% of libpq", best_pg_rate,
                pg_bytes / 1e6, 100.0 * best_ours_rate / best_pg_rate);
  }
  const double without_compression = kRows / (best_ours.call + best_ours.decode - s.compress);
  std::printf("\nWithout the default-level compression the same path would give %.0f rows/s",
              without_compression);
  if (best_pg_rate > 0)
    std::printf(" (%.0f%% of libpq)", 100.0 * without_compression / best_pg_rate);
  std::printf("\nServer peak memory above its idle size: at most %.2f x the uncompressed stream\n",
              worst_peak_x);

  if (pg != nullptr) {
    PQclear(PQexec(pg, ("DROP TABLE IF EXISTS " + pg_table).c_str()));
    PQfinish(pg);
  }
  return 0;
}
