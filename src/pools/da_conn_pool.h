// TDAConnectionPool: the process's pool of open database connections (at most 30).
//
// A new connection loads its parameters from DataBase.CFG, read afresh at each creation (so a
// changed file takes effect for connections made after the change), takes the file's folder
// as the folder of relative database paths, and connects at once; a connection that fails to
// open yields null and its error is kept only as LastCreateError(). The algorithm, the slot
// accounting and the locks are those of DAObjectPool. Notification codes: creation 11,
// return 12, reuse 13.
//
// While the pool shuts down (DAObjectPool), InterruptBusy interrupts the statement of every
// connection lent out, and a connection being opened gives up a wait for a locked database.
//
// Callers take a connection with PooledConnection, which gives it back on every path (rolling
// back a transaction the holder left open, so the next user starts outside one).
//
// Thread use: any threads (see DAObjectPool).
#ifndef DATASERVER_POOLS_DA_CONN_POOL_H_
#define DATASERVER_POOLS_DA_CONN_POOL_H_

#include <filesystem>
#include <memory>

#include "pools/da_connection.h"
#include "pools/da_object_pool.h"

namespace pools {

inline constexpr char kDatabaseConfigFileName[] = "DataBase.CFG";

class TDAConnectionPool : public DAObjectPool<TDAConnection> {
 public:
  // `config_file` is the DataBase.CFG to read, normally the application folder followed by
  // kDatabaseConfigFileName.
  TDAConnectionPool(int ACapicity, std::filesystem::path config_file, PoolNotifyHook hook = {});
  ~TDAConnectionPool() override = default;

  // An open connection marked busy, or null (no free one within the wait and the pool full,
  // or the creation failed).
  TDAConnection* Lock() noexcept { return LockObject(); }
  // Gives a connection back; does nothing for null or an object not in the pool.
  void Unlock(TDAConnection* Value) noexcept { UnlockObject(Value); }
  // The guard's way back: a transaction left open is rolled back first.
  void GiveBack(TDAConnection* value) noexcept;

  const std::filesystem::path& ConfigFile() const { return config_file_; }

 protected:
  std::unique_ptr<TDAConnection> CreateObject() override;
  bool ShouldDiscard(const TDAConnection& connection) const noexcept override {
    return connection.IsLost();
  }
  void InterruptObject(TDAConnection& connection) noexcept override { connection.Interrupt(); }

 private:
  const std::filesystem::path config_file_;
};

using PooledConnection = PoolGuard<TDAConnectionPool, TDAConnection>;

}  // namespace pools

#endif  // DATASERVER_POOLS_DA_CONN_POOL_H_
