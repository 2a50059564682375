// The seam between the access layer (TDAConnection, TDAQuery, TDAStoredProc) and the database
// drivers. One DriverConnection is one open link to a database; sqlite3.h and sql.h appear only
// in the files that implement it.
//
// Ownership: a DriverConnection is shared (std::shared_ptr) by the TDAConnection that opened it
// and by every cursor read from it, so its handles stay valid until the last user lets go,
// whichever is freed first.
//
// Thread use: one thread at a time (the holder of the pooled connection).
#ifndef DATASERVER_POOLS_INTERNAL_DRIVER_H_
#define DATASERVER_POOLS_INTERNAL_DRIVER_H_

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
};

// Opens the link a parameter list describes ("DriverID" selects the driver). `base_folder` is
// the folder relative file paths are taken from. Throws DatabaseError with the driver's text.
std::shared_ptr<DriverConnection> OpenDriverConnection(const ConnectionParams& params,
                                                       const std::filesystem::path& base_folder);

std::shared_ptr<DriverConnection> OpenSqliteConnection(const ConnectionParams& params,
                                                       const std::filesystem::path& base_folder);
std::shared_ptr<DriverConnection> OpenOdbcConnection(const ConnectionParams& params);

}  // namespace pools::internal

#endif  // DATASERVER_POOLS_INTERNAL_DRIVER_H_
