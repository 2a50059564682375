// The SQLite tables the database benchmarks read and write, so that the in-process and the
// over-TCP benchmarks of the same figure measure the same rows.
//
// Threads: the benchmark's main thread, before any measurement.
#ifndef DATASERVER_BENCH_SQLITE_BENCH_TABLES_H_
#define DATASERVER_BENCH_SQLITE_BENCH_TABLES_H_

#include <sqlite3.h>

#include <stdexcept>
#include <string>

namespace bench {

// result: 1,000,000 rows of 10 mixed columns: integers, texts with Chinese characters, a
// DECIMAL(12,2), a double, a date-time, a Boolean, a memo on every fourth row and a 16-byte blob
// on every tenth.
inline constexpr char kResultTableSql[] =
    "CREATE TABLE result (id INTEGER PRIMARY KEY, code VARCHAR(20) NOT NULL, "
    "name VARCHAR(50), qty INTEGER, price DECIMAL(12,2), rate DOUBLE, created DATETIME, "
    "flag BOOLEAN, note TEXT, data BLOB);"
    "INSERT INTO result WITH RECURSIVE s(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM s "
    "WHERE i < 1000000) SELECT i, 'C-' || (i % 100000), '客户 ' || i || ' 号', i % 1000, "
    "(i % 100000) * 1.25, i / 7.0, datetime(1700000000 + i * 37, 'unixepoch'), i % 2, "
    "CASE WHEN i % 4 = 0 THEN '备注 ' || i END, "
    "CASE WHEN i % 10 = 0 THEN randomblob(16) END FROM s;";

// bench: the 10,000 rows a client edits and writes back.
inline constexpr char kBenchTableSql[] =
    "CREATE TABLE bench (id INTEGER PRIMARY KEY, code VARCHAR(20) NOT NULL, "
    "name VARCHAR(50), qty INTEGER, price DECIMAL(10,2), at DATETIME);"
    "INSERT INTO bench WITH RECURSIVE s(i) AS (SELECT 1 UNION ALL SELECT i + 1 "
    "FROM s WHERE i < 10000) SELECT i, 'C-' || i, '客户 ' || i, i % 100, "
    "i * 0.25, '2024-01-01 10:00:00' FROM s;";

// Runs `sql` on the SQLite file `path` (created when missing); throws with SQLite's message.
inline void CreateSqliteTable(const std::string& path, const char* sql) {
  sqlite3* db = nullptr;
  if (sqlite3_open(path.c_str(), &db) != SQLITE_OK ||
      sqlite3_exec(db, sql, nullptr, nullptr, nullptr) != SQLITE_OK) {
    const std::string message = std::string("SQLite: ") + sqlite3_errmsg(db);
    sqlite3_close(db);
    throw std::runtime_error(message);
  }
  sqlite3_close(db);
}

}  // namespace bench

#endif  // DATASERVER_BENCH_SQLITE_BENCH_TABLES_H_
