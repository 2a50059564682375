// TDAStoredProcPool: the process's pool of stored-procedure objects (at most 30).
//
// A new object has no connection; each user binds it afresh. Giving one back closes it and
// keeps its name, parameters and connection reference. The algorithm, the slot accounting
// and the locks are those of DAObjectPool. Notification codes: creation 21, return 22,
// reuse 23 (the same as the query pool's).
//
// Thread use: any threads (see DAObjectPool).
#ifndef DATASERVER_POOLS_DA_STORED_PROC_POOL_H_
#define DATASERVER_POOLS_DA_STORED_PROC_POOL_H_

#include <memory>

#include "pools/da_object_pool.h"
#include "pools/da_stored_proc.h"

namespace pools {

class TDAStoredProcPool : public DAObjectPool<TDAStoredProc> {
 public:
  explicit TDAStoredProcPool(int ACapicity, PoolNotifyHook hook = {})
      : DAObjectPool(ACapicity, PoolNotifyCodes{21, 22, 23}, std::move(hook)) {}
  ~TDAStoredProcPool() override = default;

  TDAStoredProc* Lock() noexcept { return LockObject(); }
  // Gives an object back (closing it); the caller's variable is left as it is.
  void UnLock(TDAStoredProc*& Value) noexcept { UnlockObject(Value); }
  void GiveBack(TDAStoredProc* value) noexcept { UnlockObject(value); }

 protected:
  std::unique_ptr<TDAStoredProc> CreateObject() override {
    return std::make_unique<TDAStoredProc>();
  }
  void CloseObject(TDAStoredProc& proc) noexcept override { proc.Close(); }
};

using PooledStoredProc = PoolGuard<TDAStoredProcPool, TDAStoredProc>;

}  // namespace pools

#endif  // DATASERVER_POOLS_DA_STORED_PROC_POOL_H_
