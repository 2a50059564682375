// The seam between the access layer (TDAConnection, TDAQuery, TDAStoredProc) and the database
// drivers. One DriverConnection is one open link to a database; sqlite3.h and sql.h appear only
// in the files that implement it.
//
// Ownership: a DriverConnection is shared (std::shared_ptr) by the TDAConnection that opened it
// and by every cursor read from it, so its handles stay valid until the last user lets go,
// whichever is freed first.
//
// Thread use: one thread at a time (the holder of the pooled connection), except Interrupt,
// which the thread stopping the service calls while the holder's thread works with the link.
#ifndef DATASERVER_POOLS_INTERNAL_DRIVER_H_
#define DATASERVER_POOLS_INTERNAL_DRIVER_H_

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <string_view>

#include "pools/connection_params.h"
#include "pools/cursor.h"
#include "pools/db_types.h"

namespace pools::internal {

class DriverConnection {
 public:
  virtual ~DriverConnection() = default;

  virtual void StartTransaction() = 0;
  virtual void Commit() = 0;
  virtual void Rollback() = 0;
  virtual bool InTransaction() const = 0;

  virtual std::string QuoteIdentifier(std::string_view name) const = 0;
  // The informational messages of the last statement (notices, prints), or empty.
  virtual std::string LastMessage() const = 0;
  // Whether the driver has reported the link to the database as gone.
  virtual bool IsLost() const = 0;
  virtual SqlDialect Dialect() const = 0;

  // Runs a command text and returns a cursor over its first result set. Statements before
  // it run first; statements after it run once the cursor has passed its last row. Throws
  // DatabaseError when the text yields no result set at all.
  virtual std::unique_ptr<Cursor> Open(const std::string& sql, const DbParams& params) = 0;
  // Runs every statement of a command text, discarding any rows; returns the number of rows
  // the statements inserted, updated or deleted.
  virtual int64_t Execute(const std::string& sql, const DbParams& params) = 0;
  // Calls a stored procedure with `params` in list order and stores the output values in
  // them. With `want_result`, returns the procedure's first result set, fully fetched.
  virtual std::unique_ptr<Cursor> CallProcedure(const std::string& name, DbParams& params,
                                                bool want_result) = 0;

  // Cuts short what the link is doing for its holder, from any thread, without waiting for it:
  // a running statement or fetch is cancelled through the database's own cancel (SQLite:
  // sqlite3_interrupt; ODBC: SQLCancel on the executing statement; a Firebird driver would use
  // its client library's cancel-operation call here), and a wait for another connection's lock
  // ends. The holder's call then fails with the driver's error and the database rolls back the
  // transaction it was in; a commit the database had finished stays. From then on the link
  // starts no statement (DatabaseError) and reports itself lost, so its pool drops it;
  // Rollback and the destructor still work. Must be safe to call at any moment of the link's
  // life, also when nothing runs.
  virtual void Interrupt() noexcept = 0;
};

// While `*stop` is true (the connection pool is shutting down) a link starts no statement and a
// wait for a lock ends at once. Null: never.
using StopFlag = std::shared_ptr<const std::atomic<bool>>;

// Opens the link a parameter list describes ("DriverID" selects the driver). `base_folder` is
// the folder relative file paths are taken from; `stop` is watched by the link from the start
// (a connection attempt that waits for a lock gives up when it turns true). Throws
// DatabaseError with the driver's text.
std::shared_ptr<DriverConnection> OpenDriverConnection(const ConnectionParams& params,
                                                       const std::filesystem::path& base_folder,
                                                       StopFlag stop = {});

std::shared_ptr<DriverConnection> OpenSqliteConnection(const ConnectionParams& params,
                                                       const std::filesystem::path& base_folder,
                                                       StopFlag stop = {});
std::shared_ptr<DriverConnection> OpenOdbcConnection(const ConnectionParams& params,
                                                     StopFlag stop = {});

}  // namespace pools::internal

#endif  // DATASERVER_POOLS_INTERNAL_DRIVER_H_
