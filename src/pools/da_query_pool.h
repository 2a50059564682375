// TDAQueryPool: the process's pool of query objects (at most 30).
//
// A new query object has no connection; each user binds it afresh. Giving one back closes it
// (its result set is discarded) and keeps its SQL text, parameters, connection reference and
// update table name. The algorithm, the slot accounting and the locks are those of
// DAObjectPool. Notification codes: creation 21, return 22, reuse 23.
//
// Thread use: any threads (see DAObjectPool).
#ifndef DATASERVER_POOLS_DA_QUERY_POOL_H_
#define DATASERVER_POOLS_DA_QUERY_POOL_H_

#include <memory>

#include "pools/da_object_pool.h"
#include "pools/da_query.h"

namespace pools {

class TDAQueryPool : public DAObjectPool<TDAQuery> {
 public:
  explicit TDAQueryPool(int ACapicity, PoolNotifyHook hook = {})
      : DAObjectPool(ACapicity, PoolNotifyCodes{21, 22, 23}, std::move(hook)) {}
  ~TDAQueryPool() override = default;

  TDAQuery* Lock() noexcept { return LockObject(); }
  // Gives a query object back (closing it); the caller's variable is left as it is.
  void UnLock(TDAQuery*& Value) noexcept { UnlockObject(Value); }
  void GiveBack(TDAQuery* value) noexcept { UnlockObject(value); }

 protected:
  std::unique_ptr<TDAQuery> CreateObject() override { return std::make_unique<TDAQuery>(); }
  void CloseObject(TDAQuery& query) noexcept override { query.Close(); }
};

using PooledQuery = PoolGuard<TDAQueryPool, TDAQuery>;

}  // namespace pools

#endif  // DATASERVER_POOLS_DA_QUERY_POOL_H_
