// TDAConnection: one database connection of the access layer.
//
// Its parameter list is the name=value list of DataBase.CFG, passed to the driver unchanged;
// "DriverID" selects the driver ("SQLite", "MSSQL", "MSAcc", "PG", "ODBC"). Open connects at
// once; every failure is a DatabaseError carrying the driver's own text. Outside an explicit
// transaction every statement commits by itself.
//
// Query and stored-procedure objects bound to a connection share its driver link: a cursor
// they opened keeps the link alive even if the TDAConnection is freed first.
//
// Thread use: one thread at a time (whoever holds it from the pool); the pool reads and writes
// `Tag` under its list lock, and its stopping thread may call Interrupt at any time.
// `driver_mutex_` guards the replacement of the driver link (Open, Close) against Interrupt;
// the holder reads the link without it, being the only thread that replaces it.
#ifndef DATASERVER_POOLS_DA_CONNECTION_H_
#define DATASERVER_POOLS_DA_CONNECTION_H_

#include <atomic>
#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

#include "pools/connection_params.h"
#include "pools/db_types.h"

namespace pools {

namespace internal {
class DriverConnection;
}

class TDAConnection {
 public:
  TDAConnection();
  ~TDAConnection();
  TDAConnection(const TDAConnection&) = delete;
  TDAConnection& operator=(const TDAConnection&) = delete;

  // The pool's busy mark: 1 while lent out, 0 while idle.
  int Tag = 0;
  // There is nobody to answer a login prompt: the drivers are always asked not to prompt.
  bool LoginPrompt = false;

  ConnectionParams& Params() { return params_; }
  const ConnectionParams& Params() const { return params_; }
  // The folder that relative file paths of the parameters are taken from (the application
  // folder); the process's working folder when empty.
  void SetBaseFolder(std::filesystem::path folder) { base_folder_ = std::move(folder); }
  const std::filesystem::path& BaseFolder() const { return base_folder_; }

  // The pool's shutting-down flag, watched by the driver link from the next Open on (a lock
  // wait ends and no statement starts while it is set).
  void SetStopFlag(std::shared_ptr<const std::atomic<bool>> stop) { stop_ = std::move(stop); }

  // Connects with the current parameters; does nothing when already open.
  void Open();
  // Disconnects (an open transaction is rolled back); does nothing when closed.
  void Close();
  bool Connected() const { return driver_ != nullptr; }

  // The "DriverID" parameter, e.g. "MSSQL".
  std::string DriverName() const { return params_.Value("DriverID"); }

  void StartTransaction();
  void Commit();
  void Rollback();
  bool InTransaction() const;

  // One identifier quoted for this database ("name", [name]), quote characters doubled.
  std::string QuoteIdentifier(std::string_view name) const;
  // A possibly qualified name ("dbo.Orders"): each dot-separated part quoted unless it is
  // quoted already (a doubled closer belongs to the name). Nullopt for text that is not such a
  // name (an empty part, an unclosed quote, anything after a quoted part but a dot), so that no
  // text can reach a statement through it.
  std::optional<std::string> QuoteQualifiedName(std::string_view name) const;
  // The database's informational messages of the last statement, or empty.
  std::string LastMessage() const;
  // Whether the driver has reported the link to the database as gone (also after Interrupt).
  bool IsLost() const;
  SqlDialect Dialect() const;
  // Any thread: cuts short the running statement or lock wait of the holder's thread (see
  // DriverConnection::Interrupt); the link then serves no further statement. Nothing happens
  // while the connection is closed.
  void Interrupt() noexcept;

  // The open driver link, for the objects bound to this connection. Throws DatabaseError when
  // the connection is not open.
  const std::shared_ptr<internal::DriverConnection>& Driver() const;

 private:
  ConnectionParams params_;
  std::filesystem::path base_folder_;
  std::shared_ptr<const std::atomic<bool>> stop_;
  mutable std::mutex driver_mutex_;
  std::shared_ptr<internal::DriverConnection> driver_;  // written under driver_mutex_
};

}  // namespace pools

#endif  // DATASERVER_POOLS_DA_CONNECTION_H_
