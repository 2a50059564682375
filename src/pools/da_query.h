// TDAQuery: a query object of the access layer, bound to a TDAConnection.
//
// Its SQL text is a list of lines; the command sent to the database is those lines joined by
// CR LF, one command text, whatever it holds (one statement spread over lines, or several
// statements, which all run). Parameters are positional: the n-th parameter binds the n-th "?"
// marker.
//
// Open runs the command text and keeps a cursor over its result set; Execute runs it without
// one and reports the rows changed; Close discards the result set and keeps the SQL text, the
// parameters, the connection reference and the update table name, as the pool expects of a
// query given back.
//
// Thread use: one thread at a time; the pool reads and writes `Tag` under its list lock.
#ifndef DATASERVER_POOLS_DA_QUERY_H_
#define DATASERVER_POOLS_DA_QUERY_H_

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "pools/cursor.h"
#include "pools/db_types.h"

namespace pools {

class TDAConnection;

class TDAQuery {
 public:
  TDAQuery() = default;
  TDAQuery(const TDAQuery&) = delete;
  TDAQuery& operator=(const TDAQuery&) = delete;

  // The pool's busy mark: 1 while lent out, 0 while idle.
  int Tag = 0;
  // The table that changes of a loaded change set are written to.
  std::string UpdateTableName;

  // Binds the query to a connection (null unbinds). The reference is not owned; the caller
  // binds a live connection before each use.
  void SetConnection(TDAConnection* connection) { connection_ = connection; }
  TDAConnection* Connection() const { return connection_; }

  std::vector<std::string>& SQL() { return sql_; }
  const std::vector<std::string>& SQL() const { return sql_; }
  // Replaces the lines by those of `text`, split at CR LF, CR or LF (a final line break does
  // not make an empty last line).
  void SetSQLText(std::string_view text);
  // The lines joined by CR LF.
  std::string CommandText() const;

  DbParams& Params() { return params_; }

  // Runs the command text and keeps its first result set (an active query is closed first).
  // Throws DatabaseError: no connection, an empty text, the database's error, or a text that
  // returns no result set.
  void Open();
  // Reads `column` of the result as `type` at the next Open (see EColumnRetype); forgotten by
  // Close and when the text changes.
  void Retype(int column, common::DataType type);
  bool Active() const { return cursor_ != nullptr; }
  // The open result set. Throws DatabaseError when the query is not active.
  Cursor& Result();

  // Runs the command text without a result set (an active query is closed first); the rows
  // that its statements inserted, updated or deleted.
  int64_t Execute();
  int64_t RowsAffected() const { return rows_affected_; }

  // Discards the result set and the retyped columns; never fails.
  void Close() noexcept {
    cursor_.reset();
    retyped_.clear();
  }

 private:
  // The bound connection's driver, and the command text; throws when either is missing.
  std::string CheckedCommandText() const;

  std::vector<std::pair<int, common::DataType>> retyped_;  // applied at every Open, in order

  TDAConnection* connection_ = nullptr;
  std::vector<std::string> sql_;
  DbParams params_;
  std::unique_ptr<Cursor> cursor_;
  int64_t rows_affected_ = 0;
};

}  // namespace pools

#endif  // DATASERVER_POOLS_DA_QUERY_H_
