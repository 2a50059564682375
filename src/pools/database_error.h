// The error raised by the database access layer.
//
// Its message is the driver's or the database server's own text, unchanged, so that the remote
// methods can hand it to clients in `ErrMsg` as it is. Where the driver gives them, the
// SQLSTATE and the native error code travel with it. `poisons_connection()` says the link to
// the database is gone (a lost server, a broken socket): the connection that raised it cannot
// serve another call, and the connection pool drops it when it is given back.
//
// Thread use: a value; safe to copy across threads.
#ifndef DATASERVER_POOLS_DATABASE_ERROR_H_
#define DATASERVER_POOLS_DATABASE_ERROR_H_

#include <string>

#include "common/error.h"

namespace pools {

// The class name under which the remote-call layer reports database errors.
inline constexpr char kDatabaseErrorClass[] = "EDADBEngineException";

class DatabaseError : public common::Error {
 public:
  explicit DatabaseError(const std::string& message, std::string sql_state = {},
                         int native_code = 0, bool poisons_connection = false)
      : common::Error(kDatabaseErrorClass, message, native_code),
        sql_state_(std::move(sql_state)),
        poisons_connection_(poisons_connection) {}

  // Five characters for ODBC drivers ("42601"), empty where the driver has none (SQLite).
  const std::string& sql_state() const { return sql_state_; }
  // The driver's or server's own error number (SQLite's extended result code).
  int native_code() const { return code(); }
  bool poisons_connection() const { return poisons_connection_; }

 private:
  std::string sql_state_;
  bool poisons_connection_;
};

}  // namespace pools

#endif  // DATASERVER_POOLS_DATABASE_ERROR_H_
