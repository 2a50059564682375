// TDAStoredProc: a stored-procedure object of the access layer, bound to a TDAConnection.
//
// It calls the procedure named by StoredProcName with its own parameter list, in list order
// (each parameter with data type, name, direction and value). Open runs the procedure and
// fetches every row of its result set at once, so that the output parameters are final when
// Open returns; ExecProc runs it without a result set. Afterwards the output, input-output and
// result parameters hold the values the database sent back.
//
// Setting the procedure name empties the parameter list, so that each call passes exactly the
// parameters its caller added since (a pooled object keeps its list between users). Close
// discards the result set and keeps the name, the parameters and the connection reference.
//
// Thread use: one thread at a time; the pool reads and writes `Tag` under its list lock.
#ifndef DATASERVER_POOLS_DA_STORED_PROC_H_
#define DATASERVER_POOLS_DA_STORED_PROC_H_

#include <memory>
#include <string>

#include "pools/cursor.h"
#include "pools/db_types.h"

namespace pools {

class TDAConnection;

class TDAStoredProc {
 public:
  TDAStoredProc() = default;
  TDAStoredProc(const TDAStoredProc&) = delete;
  TDAStoredProc& operator=(const TDAStoredProc&) = delete;

  // The pool's busy mark: 1 while lent out, 0 while idle.
  int Tag = 0;

  // Binds the object to a connection (null unbinds); not owned.
  void SetConnection(TDAConnection* connection) { connection_ = connection; }
  TDAConnection* Connection() const { return connection_; }

  // The procedure's name as the database knows it; empties the parameter list.
  void SetStoredProcName(std::string name);
  const std::string& StoredProcName() const { return name_; }

  DbParams& Params() { return params_; }

  // Runs the procedure and keeps its result set, fully fetched. Throws DatabaseError: no
  // connection, no name, the database's error, or a procedure that returns no result set
  // (SQLite has no stored procedures at all).
  void Open();
  // Runs the procedure without a result set.
  void ExecProc();
  bool Active() const { return cursor_ != nullptr; }
  Cursor& Result();

  void Close() noexcept { cursor_.reset(); }

 private:
  void Call(bool want_result);

  TDAConnection* connection_ = nullptr;
  std::string name_;
  DbParams params_;
  std::unique_ptr<Cursor> cursor_;
};

}  // namespace pools

#endif  // DATASERVER_POOLS_DA_STORED_PROC_H_
